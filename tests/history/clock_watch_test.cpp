// The wall clock watched against the monotonic clock: a jump is said once, rows meanwhile are
// dated by the monotonic clock, and a jump that holds for ten minutes is taken as set.
#include "history/clock_watch.h"

#include <gtest/gtest.h>

namespace {

using kelvra::history::ClockWatch;

constexpr std::int64_t kS = 1000;
constexpr std::int64_t kDay = 86400 * kS;
constexpr std::int64_t kWall0 = 1'800'000'000'000;

TEST(FaultClock, JumpsAreSaidOnceAndDatedByTheMonotonicClockUntilTheySettle) {
  struct Step {
    std::int64_t steady_ms;
    std::int64_t wall_ms;  // after kWall0
    std::int64_t now_ms;   // after kWall0
    bool plausible;
    const char* say;
  };
  const std::string waits =
      " against the monotonic clock: rows are dated by the monotonic clock and retention waits "
      "until the wall clock agrees again";
  const Step steps[] = {
      {0, 0, 0, true, ""},
      {1 * kS, 1 * kS, 1 * kS, true, ""},
      {2 * kS, 2 * kS + 400 * kDay, 2 * kS, false, "wall clock jumped +400 d 0 s"},
      {3 * kS, 3 * kS + 400 * kDay, 3 * kS, false, ""},
      {5 * kS, 5 * kS, 5 * kS, true, "wall clock agrees with the monotonic clock again"},
      // A slew within the tolerance is followed.
      {6 * kS, 10 * kS, 10 * kS, true, ""},
      {7 * kS, 16 * kS, 16 * kS, true, ""},
      {8 * kS, 17 * kS - 40 * kDay, 17 * kS, false, "wall clock jumped -40 d 0 s"},
      {608 * kS - 1, 617 * kS - 1 - 40 * kDay, 617 * kS - 1, false, ""},
      {608 * kS, 617 * kS - 40 * kDay, 617 * kS - 40 * kDay, true,
       "wall clock kept its jump of -40 d 0 s for 10 min: taken as set"},
      {609 * kS, 618 * kS - 40 * kDay, 618 * kS - 40 * kDay, true, ""},
  };
  ClockWatch watch;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.steady_ms);
    const ClockWatch::Reading reading = watch.step(kWall0 + step.wall_ms, step.steady_ms);
    EXPECT_EQ(reading.now_ms, kWall0 + step.now_ms);
    EXPECT_EQ(reading.plausible, step.plausible);
    const std::string say = step.say;
    EXPECT_EQ(reading.say, say.rfind("wall clock jumped", 0) == 0 ? say + waits : say);
    EXPECT_EQ(watch.correct(kWall0 + step.wall_ms), kWall0 + step.now_ms);
  }
}

}  // namespace
