// The wire trace: exact lines of the formatter, of a run against the simulator with each of its
// line faults, and of the simulator's own side of one exchange.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fieldtools/command_port.h"
#include "frame-codec/frame_trace.h"
#include "tests/fieldtools/field_fixture.h"

namespace {

using namespace std::chrono_literals;
using kelvra::frame::DecodeError;
using kelvra::frame::Frame;
using kelvra::frame::FrameTrace;
using kelvra::frame::FrameVerdict;
using kelvra::frame::TraceSide;
using kelvra::sim::FaultKind;

// A clock the test moves on by hand.
struct ManualClock {
  std::shared_ptr<std::chrono::steady_clock::time_point> now =
      std::make_shared<std::chrono::steady_clock::time_point>();
  FrameTrace::Clock clock() const {
    return [now = now] { return *now; };
  }
  void advance(std::chrono::microseconds step) const { *now += step; }
};

const std::string kCommandOut =
    R"(trace power1 out +0.0ms raw="~200141410000FDB3\r" VER=20 ADR=01 CID1=41 CID2=41 LENID=0 INFO=)";
const std::string kAnswerIn =
    R"(trace power1 in +0.0ms raw="~20014100400C110000564200FB4E\r" VER=20 ADR=01 CID1=41 RTN=00 LENID=12 INFO=110000564200)";

TEST(WireTrace, FormatsAnExchangeAsTextAndAsJson) {
  const Frame command{0x20, 0x01, 0x40, 0x41, {0x01}};
  const Frame answer{0x20, 0x01, 0x40, 0x00, {0x10, 0xAB}};
  struct Case {
    bool json;
    TraceSide side;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {false,
       TraceSide::kHost,
       {R"(trace dev "1" out +0.0ms raw="~20014041E00201FD3C\r" VER=20 ADR=01 CID1=40 CID2=41 LENID=2 INFO=01)",
        R"(trace dev "1" in +2.5ms raw="~20014000C00410ABFCBE\r" VER=20 ADR=01 CID1=40 RTN=00 LENID=4 INFO=10AB)",
        R"(trace dev "1" in +5.0ms raw="~2001400" error="frame cut short by a new SOI")",
        R"(trace dev "1" in +7.5ms raw="" error="bytes before SOI")"}},
      {true,
       TraceSide::kHost,
       {R"({"trace":"out","device":"dev \"1\"","ms":0.0,"raw":"~20014041E00201FD3C\r","ver":"20","adr":"01","cid1":"40","cid2":"41","lenid":2,"info":"01"})",
        R"({"trace":"in","device":"dev \"1\"","ms":2.5,"raw":"~20014000C00410ABFCBE\r","ver":"20","adr":"01","cid1":"40","rtn":"00","lenid":4,"info":"10AB"})",
        R"({"trace":"in","device":"dev \"1\"","ms":5.0,"raw":"~2001400","error":"frame cut short by a new SOI"})",
        R"({"trace":"in","device":"dev \"1\"","ms":7.5,"raw":"","error":"bytes before SOI"})"}},
      // The equipment reads the command, which starts its clock, and writes the response.
      {false,
       TraceSide::kEquipment,
       {R"(trace dev "1" out +0.0ms raw="~20014041E00201FD3C\r" VER=20 ADR=01 CID1=40 RTN=41 LENID=2 INFO=01)",
        R"(trace dev "1" in +0.0ms raw="~20014000C00410ABFCBE\r" VER=20 ADR=01 CID1=40 CID2=00 LENID=4 INFO=10AB)",
        R"(trace dev "1" in +2.5ms raw="~2001400" error="frame cut short by a new SOI")",
        R"(trace dev "1" in +5.0ms raw="" error="bytes before SOI")"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines.front());
    const ManualClock time;
    FrameTrace trace(nullptr, c.json, c.side, time.clock());
    std::vector<std::string> lines;
    trace.written("dev \"1\"", kelvra::frame::encode(command), &command);
    lines.emplace_back(trace.last_line());
    time.advance(2500us);
    trace.read("dev \"1\"", answer, "20014000C00410ABFCBE", FrameVerdict::kTaken);
    lines.emplace_back(trace.last_line());
    time.advance(2500us);
    trace.bad_input("dev \"1\"", DecodeError::kCutShort, nullptr, "2001400");
    lines.emplace_back(trace.last_line());
    time.advance(2500us);
    trace.bad_input("dev \"1\"", DecodeError::kNoiseBeforeSoi, nullptr, "");
    lines.emplace_back(trace.last_line());
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(WireTrace, EscapesWireBytesAndKeepsUtf8Names) {
  const Frame echo{0x20, 0x01, 0x41, 0x41, {}};
  const ManualClock time;
  FrameTrace text(nullptr, false, TraceSide::kHost, time.clock());
  text.written("\xE7\x94\xB5", std::string("\x00\xFF~\r\n\t\\", 7), nullptr);
  EXPECT_EQ(text.last_line(), "trace \xE7\x94\xB5 out +0.0ms raw=\"\\x00\\xFF~\\r\\n\\t\\\\\"");
  FrameTrace json(nullptr, true, TraceSide::kHost, time.clock());
  json.written("\xE7\x94\xB5", std::string("\x00\xFF", 2), nullptr);
  EXPECT_EQ(
      json.last_line(),
      "{\"trace\":\"out\",\"device\":\"\xE7\x94\xB5\",\"ms\":0.0,\"raw\":\"\\u0000\\u00FF\"}");
  json.read("p", echo, "200141410000FDB3", FrameVerdict::kEcho);
  EXPECT_EQ(
      json.last_line(),
      R"({"trace":"in","device":"p","ms":0.0,"raw":"~200141410000FDB3\r","ver":"20","adr":"01","cid1":"41","rtn":"41","lenid":0,"info":"","dropped":"echo"})");
}

TEST(WireTrace, WritesEveryLineWithItsNewline) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  {
    const ManualClock time;
    FrameTrace trace(out, false, TraceSide::kHost, time.clock());
    trace.bad_input("p", DecodeError::kBadChecksum, nullptr, "2001");
    trace.bad_input("p", DecodeError::kOddLenid, nullptr, "20014100000B");
  }
  std::fclose(out);
  EXPECT_EQ(std::string(text, size),
            "trace p in +0.0ms raw=\"~2001\" error=\"bad CHKSUM\"\n"
            "trace p in +0.0ms raw=\"~20014100000B\" error=\"odd LENID\"\n");
  std::free(text);
}

