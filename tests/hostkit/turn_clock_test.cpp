// Every handler of one loop turn sees one time; the next turn reads the clocks again.
#include "hostkit/turn_clock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <boost/asio/post.hpp>

namespace {

using kelvra::hostkit::TurnClock;

TEST(TurnClock, OneReadingPerTurnOfTheLoop) {
  boost::asio::io_context io;
  TurnClock clock;
  struct Seen {
    TurnClock::Steady::time_point first, second;
    std::int64_t first_ms = 0, second_ms = 0;
  };
  std::vector<Seen> turns(2);
  for (Seen& seen : turns) {
    boost::asio::post(io, [&clock, &seen] {
      seen.first = clock.steady();
      seen.first_ms = clock.utc_ms();
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      seen.second = clock.steady();
      seen.second_ms = clock.utc_ms();
    });
  }
  kelvra::hostkit::run_in_turns(io, clock);
  for (const Seen& seen : turns) {
    EXPECT_EQ(seen.first, seen.second);
    EXPECT_EQ(seen.first_ms, seen.second_ms);
  }
  EXPECT_GE(turns[1].first - turns[0].first, std::chrono::milliseconds(3));
  // Outside the loop every call reads the clock.
  const auto before = clock.steady();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GT(clock.steady(), before);
}

}  // namespace
