// A TLS file that goes away while the run polls fails connection attempts, not the run.
#include <unistd.h>

#include <fstream>

#include "broker_fixture.h"
#include "northbound/mqtt_service.h"
#include "tests/line/bench_fixture.h"

namespace {

using broker_testing::free_port;
using broker_testing::wait_until;
using namespace std::chrono_literals;

TEST(MqttFiles, ACaFileGoneWhileRunningFailsAttemptsAndPollingGoesOn) {
  bench_testing::TempDir dir;
  const std::string ca = dir.file("ca.crt");
  std::ofstream(ca) << "read at each connection attempt\n";
  kelvra::run::MqttSettings settings;
  kelvra::run::parse_mqtt_url("url", "mqtts://127.0.0.1:" + std::to_string(free_port()), settings);
  settings.site = "site1";
  settings.ca_file = ca;
  kelvra::northbound::MqttService service(settings, "1.0.0");
  bench_testing::BenchSession session;
  session.options().services.push_back(&service);
  for (auto& device : session.options().settings.devices) device.poll_interval = 100ms;
  session.start();
  ASSERT_TRUE(
      wait_until([&] { return session.output().find(" lost: ") != std::string::npos; }, 20s))
      << session.output();
  ASSERT_EQ(unlink(ca.c_str()), 0);
  // The next attempts come 1 s and 3 s after the first failed one; rounds go on past both.
  std::this_thread::sleep_for(3500ms);
  std::size_t stored = 0;
  session.wait_for([&stored](kelvra::history::HistoryReader& history) {
    stored = history.records({}).size();
    return true;
  });
  EXPECT_TRUE(session.wait_for_records(stored + 1)) << session.output();
  session.stop();
  EXPECT_EQ(session.failure(), "");
  const std::string output = session.output();
  EXPECT_EQ(output.find(" lost: "), output.rfind(" lost: ")) << output;
}

}  // namespace