// The first lines a run traces when the simulator applies `fault` to every answer. Rounds start
// with 0x41/0x41, the shelf has no modules and the freshly started simulator says both changed
// (DATAFLAG 11), so the answer is ~20014100400C110000564200FB4E.
struct FaultCase {
  FaultKind fault;
  std::vector<std::string> lines;
};

TEST(WireTrace, RunTracesEachLineFaultOfTheSimulator) {
  const FaultCase cases[] = {
      {FaultKind::kNoAnswer, {kCommandOut, kCommandOut}},
      {FaultKind::kBadChecksum,
       {kCommandOut,
        R"(trace power1 in +0.0ms raw="~20014100400C110000564200FB40" VER=20 ADR=01 CID1=41 RTN=00 error="bad CHKSUM")"}},
      {FaultKind::kBadLengthChecksum,
       {kCommandOut,
        R"(trace power1 in +0.0ms raw="~20014100000C" VER=20 ADR=01 CID1=41 RTN=00 error="bad LCHKSUM")"}},
      {FaultKind::kGarbageBeforeSoi,
       {kCommandOut, R"(trace power1 in +0.0ms raw="" error="bytes before SOI")", kAnswerIn}},
      {FaultKind::kCutShort,
       {kCommandOut,
        R"(trace power1 in +0.0ms raw="~20014100400C11" VER=20 ADR=01 CID1=41 RTN=00 error="incomplete frame abandoned")"}},
      {FaultKind::kLate, {kCommandOut, kAnswerIn + " dropped=unexpected"}},
      {FaultKind::kWrongAddress,
       {kCommandOut,
        R"(trace power1 in +0.0ms raw="~20024100400C110000564200FB4D" VER=20 ADR=02 CID1=41 RTN=00 error="frame from another address")"}},
      {FaultKind::kRtnChecksumError,
       {kCommandOut,
        R"(trace power1 in +0.0ms raw="~200141020000FDB6\r" VER=20 ADR=01 CID1=41 RTN=02 LENID=0 INFO=)"}},
      {FaultKind::kEcho,
       {kCommandOut,
        R"(trace power1 in +0.0ms raw="~200141410000FDB3\r" VER=20 ADR=01 CID1=41 RTN=41 LENID=0 INFO= dropped=echo)",
        kAnswerIn}},
      {FaultKind::kBadData,
       {kCommandOut,
        R"(trace power1 in +0.0ms raw="~20014100400C110000064200FB4E" VER=20 ADR=01 CID1=41 RTN=00 error="bad CHKSUM")"}},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(kelvra::sim::fault_name(c.fault));
    kelvra::sim::SimulatorConfig config = field_testing::small_simulator();
    config.scenario.faults = {{c.fault, 1.0}};
    config.late_delay = 400ms;
    field_testing::WatchedSession watched(config);
    watched.without_ac();
    // Late answers come while no command is outstanding: the next round is a second away.
    watched.device().poll_interval = 1000ms;
    watched.session().start();
    EXPECT_EQ(watched.first_trace_lines(c.lines.size()), c.lines);
  }
}

