// A real master (mbpoll) against a run through the mains failure: the DC voltage and the AC
// input's mains-failure bit agree with query --all, a read past the map is refused, and a client
// stalled halfway through a request holds up neither polling nor the other clients, and is closed
// once its idle time has passed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include <gtest/gtest.h>

#include "modbus/modbus_server.h"
#include "tests/line/bench_fixture.h"

namespace {

using namespace std::chrono_literals;

// What mbpoll prints for one read: its standard output and error, and its exit status.
struct Poll {
  std::string output;
  int status;
};

Poll mbpoll(unsigned short port, const std::string& arguments) {
  const std::string command =
      "mbpoll -m tcp -0 -1 -o 2 -p " + std::to_string(port) + " " + arguments + " 127.0.0.1 2>&1";
  Poll poll{"", -1};
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return poll;
  char chunk[512];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) poll.output += chunk;
  poll.status = pclose(pipe);
  return poll;
}

// The value mbpoll printed for one reference ("[300]: \t49.500000"); empty when none.
std::string value_at(const Poll& poll, int reference) {
  std::smatch match;
  const std::regex line("\\[" + std::to_string(reference) + "\\]:\\s+(\\S+)");
  return std::regex_search(poll.output, match, line) ? match[1].str() : "";
}

// A connection that sent three bytes of a header and nothing more.
int stalled_client(unsigned short port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  const unsigned char half[] = {0x00, 0x01, 0x00};
  return send(fd, half, sizeof half, 0) == 3 ? fd : -1;
}

// True once the server closed the connection, within `limit`.
bool closed_by_server(int fd, std::chrono::milliseconds limit) {
  pollfd watched{fd, POLLIN, 0};
  char byte;
  return ::poll(&watched, 1, static_cast<int>(limit.count())) == 1 && recv(fd, &byte, 1, 0) == 0;
}

TEST(ModbusEndToEnd, MbpollReadsTheMainsFailureAsQueryShowsIt) {
  kelvra::sim::Scenario scenario = *kelvra::sim::builtin_scenario("mains-failure");
  for (auto& event : scenario.timeline) event.at_seconds -= 9.5;  // mains lost after 0.5 s
  bench_testing::BenchSession session(bench_testing::quiet_simulator(scenario));
  kelvra::modbus::ModbusOptions options;
  options.idle_timeout = 3s;
  kelvra::modbus::ModbusServer server(options);
  session.options().services = {&server};
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();

  const int stalled = stalled_client(server.port());
  ASSERT_GE(stalled, 0);
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  Poll mains_failure;  // bit 11: AC input 1 mains failure
  while (value_at(mains_failure, 11) != "1" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(200ms);
    mains_failure = mbpoll(server.port(), "-a 1 -t 1 -r 11 -c 1");
  }
  EXPECT_EQ(value_at(mains_failure, 11), "1") << mains_failure.output << session.output();

  Json::Value ask = bench_testing::request("query");
  ask["device"] = "power1";
  ask["all"] = true;
  const Json::Value queried = session.ask(ask);
  const Poll voltage = mbpoll(server.port(), "-a 1 -t 3:float -B -r 300 -c 1");
  const Poll past_map = mbpoll(server.port(), "-a 1 -t 4 -r 359 -c 2");
  const bool stalled_closed = closed_by_server(stalled, 5s);
  close(stalled);
  session.stop();

  double dc_voltage = -1;
  for (const Json::Value& field : queried["fields"]) {
    if (field["name"] == "dc.out_v") dc_voltage = field["value"].asDouble();
  }
  EXPECT_EQ(dc_voltage, 49.5) << queried.toStyledString();
  ASSERT_FALSE(value_at(voltage, 300).empty()) << voltage.output;
  EXPECT_EQ(std::stod(value_at(voltage, 300)), dc_voltage) << voltage.output;
  EXPECT_NE(past_map.output.find("Illegal data address"), std::string::npos) << past_map.output;
  EXPECT_TRUE(stalled_closed);
}

}  // namespace
