// Exit codes and output of the subcommands that need no running host.
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/kelvra-host/commands.h"
#include "bench_fixture.h"

namespace {

struct Invocation {
  int code;
  std::string out;
  std::string err;
};

Invocation invoke(int (*command)(int, char**), std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int code = command(static_cast<int>(argv.size()), argv.data());
  std::fflush(stdout);
  std::string out = ::testing::internal::GetCapturedStdout();
  return {code, std::move(out), ::testing::internal::GetCapturedStderr()};
}

std::string hex_record(std::size_t bytes) {
  std::string hex(bytes * 2, '0');
  hex.replace(1152, 8, "0000B042");  // offset 576, dc.out_v: 88.0 V
  return hex;
}

TEST(BenchCommands, DecodeNamesTheFieldsOfHexOrFile) {
  const Invocation text = invoke(kelvra::line::decode_command, {"decode", hex_record(763)});
  EXPECT_EQ(text.code, 0) << text.err;
  EXPECT_NE(text.out.find(" 576  dc.out_v                     88\n"), std::string::npos)
      << text.out;

  bench_testing::TempDir dir;
  std::vector<std::uint8_t> binary(763, 0);
  binary[578] = 0xB0;
  binary[579] = 0x42;
  std::ofstream(dir.file("record.bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(binary.data()), 763);
  const Invocation json =
      invoke(kelvra::line::decode_command, {"decode", dir.file("record.bin"), "--json"});
  EXPECT_EQ(json.code, 0) << json.err;
  EXPECT_NE(json.out.find("\"out_v\":88.0"), std::string::npos) << json.out;
}

TEST(BenchCommands, ExitCodesAndMessages) {
  bench_testing::TempDir dir;
  const std::string huge = dir.file("huge.bin");
  std::ofstream{huge};
  ASSERT_EQ(truncate(huge.c_str(), 50 << 20), 0);  // 50 MiB of holes: refused before reading
  struct Case {
    int (*command)(int, char**);
    std::vector<std::string> args;
    int code;
    const char* message;  // on stderr
  } cases[] = {
      {kelvra::line::decode_command, {"decode", hex_record(762)}, 1, "762 bytes; a record has 763"},
      {kelvra::line::decode_command,
       {"decode", "/nonexistent/file"},
       2,
       "/nonexistent/file: neither a readable file nor hex digits"},
      {kelvra::line::decode_command, {"decode"}, 2, "expected one FILE or HEX"},
      {kelvra::line::decode_command,
       {"decode", huge},
       1,
       "huge.bin: larger than 65536 bytes (52428800)"},
      {kelvra::line::decode_command, {"decode", dir.file("")}, 1, "/: Is a directory"},
      {kelvra::line::run_command, {"run", "--rounds"}, 2, "--rounds: missing value"},
      {kelvra::line::run_command,
       {"run", "--rounds", "0"},
       2,
       "--rounds: expected a number from 1 to 1000000000, got \"0\""},
      {kelvra::line::run_command, {"run", "--frobnicate"}, 2, "unknown option --frobnicate"},
      {kelvra::line::run_command,
       {"run", "--settings", "/nonexistent.json"},
       1,
       "/nonexistent.json: cannot read the settings file"},
      {kelvra::line::run_command,
       {"run", "--plugin", "/nonexistent.so", "--db", "/tmp/x.db"},
       1,
       "--plugin /nonexistent.so"},
      {kelvra::line::history_command,
       {"history", "--since", "yesterday"},
       2,
       "--since yesterday: expected YYYY-MM-DD"},
      {kelvra::line::history_command,
       {"history", "--db", "/nonexistent.db"},
       1,
       "--db /nonexistent.db: no such database"},
      {kelvra::line::query_command,
       {"query", "out_v", "--db", "/nonexistent/h.db"},
       1,
       "/nonexistent/h.db.sock: no running kelvra-host answers here"},
      {kelvra::line::query_command, {"query"}, 2, "expected one KEY"},
      {kelvra::line::control_command, {"control", "abc"}, 2, "CODE: expected a number"},
  };
  for (const Case& c : cases) {
    const Invocation result = invoke(c.command, c.args);
    EXPECT_EQ(result.code, c.code) << c.args.back() << "\n" << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
}

TEST(BenchCommands, EverySubcommandHasHelp) {
  for (auto command : {kelvra::line::run_command, kelvra::line::query_command,
                       kelvra::line::control_command, kelvra::line::status_command,
                       kelvra::line::history_command, kelvra::line::decode_command}) {
    const Invocation result = invoke(command, {"x", "--help"});
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.out.rfind("usage: kelvra-host ", 0), 0u) << result.out;
  }
}

}  // namespace
