// The serial line's state machine over a fake clock: each scenario is a table of inputs at given
// times, each with the exact actions it must give and the state it must leave.
#include <gtest/gtest.h>

#include <cstdio>

#include "serial/line_machine.h"

namespace {

using namespace std::chrono_literals;
using kelvra::serial::Action;
using kelvra::serial::Input;
using kelvra::serial::LineMachine;
using kelvra::serial::LineTiming;
using kelvra::serial::State;
using kelvra::serial::StationId;

const auto t0 = kelvra::serial::TimePoint{} + 1h;

// Wires of VER 20: commands 41/41, 41/43 and 41/44 to address 1 and 41/41 to address 3;
// answers from address 1 with RTN 00 (six INFO bytes, one byte) and RTN 02, from address 3.
constexpr const char* k4141 = "~200141410000FDB3\r";
constexpr const char* k4143 = "~200141430000FDB1\r";
constexpr const char* k4144 = "~200141440000FDB0\r";
constexpr const char* k4141At3 = "~200341410000FDB1\r";
constexpr const char* kAnswer = "~20014100400C000000564200FB50\r";
constexpr const char* kAnswer1 = "~20014100E00201FD40\r";
constexpr const char* kRefusal = "~200141020000FDB6\r";
constexpr const char* kAnswerAt3 = "~20034100E00207FD38\r";
// kAnswer and kAnswer1 as the device takes them: VER ADR CID1 RTN LENID(LE) INFO.
constexpr const char* kDelivered = "deliver 0 200141000c00000000564200";
constexpr const char* kDelivered1 = "deliver 0 20014100020001";
// Two answers and the start of a third in one read.
const std::string kTwoAnswers = std::string(kAnswer) + kAnswer1 + "~2001";

Input of(Input::Kind kind, StationId station = 0) {
  return Input{kind, station};
}
Input submit(StationId station, std::uint8_t cid2) {
  Input input{Input::Kind::kCommandSubmitted, station};
  input.command =
      kelvra::frame::Frame{0x20, static_cast<std::uint8_t>(station == 0 ? 1 : 3), 0x41, cid2, {}};
  return input;
}
Input bytes(std::string_view wire) {
  Input input{Input::Kind::kBytesReceived};
  input.bytes = wire;
  return input;
}
Input failed(Input::Kind kind, const char* reason) {
  Input input{kind};
  input.reason = reason;
  return input;
}
const Input kStart = of(Input::Kind::kStart);
const Input kOpened = of(Input::Kind::kOpened);
const Input kTimer = of(Input::Kind::kTimerFired);
const Input kWriteDone = of(Input::Kind::kWriteDone);
const Input kTaken = of(Input::Kind::kAnswerTaken);

std::string text_of(const Action& action) {
  std::string hex;
  for (const std::uint8_t byte : action.response) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  const std::string station = std::to_string(action.station);
  switch (action.kind) {
    case Action::Kind::kOpenPort:
      return "open";
    case Action::Kind::kClosePort:
      return "close";
    case Action::Kind::kWrite:
      return "write " + action.text;
    case Action::Kind::kStartRound:
      return "round " + station;
    case Action::Kind::kDeliver:
      return "deliver " + station + " " + hex;
    case Action::Kind::kRefused:
      return "refused " + station;
    case Action::Kind::kNoAnswer:
      return "no answer " + station;
    case Action::Kind::kArmTimer:
      return "timer " + std::to_string((action.deadline - t0) / 1ms);
    case Action::Kind::kCancelTimer:
      return "cancel timer";
    case Action::Kind::kLinkLost:
      return "lost: " + action.text;
    case Action::Kind::kLinkRestored:
      return "restored: " + action.text;
    case Action::Kind::kNote:
      return "note: " + action.text;
  }
  return "?";
}

struct Row {
  int at_ms;  // since t0
  Input input;
  std::vector<std::string> actions;
  State state;
};

// "echoes 1, bad CHKSUM 2": the counters status shows, those above zero.
std::string counts_of(const LineMachine& machine) {
  const kelvra::serial::LineCounters& counters = machine.counters();
  std::vector<std::pair<std::string, std::uint64_t>> counts = {
      {"echoes", counters.echoes},
      {"unexpected", counters.unexpected},
      {"stale", counters.stale},
      {"link losses", counters.link_losses}};
  for (std::size_t kind = 0; kind < kelvra::frame::kDecodeErrorKinds; ++kind) {
    const auto error = static_cast<kelvra::frame::DecodeError>(kind);
    counts.emplace_back(kelvra::frame::to_string(error), machine.decoder().error_count(error));
  }
  std::string text;
  for (const auto& [name, count] : counts) {
    if (count == 0) continue;
    text += (text.empty() ? "" : ", ") + name + " " + std::to_string(count);
  }
  return text;
}

struct Scenario {
  const char* name;
  std::vector<Row> rows;
  const char* counts;  // the line's non-zero counters and decoder errors after the last row
  std::size_t stations = 1;
  std::chrono::milliseconds poll_interval = 1s;
  std::chrono::milliseconds reopen_backoff_limit = 0ms;
};

// A line with stations of 150 ms response timeout, reopened every 3 s, reminding every 5 s.
void play(const Scenario& scenario) {
  LineTiming timing;
  timing.poll_interval = scenario.poll_interval;
  timing.down_reminder = 5s;
  timing.reopen_backoff_limit = scenario.reopen_backoff_limit;
  LineMachine machine({}, timing);
  for (std::size_t i = 0; i < scenario.stations; ++i) machine.add_station(150ms);
  for (std::size_t i = 0; i < scenario.rows.size(); ++i) {
    const Row& row = scenario.rows[i];
    std::vector<std::string> actions;
    for (const Action& action : machine.step(row.input, t0 + row.at_ms * 1ms)) {
      actions.push_back(text_of(action));
    }
    EXPECT_EQ(actions, row.actions) << scenario.name << " row " << i;
    EXPECT_STREQ(to_string(machine.state()), to_string(row.state)) << scenario.name << " row " << i;
  }
  EXPECT_EQ(counts_of(machine), scenario.counts) << scenario.name;
}

// Every scenario opens the line and lets its first poll start nothing.
std::vector<Row> opened(std::vector<Row> rows, const char* first_poll_timer = "timer 1000") {
  rows.insert(rows.begin(), {{0, kStart, {"open", "timer 0"}, State::kOpening},
                             {0, kOpened, {"note: opened at 9600 8N1"}, State::kIdle},
                             {0, kTimer, {"round 0", first_poll_timer}, State::kIdle},
                             {0, of(Input::Kind::kRoundDeclined), {}, State::kIdle}});
  return rows;
}

TEST(LineMachine, ScenariosGiveTheirActionsInOrder) {
  const Scenario scenarios[] = {
      {"answer",
       opened({
           {10, submit(0, 0x41), {std::string("write ") + k4141, "timer 160"}, State::kAwaiting},
           {12, kWriteDone, {}, State::kAwaiting},
           // Our own command read back is no answer.
           {15,
            bytes(k4141),
            {"note: echo of our command 41/41 at address 1 ignored (repeats summed up once a "
             "minute)"},
            State::kAwaiting},
           {40, bytes(kAnswer), {kDelivered, "timer 1000"}, State::kIdle},
           {40, kTaken, {}, State::kIdle},
           {50,
            bytes(kAnswer1),
            {"note: frame 41/00 at address 1 answers no outstanding command, ignored (repeats "
             "summed up once a minute)"},
            State::kIdle},
       }),
       "echoes 1, unexpected 1"},
      {"refused and foreign",
       opened({
           {10, submit(0, 0x41), {std::string("write ") + k4141, "timer 160"}, State::kAwaiting},
           {20,
            bytes("~200142000000FDB7\r"),
            {"note: frame 42/00 at address 1 does not answer 41/41 at address 1, ignored (repeats "
             "summed up once a minute)"},
            State::kAwaiting},
           {30,
            bytes(kRefusal),
            {"note: 41/41 at address 1 refused with RTN 02", "refused 0", "timer 1000"},
            State::kIdle},
       }),
       "unexpected 1"},
      {"timeout, late answer, settle",
       opened({
           {10, submit(0, 0x41), {std::string("write ") + k4141, "timer 160"}, State::kAwaiting},
           {11, kWriteDone, {}, State::kAwaiting},
           // Half a frame, then the deadline: the fragment is abandoned.
           {100, bytes("~2001410040"), {}, State::kAwaiting},
           {160,
            kTimer,
            {"note: bad input: incomplete frame abandoned (address 1, 41/00) (repeats summed up "
             "once a minute)",
             "note: no answer to 41/41 at address 1 within 150 ms", "no answer 0", "timer 1000"},
            State::kIdle},
           {170, submit(0, 0x43), {std::string("write ") + k4143, "timer 320"}, State::kAwaiting},
           {171, kWriteDone, {}, State::kAwaiting},
           // The late answer to 41/41 passes for 41/43's; the line then settles for 100 ms.
           {200, bytes(kAnswer), {kDelivered, "timer 300"}, State::kSettling},
           {200, kTaken, {}, State::kSettling},
           {210, submit(0, 0x44), {}, State::kSettling},
           // 41/43's own answer comes during the quiet wait and extends it.
           {250,
            bytes(kAnswer1),
            {"note: frame 41/00 at address 1 came while the line settles after a timeout, dropped "
             "(repeats summed up once a minute)",
             "timer 350"},
            State::kSettling},
           {350, kTimer, {std::string("write ") + k4144, "timer 500"}, State::kAwaiting},
       }),
       "stale 1, incomplete frame abandoned 1"},
      {"stale rest of a read",
       opened({
           {10, submit(0, 0x41), {std::string("write ") + k4141, "timer 160"}, State::kAwaiting},
           {11, kWriteDone, {}, State::kAwaiting},
           // Two answers in one read: the station writes its next command after the first, so
           // the second came before it and is not its answer.
           {40, bytes(kTwoAnswers), {kDelivered, "timer 1000"}, State::kIdle},
           {40, submit(0, 0x43), {std::string("write ") + k4143, "timer 190"}, State::kAwaiting},
           {40,
            kTaken,
            {"note: frame 41/00 at address 1 came before the command now outstanding, dropped "
             "(repeats summed up once a minute)",
             "note: bad input: incomplete frame abandoned (repeats summed up once a minute)"},
            State::kAwaiting},
           {41, kWriteDone, {}, State::kAwaiting},
           {60, bytes(kAnswer1), {kDelivered1, "timer 1000"}, State::kIdle},
       }),
       "stale 1, incomplete frame abandoned 1"},
      {"write deadline, reopen, reminder",
       opened(
           {
               {10,
                submit(0, 0x41),
                {std::string("write ") + k4141, "timer 160"},
                State::kAwaiting},
               // The peer takes nothing: the exchange expires, the next command waits for the
               // write, which becomes a line fault at its deadline.
               {160,
                kTimer,
                {"note: no answer to 41/41 at address 1 within 150 ms", "no answer 0",
                 "timer 2010"},
                State::kIdle},
               {170, submit(0, 0x43), {}, State::kIdle},
               {2010,
                kTimer,
                {"close", "lost: write not finished within 2000 ms; reopening every 3000 ms",
                 "timer 2160"},
                State::kClosed},
               // The waiting command runs out its time on the closed port.
               {2160,
                kTimer,
                {"note: no answer to 41/43 at address 1 within 150 ms", "no answer 0",
                 "timer 5010"},
                State::kClosed},
               {5010, kTimer, {"open", "timer 60000"}, State::kOpening},
               {5010,
                failed(Input::Kind::kOpenFailed, "No such file or directory"),
                {"close", "timer 8010"},
                State::kClosed},
               {8010, kTimer, {"open", "timer 60000"}, State::kOpening},
               {8010,
                failed(Input::Kind::kOpenFailed, "No such file or directory"),
                {"close", "note: still down after 6 s: cannot open: No such file or directory",
                 "timer 11010"},
                State::kClosed},
               {11010, kTimer, {"open", "timer 60000"}, State::kOpening},
               {11010, kOpened, {"restored: port reopened after 9 s"}, State::kIdle},
               {17500,
                failed(Input::Kind::kReadFailed, "End of file"),
                {"close", "lost: End of file; reopening every 3000 ms", "timer 20500"},
                State::kClosed},
               {17600, of(Input::Kind::kStop), {"close", "cancel timer"}, State::kStopped},
           },
           "timer 60000"),
       "link losses 2", 1, 60s},
      {"a poll due while the port opens is made once it is open",
       {
           {0, kStart, {"open", "timer 0"}, State::kOpening},
           {0, kTimer, {"timer 1000"}, State::kOpening},
           {300, kOpened, {"note: opened at 9600 8N1", "round 0", "timer 1300"}, State::kIdle},
           {300, of(Input::Kind::kRoundDeclined), {}, State::kIdle},
       },
       ""},
      {"reopen backing off to its limit, from the start again once open",
       opened(
           {
               {100,
                failed(Input::Kind::kReadFailed, "End of file"),
                {"close", "lost: End of file; reopening after 3000 ms, backing off up to 10000 ms",
                 "timer 3100"},
                State::kClosed},
               {3100, kTimer, {"open", "timer 60000"}, State::kOpening},
               {3100,
                failed(Input::Kind::kOpenFailed, "Connection refused"),
                {"close", "timer 9100"},
                State::kClosed},
               {9100, kTimer, {"open", "timer 60000"}, State::kOpening},
               {9100,
                failed(Input::Kind::kOpenFailed, "Connection refused"),
                {"close", "note: still down after 9 s: cannot open: Connection refused",
                 "timer 19100"},
                State::kClosed},
               {19100, kTimer, {"open", "timer 60000"}, State::kOpening},
               {19100, kOpened, {"restored: port reopened after 19 s"}, State::kIdle},
               {19200,
                failed(Input::Kind::kReadFailed, "End of file"),
                {"close", "lost: End of file; reopening after 3000 ms, backing off up to 10000 ms",
                 "timer 22200"},
                State::kClosed},
           },
           "timer 60000"),
       "link losses 2", 1, 60s, 10s},
      {"bad input",
       opened({
           {10, submit(0, 0x41), {std::string("write ") + k4141, "timer 160"}, State::kAwaiting},
           {11, kWriteDone, {}, State::kAwaiting},
           // Noise is said once up to the next SOI; a faulty frame is skipped to the next SOI.
           {15,
            bytes("ok?"),
            {"note: bad input: bytes before SOI (repeats summed up once a minute)"},
            State::kAwaiting},
           {20,
            bytes("~20014100400C000000564200FB51\r"),
            {"note: bad input: bad CHKSUM (address 1, 41/00) (repeats summed up once a minute)"},
            State::kAwaiting},
           {21,
            bytes("~20014100500C000000564200FB50\r"),
            {"note: bad input: bad LCHKSUM (address 1, 41/00) (repeats summed up once a minute)"},
            State::kAwaiting},
           {22,
            bytes(kAnswerAt3),
            {"note: bad input: frame from another address (address 3, 41/00) (repeats summed up "
             "once a minute)"},
            State::kAwaiting},
           {23, bytes("ok?"), {}, State::kAwaiting},
           {30, bytes(kAnswer), {kDelivered, "timer 1000"}, State::kIdle},
       }),
       "bytes before SOI 1, bad LCHKSUM 1, bad CHKSUM 1, frame from another address 1"},
      {"two stations in turn",
       {
           {0, kStart, {"open", "timer 0"}, State::kOpening},
           {0, kOpened, {"note: opened at 9600 8N1"}, State::kIdle},
           {0, kTimer, {"round 0", "timer 1000"}, State::kIdle},
           {0, submit(0, 0x41), {std::string("write ") + k4141, "timer 150"}, State::kAwaiting},
           {0, of(Input::Kind::kRoundStarted, 0), {}, State::kAwaiting},
           {1, kWriteDone, {}, State::kAwaiting},
           // Station 1's command waits for station 0's exchange.
           {5, submit(1, 0x41), {}, State::kAwaiting},
           {30,
            bytes(kAnswer),
            {kDelivered, std::string("write ") + k4141At3, "timer 180"},
            State::kAwaiting},
           {30, kTaken, {}, State::kAwaiting},
           {31, kWriteDone, {}, State::kAwaiting},
           {60, bytes(kAnswerAt3), {"deliver 1 20034100020007", "timer 1000"}, State::kIdle},
           {60, kTaken, {}, State::kIdle},
           // Station 1 is next; it has nothing to do, so station 0 is asked.
           {1000, kTimer, {"round 1", "timer 2000"}, State::kIdle},
           {1000, of(Input::Kind::kRoundDeclined, 1), {"round 0"}, State::kIdle},
           {1000, of(Input::Kind::kRoundDeclined, 0), {}, State::kIdle},
           {2000, kTimer, {"round 1", "timer 3000"}, State::kIdle},
       },
       "",
       2},
  };
  for (const Scenario& scenario : scenarios) play(scenario);
}

}  // namespace