TEST(WireTrace, RunTracesAGoodExchangeAsJsonLines) {
  field_testing::WatchedSession watched(field_testing::small_simulator(), true);
  watched.without_ac();
  watched.session().start();
  const std::vector<std::string> expected = {
      R"({"trace":"out","device":"power1","ms":0.0,"raw":"~200141410000FDB3\r","ver":"20","adr":"01","cid1":"41","cid2":"41","lenid":0,"info":""})",
      R"({"trace":"in","device":"power1","ms":0.0,"raw":"~20014100400C110000564200FB4E\r","ver":"20","adr":"01","cid1":"41","rtn":"00","lenid":12,"info":"110000564200"})",
  };
  EXPECT_EQ(watched.first_trace_lines(2), expected);
}

TEST(WireTrace, SimulatorTracesTheSameExchangeFromItsSide) {
  bench_testing::TempDir dir;
  const std::string sim_path = dir.file("sim-trace.txt");
  std::FILE* sim_file = std::fopen(sim_path.c_str(), "w");
  FrameTrace sim_trace(sim_file, false, TraceSide::kEquipment,
                       [] { return std::chrono::steady_clock::time_point{}; });
  kelvra::sim::SimulatorConfig config = field_testing::small_simulator();
  config.trace = &sim_trace;
  kelvra::sim::SimulatorServer server(config, {"", dir.file("tty")}, nullptr);
  server.start();

  FrameTrace host_trace(nullptr, false, TraceSide::kHost,
                        [] { return std::chrono::steady_clock::time_point{}; });
  kelvra::fieldtools::CommandPort port(dir.file("tty"), 9600, &host_trace);
  const Frame command{0x20, 0x01, 0x41, 0x41, {}};
  ASSERT_TRUE(port.exchange(command, 2000ms).answer);
  server.stop();
  std::fclose(sim_file);

  std::FILE* in = std::fopen(sim_path.c_str(), "r");
  char line[512];
  std::vector<std::string> sim_lines;
  while (std::fgets(line, sizeof line, in)) sim_lines.emplace_back(line);
  std::fclose(in);
  EXPECT_EQ(
      sim_lines,
      (std::vector<std::string>{
          R"(trace sim in +0.0ms raw="~200141410000FDB3\r" VER=20 ADR=01 CID1=41 CID2=41 LENID=0 INFO=)"
          "\n",
          R"(trace sim out +0.0ms raw="~20014100400C110000564200FB4E\r" VER=20 ADR=01 CID1=41 RTN=00 LENID=12 INFO=110000564200)"
          "\n"}));
  // The host's last line is the simulator's out line seen from the other end.
  EXPECT_EQ(
      host_trace.last_line(),
      "trace " + dir.file("tty") +
          R"( in +0.0ms raw="~20014100400C110000564200FB4E\r" VER=20 ADR=01 CID1=41 RTN=00 LENID=12 INFO=110000564200)");
}

}  // namespace
