// Exit codes and output of the subcommands that need no running host.
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/kelvra-host/commands.h"
#include "bench_fixture.h"
#include "history/history_store.h"
#include "tests/support/host_invocation.h"

namespace {

std::string hex_record(std::size_t bytes) {
  std::string hex(bytes * 2, '0');
  hex.replace(1152, 8, "0000B042");  // offset 576, dc.out_v: 88.0 V
  return hex;
}

TEST(BenchCommands, DecodeNamesTheFieldsOfHexOrFile) {
  const Invocation text = invoke({"decode", hex_record(763)});
  EXPECT_EQ(text.code, 0) << text.err;
  EXPECT_NE(text.out.find(" 576  dc.out_v                     88\n"), std::string::npos)
      << text.out;

  bench_testing::TempDir dir;
  std::vector<std::uint8_t> binary(763, 0);
  binary[578] = 0xB0;
  binary[579] = 0x42;
  std::ofstream(dir.file("record.bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(binary.data()), 763);
  const Invocation json = invoke({"decode", dir.file("record.bin"), "--json"});
  EXPECT_EQ(json.code, 0) << json.err;
  EXPECT_NE(json.out.find("\"out_v\":88.0"), std::string::npos) << json.out;
}

TEST(BenchCommands, ExitCodesAndMessages) {
  bench_testing::TempDir dir;
  const std::string huge = dir.file("huge.bin");
  std::ofstream{huge};
  ASSERT_EQ(truncate(huge.c_str(), 50 << 20), 0);  // 50 MiB of holes: refused before reading
  const auto write = [&dir](const char* name, const char* content) {
    std::ofstream(dir.file(name)) << content;
    return dir.file(name);
  };
  const std::string out_of_range =
      write("out-of-range.json", R"({"host": {"response_timeout_ms": 5}})");
  const std::string two_ports = write(
      "two-ports.json",
      R"({"host": {"devices": [{"name": "a", "port": "/dev/x"}, {"name": "b", "port": "/dev/y"}]}})");
  const std::string warned = write("warned.json", R"({"appSetting": {"has_dc": "yes"}})");
  const std::string empty_db = dir.file("empty.db");
  kelvra::history::HistoryStore{empty_db};
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string message;  // on stderr
  } cases[] = {
      {{"run", "--settings", out_of_range},
       2,
       "out-of-range.json: host.response_timeout_ms: expected a number from 10 to 60000"},
      {{"run", "--port", dir.file(""), "--db", dir.file("d.db")},
       2,
       "power1: port " + dir.file("") + " is a directory, not a serial device"},
      {{"run", "--port", huge, "--db", dir.file("f.db")},
       2,
       "power1: port " + huge + " is a regular file, not a serial device"},
      {{"run", "--settings", two_ports, "--port", "/dev/ttyUSB0"},
       2,
       "--port: 2 devices are configured (a, b) and they do not share one port"},
      {{"run", "--settings", warned, "--strict"},
       2,
       "--strict: appSetting.has_dc: \"yes\" reads as 0: DC distribution off"},
      {{"run", "--lang", "fr"}, 2, "--lang fr: only en is known"},
      {{"run", "--port", dir.file("no-such-tty"), "--db", dir.file("m.db"), "--duration", "1",
        "--plugin", KELVRA_PLUGIN_PATH},
       1,
       "kelvra-host run: no device completed a round"},
      {{"decode", std::string(1525, 'a')},
       2,
       "aaaaaaaaaaaaaaaaaaaaaaaa... (1525 characters): an odd number of hex digits (1525); each "
       "byte takes two"},
      {{"query", "out_v", "--all"}, 2, "KEY and --all exclude each other"},
      {{"decode", hex_record(762)}, 1, "762 bytes; a record has 763"},
      {{"decode", "/nonexistent/file"},
       2,
       "kelvra-host decode: /nonexistent/file: neither a readable file nor hex digits"},
      {{"decode", "0 1"}, 2, "0 1: neither a readable file nor hex digits"},
      {{"decode"}, 2, "kelvra-host decode: SOURCE is required (see kelvra-host decode --help)"},
      {{"decode", huge}, 1, "huge.bin: larger than 65536 bytes (52428800)"},
      {{"decode", dir.file("")}, 1, "/: Is a directory"},
      {{"run", "--rounds"}, 2, "kelvra-host run: --rounds: 1 required N:1..1000000000 missing"},
      {{"run", "--rounds", "0"},
       2,
       "kelvra-host run: --rounds: expected a number from 1 to 1000000000, got \"0\" (see "
       "kelvra-host run --help)"},
      {{"run", "--rounds=1000000001"},
       2,
       "--rounds: expected a number from 1 to 1000000000, got \"1000000001\""},
      {{"run", "--baud", "12345"}, 2, "--baud: expected one of the rates 50 75 110 "},
      {{"run", "--baud=0"}, 2, "--baud: expected one of the rates"},
      {{"run", "--ver", "0x22"}, 2, "--ver: expected a number from 0x20 to 0x21, got \"0x22\""},
      {{"run", "--ver=34"}, 2, "--ver: expected a number from 0x20 to 0x21, got \"34\""},
      {{"run", "--address", "255"}, 2, "--address: expected a number from 1 to 254"},
      {{"run", "--frobnicate"}, 2, "The following argument was not expected: --frobnicate"},
      {{"run", "--settings", "/nonexistent.json"},
       2,
       "/nonexistent.json: cannot read the settings file"},
      {{"run", "--plugin", "/nonexistent.so", "--db", "/tmp/x.db"}, 1, "--plugin /nonexistent.so"},
      {{"run", "--keep-days", "0"}, 2, "--keep-days: expected a number from 1 to 36500"},
      {{"history", "--since", "yesterday"}, 2, "--since yesterday: not a time"},
      {{"history", "--since", "2026-13-45"}, 2, "--since 2026-13-45: not a time"},
      {{"history", "--until", "2026-02-29 10:00"}, 2, "--until 2026-02-29 10:00: not a time"},
      {{"history", "--type", "record,frob"}, 2, "\"frob\" is none of record, alarm, link, control"},
      {{"history", "--series", "dc.out_v", "--step", "0"}, 2, "--step 0: expected"},
      {{"history", "--since=2026-12-08T14:30", "--db", "/nonexistent.db"},
       1,
       "/nonexistent.db: no such history database"},
      {{"history", "--last", "0"}, 2, "--last: expected a number from 1 to 1000000000"},
      {{"history", "--db", empty_db, "--device", "nosuch"},
       2,
       "--device nosuch: no such device in " + empty_db + " (it holds no device)"},
      {{"history", "--db", empty_db, "--csv", "--type", "record,alarm"},
       2,
       "--csv lists the records' readings; list events without --csv"},
      {{"history", "--db", empty_db, "--csv", "--device", "nosuch"},
       2,
       "--device nosuch: no such device in " + empty_db},
      {{"query", "out_v", "--db", "/nonexistent/h.db"},
       1,
       "/nonexistent/h.db.sock: no running kelvra-host answers here"},
      {{"query"}, 2, "KEY is required"},
      {{"control", "abc"},
       2,
       "CODE: expected a number from -2147483647 to 2147483647, got \"abc\""},
      {{"script"}, 2, "kelvra-host script: SCRIPT is required"},
      {{"script", "/nonexistent.script"}, 1, "cannot read /nonexistent.script"},
      {{}, 2, "kelvra-host: A subcommand is required"},
      {{"frobnicate"}, 2, "kelvra-host: A subcommand is required"},
  };
  for (const Case& c : cases) {
    const Invocation result = invoke(c.args);
    const std::string shown = c.args.empty() ? "(none)" : c.args.back();
    EXPECT_EQ(result.code, c.code) << shown << "\n" << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << shown << "\n" << result.err;
  }
  // Refused set-ups leave nothing behind: neither socket nor database was made.
  for (const char* db : {"d.db", "f.db"}) {
    EXPECT_NE(access((dir.file(db) + ".sock").c_str(), F_OK), 0) << db;
    EXPECT_NE(access(dir.file(db).c_str(), F_OK), 0) << db;
  }
}

TEST(BenchCommands, JsonModeErrorsAndWarningsAreJsonLines) {
  bench_testing::TempDir dir;
  const Invocation refused =
      invoke({"run", "--json", "--port", dir.file(""), "--db", dir.file("h.db")});
  EXPECT_EQ(refused.code, 2);
  EXPECT_EQ(refused.err, "{\"source\":\"kelvra-host run\",\"text\":\"power1: port " + dir.file("") +
                             " is a directory, not a serial device\",\"type\":\"error\"}\n");

  std::ofstream(dir.file("warned.json")) << R"({"appSetting": {"has_dc": "1", "hasdc": "1"}})";
  const Invocation warned =
      invoke({"run", "--json", "--settings", dir.file("warned.json"), "--rounds", "1", "--no-pace",
              "--db", dir.file("w.db"), "--plugin", KELVRA_PLUGIN_PATH});
  EXPECT_EQ(warned.code, 0) << warned.err;
  EXPECT_TRUE(std::regex_search(
      warned.out,
      std::regex(R"(\{"source":"[^"]*warned.json","text":"appSetting.hasdc: unknown )"
                 R"(key; the device never reads it","time":"[^"]+","type":"warning"\})")))
      << warned.out;
  // The plug-in's own lines stay out of JSON output unless --plugin-output asks for them.
  EXPECT_EQ(warned.out.find("device_output"), std::string::npos) << warned.out;
}

// Every subcommand's help names its usage and each of its options, and the options take their
// values both as "--opt value" and as "--opt=value".
TEST(BenchCommands, EverySubcommandHasHelp) {
  const struct {
    const char* command;
    std::vector<std::string> names;
  } cases[] = {
      {"run",
       {"--settings FILE",
        "--port DEVICE",
        "--baud RATE",
        "one of 50 75 110",
        " 4000000",
        "--address N:1..254",
        "--ver N:0x20..0x21",
        "--response-timeout N:10..60000",
        "--poll-interval N:10..3600000",
        "--reopen-interval N:10..600000",
        "--plugin PATH",
        "--db PATH=kelvra.db",
        "--scenario NAME|FILE=normal",
        "--no-pace",
        "--turnaround N:0..10000",
        "--sim-log",
        "--sim-hangup-every N:1..1000000000",
        "--rounds N:1..1000000000",
        "--duration N:1..100000000",
        "--keep-days N:1..36500",
        "--max-db-mb N:1..1000000",
        "--keep-events-days N:1..36500",
        "--keep-aggregate-days N:1..36500",
        "--json",
        "--plugin-output",
        "The \"host\" object"}},
      {"query", {"KEY", "--db PATH=kelvra.db", "--device NAME", "--json"}},
      {"control", {"CODE", "[ARG]", "--db PATH", "--device NAME", "--json"}},
      {"status", {"--db PATH", "--json"}},
      {"history",
       {"--db PATH", "--last N:1..1000000000", "--since TIME", "--until TIME", "--device NAME",
        "--type KINDS", "--series FIELD", "--step STEP", "--json", "--csv"}},
      {"decode", {"SOURCE", "FILE|HEX", "--json"}},
      {"script", {"SCRIPT", "FILE|-", "--plugin", "Ops: settings"}},
  };
  for (const auto& c : cases) {
    const Invocation result = invoke({c.command, "--help"});
    EXPECT_EQ(result.code, 0) << c.command;
    EXPECT_NE(result.out.find(std::string("Usage: kelvra-host ") + c.command), std::string::npos)
        << result.out;
    for (const std::string& name : c.names) {
      EXPECT_NE(result.out.find(name), std::string::npos) << c.command << ": " << name;
    }
  }
  const Invocation top = invoke({"--help"});
  EXPECT_EQ(top.code, 0);
  for (const auto& c : cases) {
    EXPECT_NE(top.out.find(std::string("\n  ") + c.command + " "), std::string::npos) << c.command;
  }
}

TEST(BenchCommands, VersionIsTheProjectVersion) {
  const Invocation result = invoke({"--version"});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.out, "kelvra-host 1.0.0\n");
}

// --opt=value and --opt value reach the run alike; the built-in simulator names the VER it
// was given, in hex.
TEST(BenchCommands, RunTakesBothOptionSpellingsAndShowsVerInHex) {
  bench_testing::TempDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"run", "--ver=0x21", "--baud=19200", "--rounds=1", "--no-pace",
                                 "--plugin=" KELVRA_PLUGIN_PATH, "--db=" + dir.file("a.db")},
        std::vector<std::string>{"run", "--ver", "0x21", "--baud", "19200", "--rounds", "1",
                                 "--no-pace", "--plugin", KELVRA_PLUGIN_PATH, "--db",
                                 dir.file("b.db"), "--poll-interval", "500"}}) {
    const Invocation result = invoke(args);
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.out.find(", VER 0x21, not paced"), std::string::npos) << result.out;
    const bool fast = args.back() == "500";
    EXPECT_EQ(result.out.find("--poll-interval: 500 ms is below the device's own 2 s between "
                              "rounds: rounds come every 2 s\n") != std::string::npos,
              fast)
        << result.out;
  }
}

}  // namespace
