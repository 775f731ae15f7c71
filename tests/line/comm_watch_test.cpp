// COMM_LOST's state machine over a fake clock.
#include <gtest/gtest.h>

#include "station/comm_watch.h"

namespace {

using namespace std::chrono_literals;
using kelvra::station::CommWatch;

struct Step {
  std::chrono::milliseconds at;  // since the start
  bool link_up;
  bool round_completed;
  const char* change;  // "lost: REASON", "talking: REASON" or "" for none
  bool overdue;
};

TEST(CommWatch, LostOnLinkDownOrSilenceAndBackWithTheNextRound) {
  const Step steps[] = {
      {0ms, true, false, "", false},
      {2449ms, true, false, "", false},
      {2450ms, true, false, "lost: no round completed within 2450 ms", true},
      {2600ms, true, false, "", true},  // said once
      {3000ms, false, false, "", true},
      {3100ms, true, true, "talking: round completed", false},
      {3200ms, true, true, "", false},
      // The line goes down: lost at once, before any silence.
      {3300ms, false, false, "lost: link down", false},
      {3400ms, true, false, "", false},  // a reopened line alone ends nothing
      {5650ms, true, false, "", true},
      {5700ms, true, true, "talking: round completed", false},
      // Silence counts from the last round, not from the start.
      {8149ms, true, false, "", false},
      {8150ms, true, false, "lost: no round completed within 2450 ms", true},
  };
  const auto start = CommWatch::Clock::time_point() + 1h;
  CommWatch watch(2450ms, start);
  for (const Step& step : steps) {
    const auto change = watch.update(start + step.at, step.link_up, step.round_completed);
    std::string seen;
    if (change) {
      seen = std::string(change->state == CommWatch::State::kLost ? "lost: " : "talking: ") +
             change->reason;
    }
    EXPECT_EQ(seen, step.change) << step.at.count() << " ms";
    EXPECT_EQ(watch.overdue(start + step.at), step.overdue) << step.at.count() << " ms";
  }
}

}  // namespace
