// The lost / reminder / back reporter over a fake clock.
#include <gtest/gtest.h>

#include "hostkit/link_health.h"

namespace {

using namespace std::chrono_literals;
using kelvra::hostkit::LinkHealth;

TEST(LinkHealth, LossOnceRemindersAtMostEveryIntervalBackOnce) {
  struct Row {
    std::chrono::milliseconds at;
    LinkHealth::Input input;
    LinkHealth::Say say;
    std::chrono::seconds down_for;
    LinkHealth::State state;
  };
  using Input = LinkHealth::Input;
  using Say = LinkHealth::Say;
  using State = LinkHealth::State;
  const Row rows[] = {
      {0ms, Input::kWorking, Say::kNothing, 0s, State::kUp},
      {1000ms, Input::kFailed, Say::kLost, 0s, State::kDown},
      {3000ms, Input::kFailed, Say::kNothing, 0s, State::kDown},
      {10999ms, Input::kFailed, Say::kNothing, 0s, State::kDown},
      {11000ms, Input::kFailed, Say::kReminder, 10s, State::kDown},
      {20999ms, Input::kFailed, Say::kNothing, 0s, State::kDown},
      {21500ms, Input::kFailed, Say::kReminder, 20s, State::kDown},
      {23999ms, Input::kWorking, Say::kBack, 22s, State::kUp},
      {24000ms, Input::kWorking, Say::kNothing, 0s, State::kUp},
      // A new loss counts from itself.
      {30000ms, Input::kFailed, Say::kLost, 0s, State::kDown},
      {31000ms, Input::kWorking, Say::kBack, 1s, State::kUp},
  };
  LinkHealth health(10s);
  const auto t0 = LinkHealth::Clock::time_point{} + 1h;
  for (const Row& row : rows) {
    const LinkHealth::Verdict verdict = health.step(row.input, t0 + row.at);
    EXPECT_EQ(verdict.say, row.say) << row.at.count();
    EXPECT_EQ(verdict.down_for, row.down_for) << row.at.count();
    EXPECT_EQ(health.state(), row.state) << row.at.count();
  }
}

}  // namespace
