// Line noise over a fake clock: the first note of each kind said, the rest counted and summed up
// at most once a minute, a quiet minute ending the spell.
#include <gtest/gtest.h>

#include "serial/noise_notes.h"

namespace {

using namespace std::chrono_literals;
using kelvra::serial::NoiseNotes;

TEST(FaultLineNoise, FirstOfEachKindSaidThenOneSummaryAMinute) {
  struct Row {
    std::chrono::milliseconds at;
    const char* kind;  // null: time passes
    std::vector<std::string> said;
    NoiseNotes::State state;
  };
  using State = NoiseNotes::State;
  const std::string repeats = " note (repeats summed up once a minute)";
  const std::vector<Row> rows = {
      {0ms, nullptr, {}, State::kQuiet},
      {1000ms, "bad CHKSUM", {"bad CHKSUM" + repeats}, State::kNoisy},
      {1001ms, "bad CHKSUM", {}, State::kNoisy},
      {1002ms, "bad CHKSUM", {}, State::kNoisy},
      {2000ms, "echo frames", {"echo frames" + repeats}, State::kNoisy},
      {3000ms, "echo frames", {}, State::kNoisy},
      {60999ms, nullptr, {}, State::kNoisy},
      {61000ms,
       nullptr,
       {"line noise in the last 60 s: bad CHKSUM 2, echo frames 1 (not said one by one)"},
       State::kNoisy},
      {70000ms, "bad CHKSUM", {}, State::kNoisy},
      // The summary due comes before the note that brought it about.
      {121000ms,
       "bytes before SOI",
       {"line noise in the last 60 s: bad CHKSUM 1 (not said one by one)",
        "bytes before SOI" + repeats},
       State::kNoisy},
      {150000ms, "bytes before SOI", {}, State::kNoisy},
      {181000ms,
       nullptr,
       {"line noise in the last 60 s: bytes before SOI 1 (not said one by one)"},
       State::kNoisy},
      // A minute with nothing counted ends the spell; noise after it is said afresh.
      {241000ms, nullptr, {}, State::kQuiet},
      {250000ms, "bad CHKSUM", {"bad CHKSUM" + repeats}, State::kNoisy},
  };
  NoiseNotes notes;
  const auto t0 = NoiseNotes::Clock::time_point{} + 1h;
  for (const Row& row : rows) {
    NoiseNotes::Input input;
    if (row.kind != nullptr) {
      input = {NoiseNotes::Input::Kind::kNoise, row.kind, std::string(row.kind) + " note"};
    }
    EXPECT_EQ(notes.step(input, t0 + row.at), row.said) << row.at.count();
    EXPECT_EQ(notes.state(), row.state) << row.at.count();
  }
}

}  // namespace
