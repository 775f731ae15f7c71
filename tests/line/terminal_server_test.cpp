// The run polling through ser2net, a real serial device server, in front of the simulator's
// pseudo-terminal: raw and Telnet COM-PORT-OPTION, and the server killed and started again.
#include <termios.h>

#include <fstream>
#include <regex>

#include "tests/line/bench_fixture.h"
#include "tests/northbound/broker_fixture.h"

namespace {

using namespace bench_testing;
using broker_testing::accepts;
using broker_testing::Child;
using broker_testing::free_port;
using broker_testing::wait_until;

// ser2net serving `device` on a loopback port at 9600 8N1; `accepter` is "tcp" or
// "telnet(rfc2217),tcp".
class Ser2net {
 public:
  Ser2net(const BenchSession& session, const std::string& accepter)
      : port_(free_port()), config_(session.temp_file("ser2net.yaml")) {
    std::ofstream(config_) << "connection: &line\n  accepter: " << accepter << ",127.0.0.1,"
                           << port_ << "\n  connector: serialdev,"
                           << std::filesystem::canonical(session.link()).string()
                           << ",9600n81,local\n";
    pid_file_ = session.temp_file("ser2net.pid");
    log_ = session.temp_file("ser2net.log");
    start();
  }
  void start() {
    server_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/ser2net", "-n", "-u", "-c", config_, "-P", pid_file_},
        log_);
    ASSERT_TRUE(wait_until([this] { return accepts(port_); }, 5s)) << "ser2net did not listen";
  }
  void kill() { server_->end(SIGKILL); }
  std::string url(const char* scheme) const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

 private:
  int port_;
  std::string config_;
  std::string pid_file_;
  std::string log_;
  std::unique_ptr<Child> server_;
};

// What each round said of the equipment, without its number and time.
std::vector<std::string> round_readings(const std::string& output) {
  static const std::regex round(R"(power1 round [0-9]+ \([0-9.]+ s\) (\|.*))");
  std::vector<std::string> readings;
  for (std::sregex_iterator it(output.begin(), output.end(), round), end; it != end; ++it) {
    readings.push_back((*it)[1]);
  }
  return readings;
}

speed_t line_speed(const std::string& link) {
  termios settings{};
  const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  tcgetattr(fd, &settings);
  close(fd);
  return cfgetospeed(&settings);
}

void point_at(BenchSession& session, const std::string& url, unsigned baud) {
  for (auto& device : session.options().settings.devices) {
    device.port = url;
    device.serial.baud = baud;
  }
}

TEST(TerminalServer, RoundsThroughRawAndComPortServersReadAsOverTheSerialLine) {
  BenchSession direct;
  direct.options().rounds = 1;
  const std::vector<std::string> expected = round_readings(direct.run_to_end());
  ASSERT_EQ(expected.size(), 1u);

  BenchSession raw;
  Ser2net raw_server(raw, "tcp");
  point_at(raw, raw_server.url("tcp"), 9600);
  raw.options().rounds = 2;
  EXPECT_EQ(round_readings(raw.run_to_end()), std::vector<std::string>(2, expected[0]));

  // Telnet: the host's 19200 reaches the terminal while it polls; the server's own is 9600.
  BenchSession telnet;
  Ser2net telnet_server(telnet, "telnet(rfc2217),tcp");
  point_at(telnet, telnet_server.url("rfc2217"), 19200);
  telnet.start();
  ASSERT_TRUE(telnet.wait_for_records(2)) << telnet.output();
  EXPECT_EQ(line_speed(telnet.link()), B19200);
  telnet.stop();
  const std::vector<std::string> readings = round_readings(telnet.output());
  ASSERT_GE(readings.size(), 2u);
  EXPECT_EQ(readings[1], expected[0]);
  EXPECT_NE(telnet.output().find("rfc2217://127.0.0.1:"), std::string::npos);
}

TEST(TerminalServer, ServerKilledAndRestartedRaisesAndClearsCommLostAndKeepsEveryRound) {
  BenchSession session;
  Ser2net server(session, "tcp");
  point_at(session, server.url("tcp"), 9600);
  session.start();
  ASSERT_TRUE(session.wait_for_records(2)) << session.output();
  server.kill();
  const auto comm_lost = [](kelvra::history::HistoryReader& history, bool raised) {
    for (const auto& event : history.alarm_events({})) {
      if (event.key == "COMM_LOST" && event.raised == raised) return true;
    }
    return false;
  };
  ASSERT_TRUE(session.wait_for([&](auto& history) { return comm_lost(history, true); }))
      << session.output();
  const std::size_t before = kelvra::history::HistoryReader(session.db()).records({}).size();
  server.start();
  ASSERT_TRUE(session.wait_for([&](auto& history) {
    return comm_lost(history, false) && history.records({}).size() >= before + 2;
  })) << session.output();
  session.stop();

  kelvra::history::HistoryReader history(session.db());
  const auto records = history.records({});
  EXPECT_EQ(records.size(), round_readings(session.output()).size());  // every round is stored
  std::size_t lost = 0;
  std::size_t restored = 0;
  for (const auto& event : history.comm_events({})) {
    lost += event.event == "lost" ? 1 : 0;
    restored += event.event == "restored" ? 1 : 0;
  }
  EXPECT_EQ(lost, 1u);
  EXPECT_EQ(restored, 1u);
}

}  // namespace
