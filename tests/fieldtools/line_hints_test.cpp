// The hints' evidence, event by event with a clock the test moves: what is said, and what a line
// with only an occasional fault must not hear.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fieldtools/line_hints.h"

namespace {

using namespace std::chrono_literals;
using kelvra::fieldtools::Hint;
using kelvra::fieldtools::LineHints;
using kelvra::frame::Frame;
using kelvra::frame::FrameVerdict;

// One event on the line: a command written, bytes read, a frame read, a timeout, or time passing.
struct Event {
  enum Kind { kWrite, kBytes, kFrame, kTimeout, kWait } kind;
  FrameVerdict verdict = FrameVerdict::kTaken;
  Frame frame{};
  std::chrono::milliseconds wait{0};
};

const Frame kCommand{0x20, 0x01, 0x41, 0x41, {}};
const Frame kAnswer{0x20, 0x01, 0x41, 0x00, {0x00}};

Event write() {
  return {Event::kWrite, FrameVerdict::kTaken, kCommand, 0ms};
}
Event bytes() {
  return {Event::kBytes, FrameVerdict::kTaken, {}, 0ms};
}
Event frame(const Frame& read, FrameVerdict verdict = FrameVerdict::kTaken) {
  return {Event::kFrame, verdict, read, 0ms};
}
Event timeout() {
  return {Event::kTimeout, FrameVerdict::kTaken, {}, 0ms};
}
Event wait(std::chrono::milliseconds time) {
  return {Event::kWait, FrameVerdict::kTaken, {}, time};
}

struct HintCase {
  const char* name;
  std::vector<Event> events;
  std::vector<std::string> said;  // in order
};

std::vector<Event> repeated(std::vector<Event> events, int times) {
  std::vector<Event> all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), events.begin(), events.end());
  return all;
}

TEST(LineHints, SaysEachOnceOnItsEvidence) {
  const Frame refused_other_ver{0x21, 0x01, 0x41, 0x01, {}};
  const Frame refused_same_ver{0x20, 0x01, 0x41, 0x01, {}};
  const Frame checksum_refused{0x20, 0x01, 0x41, 0x02, {}};
  const HintCase cases[] = {
      {"VER error carrying the other VER",
       repeated({write(), bytes(), frame(refused_other_ver)}, 5),
       {"answers keep coming back with RTN 01 (VER error) to VER 20 commands and carry VER 21: "
        "try --ver 0x21"}},
      {"VER error in our own VER",
       repeated({write(), bytes(), frame(refused_same_ver)}, 3),
       {"answers keep coming back with RTN 01 (VER error) to VER 20 commands: try --ver 0x21"}},
      {"two VER errors and a good answer are no evidence",
       repeated({write(), frame(refused_other_ver), write(), frame(refused_other_ver), write(),
                 frame(kAnswer)},
                3),
       {}},
      {"CHKSUM errors in our own VER", repeated({write(), frame(checksum_refused)}, 4), {}},
      {"late answers",
       repeated({write(), bytes(), wait(1000ms), timeout(), wait(300ms),
                 frame(kAnswer, FrameVerdict::kUnexpected)},
                3),
       {"answers arrive about 1.3 s after the command, beyond the response timeout of 1000 ms "
        "(counted as stale): try --response-timeout 2000"}},
      {"a missed answer, then the next one in time",
       repeated({write(), wait(1000ms), timeout(), write(), wait(50ms), frame(kAnswer)}, 3),
       {}},
      {"nothing at all",
       repeated({write(), wait(1000ms), timeout()}, 3),
       {"nothing at all came back to 3 commands to address 1 on /dev/ttyX at 9600 baud: check the "
        "port (--port), the baud rate (--baud) and the address (--address); `kelvra-host scan "
        "--port /dev/ttyX` lists what answers"}},
      {"nothing after answers is not this hint",
       std::vector<Event>{write(), frame(kAnswer), write(), timeout(), write(), timeout(), write(),
                          timeout(), write(), timeout()},
       {}},
      {"bytes but no frame",
       repeated({write(), bytes(), wait(1000ms), timeout()}, 3),
       {"bytes come back to 3 commands to address 1 on /dev/ttyX at 9600 baud but never form a "
        "frame: the baud rate may be wrong; try `kelvra-host scan --port /dev/ttyX --baud "
        "1200,2400,4800,9600,19200`"}},
      {"an echo of every command",
       repeated({write(), frame(kCommand, FrameVerdict::kEcho), frame(kAnswer)}, 4),
       {"every command comes back as an echo before its answer (a half-duplex adapter with local "
        "echo): the echoes are ignored; if answers fail too, switch the adapter's echo off or use "
        "a full-duplex adapter"}},
      {"an echo now and then",
       repeated(
           {write(), frame(kCommand, FrameVerdict::kEcho), frame(kAnswer), write(), frame(kAnswer)},
           4),
       {}},
  };
  for (const HintCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto now = std::make_shared<std::chrono::steady_clock::time_point>();
    std::vector<std::string> said;
    LineHints hints(
        "/dev/ttyX", [&](Hint, const std::string& text) { said.push_back(text); },
        [now] { return *now; });
    kelvra::station::DeviceSettings device;
    for (const Event& event : c.events) {
      switch (event.kind) {
        case Event::kWrite:
          hints.command_written(device, event.frame);
          break;
        case Event::kBytes:
          hints.bytes_received(20);
          break;
        case Event::kFrame:
          hints.frame_read(event.frame, event.verdict);
          break;
        case Event::kTimeout:
          hints.timed_out(device);
          break;
        case Event::kWait:
          *now += event.wait;
          break;
      }
    }
    EXPECT_EQ(said, c.said);
  }
}

}  // namespace
