// Exit codes and output of kelvra-host scan and send against two simulated devices on one line.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/kelvra-host/commands.h"
#include "sim/simulator_server.h"
#include "tests/line/bench_fixture.h"
#include "tests/support/host_invocation.h"

namespace {

struct CommandCase {
  const char* name;
  std::vector<std::string> args;  // PORT stands for the simulator's terminal
  int code;
  std::string out_has;
  std::string err_has;
};

TEST(FieldCommands, ExitCodesAndOutput) {
  kelvra::sim::SimulatorConfig config =
      bench_testing::quiet_simulator(*kelvra::sim::builtin_scenario("normal"));
  config.responder.address = 3;
  kelvra::sim::ResponderSettings second;
  second.address = 17;
  second.ver = 0x21;
  config.more_devices = {second};
  bench_testing::TempDir dir;
  const std::string port = dir.file("tty");
  kelvra::sim::SimulatorServer server(config, {"", port}, nullptr);
  server.start();

  const CommandCase cases[] = {
      {"scan finds both",

       {"scan", "--port", "PORT", "--addresses", "1-4,16-17", "--timeout", "150"},
       0,
       "address 17: VER 21, 9600 baud, RTN 00, ",
       ""},
      {"scan as JSON",

       {"scan", "--port", "PORT", "--addresses", "3", "--json"},
       0,
       "{\"answered\":1,\"seconds\":",
       ""},
      {"scan finds nothing",

       {"scan", "--port", "PORT", "--addresses", "5", "--timeout", "100"},
       1,
       "nothing answered 2 tries in ",
       ""},
      {"scan, bad address list",

       {"scan", "--port", "PORT", "--addresses", "0-3"},
       2,
       "",
       "--addresses: expected a number from 1 to 254"},
      {"scan without port", {"scan"}, 2, "", "--port is required"},
      {"scan, port missing",

       {"scan", "--port", "/nonexistent/tty"},
       1,
       "",
       "/nonexistent/tty: cannot open"},
      {"send a poll command",

       {"send", "--port", "PORT", "--address", "17", "--ver", "0x21", "41", "41"},
       0,
       "\nrc.group_value = 53.5\n",
       ""},
      {"send a poll command as JSON",

       {"send", "--port", "PORT", "--address", "3", "0x40", "0x41", "01", "--json"},
       0,
       "\"ac.channel_count\":2",
       ""},
      {"send to nobody",

       {"send", "--port", "PORT", "--address", "5", "--timeout", "100", "41", "41"},
       1,
       "no answer to 41/41 at address 5",
       ""},
      {"send, refused by the equipment",

       {"send", "--port", "PORT", "--address", "3", "41", "50"},
       1,
       "RTN 04",
       ""},
      {"send a control command without leave",

       {"send", "--port", "PORT", "--address", "3", "41", "45", "2001"},
       2,
       "",
       "41/45 is a control command and changes the equipment: give --allow-control"},
      {"send a control command with leave",

       {"send", "--port", "PORT", "--address", "3", "--allow-control", "41", "45", "2001"},
       0,
       "RTN 00",
       ""},
      {"send, odd INFO",

       {"send", "--port", "PORT", "41", "41", "012"},
       2,
       "",
       "INFO-HEX: expected pairs of hex digits, got \"012\""},
      {"send, bad CID1",

       {"send", "--port", "PORT", "4", "41"},
       2,
       "",
       "CID1: expected two hex digits"},
      {"run, trace file cannot be written",

       {"run", "--trace-file", "/nonexistent/trace.txt", "--db", dir.file("k.db")},
       2,
       "",
       "--trace-file /nonexistent/trace.txt: No such file or directory"},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
      if (arg == "PORT") arg = port;
    }
    const Invocation result = invoke(args);
    EXPECT_EQ(result.code, c.code) << result.err;
    EXPECT_NE(result.out.find(c.out_has), std::string::npos) << result.out;
    EXPECT_NE(result.err.find(c.err_has), std::string::npos) << result.err;
  }
}

}  // namespace
