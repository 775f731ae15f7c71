// Each hint, caused by the simulator set up to cause it, is said once and alone; a healthy line
// hears none.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/fieldtools/field_fixture.h"

namespace {

using namespace std::chrono_literals;
using kelvra::fieldtools::Hint;
using kelvra::sim::FaultKind;

struct HintCase {
  const char* name;
  std::function<void(kelvra::sim::SimulatorConfig&)> simulator;
  std::function<void(kelvra::station::DeviceSettings&)> host;
  Hint hint;
  std::string text;  // what the hint says, from its start
};

TEST(Hints, EachIsSaidOnceWhenTheSimulatorCausesIt) {
  const HintCase cases[] = {
      {"other VER", [](kelvra::sim::SimulatorConfig& sim) { sim.responder.ver = 0x21; },
       [](kelvra::station::DeviceSettings&) {}, Hint::kOtherVersion,
       "answers keep coming back with RTN 01 (VER error) to VER 20 commands and carry VER 21: "
       "try --ver 0x21"},
      {"turnaround beyond the timeout",
       [](kelvra::sim::SimulatorConfig& sim) {
         sim.pacing.enabled = true;
         sim.pacing.turnaround = 400ms;
       },
       [](kelvra::station::DeviceSettings& device) { device.poll_interval = 1000ms; },
       Hint::kLateAnswers, "answers arrive about 0."},
      {"echo",
       [](kelvra::sim::SimulatorConfig& sim) {
         sim.scenario.faults = {{FaultKind::kEcho, 1.0}};
       },
       [](kelvra::station::DeviceSettings&) {}, Hint::kEcho,
       "every command comes back as an echo before its answer"},
      {"no answer",
       [](kelvra::sim::SimulatorConfig& sim) {
         sim.scenario.faults = {{FaultKind::kNoAnswer, 1.0}};
       },
       [](kelvra::station::DeviceSettings&) {}, Hint::kNothingArrives,
       "nothing at all came back to 3 commands to address 1 on "},
  };
  for (const HintCase& c : cases) {
    SCOPED_TRACE(c.name);
    kelvra::sim::SimulatorConfig config = field_testing::small_simulator();
    c.simulator(config);
    field_testing::WatchedSession watched(config);
    c.host(watched.device());
    watched.session().start();
    ASSERT_TRUE(watched.wait_for_hint(c.hint));
    watched.session().stop();
    std::string text;
    watched.said(c.hint, &text);
    EXPECT_EQ(text.substr(0, c.text.size()), c.text);
    EXPECT_EQ(watched.hint_count(), 1u) << "only the one hint, once";
  }
}

TEST(Hints, LateAnswersSuggestATimeoutThatFitsThem) {
  kelvra::sim::SimulatorConfig config = field_testing::small_simulator();
  config.pacing.enabled = true;
  config.pacing.turnaround = 1150ms;
  field_testing::WatchedSession watched(config);
  watched.device().response_timeout = 1000ms;
  watched.device().poll_interval = 2000ms;
  watched.without_ac();
  watched.session().start();
  ASSERT_TRUE(watched.wait_for_hint(Hint::kLateAnswers, 20s));
  std::string text;
  watched.said(Hint::kLateAnswers, &text);
  // 1.15 s of think time and the line time of both frames at 9600 baud: about 1.2 s.
  const std::string start = "answers arrive about 1.";
  const std::string end =
      " s after the command, beyond the response timeout of 1000 ms (counted as stale): try "
      "--response-timeout 2000";
  EXPECT_EQ(text.substr(0, start.size()), start) << text;
  ASSERT_GE(text.size(), end.size());
  EXPECT_EQ(text.substr(text.size() - end.size()), end) << text;
}

TEST(Hints, NoneOnAHealthyLine) {
  field_testing::WatchedSession watched(field_testing::small_simulator());
  watched.session().options().rounds = 3;
  watched.session().run_to_end();
  EXPECT_EQ(watched.hint_count(), 0u);
  EXPECT_GE(watched.trace_lines().size(), 2u * 8u) << "a first round of eight exchanges";
}

}  // namespace
