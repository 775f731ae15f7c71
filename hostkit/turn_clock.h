// The run's clock, read at most once per turn of its event loop: every part that handles one
// event (a round, a reply, a request) sees the same time, and events stored together carry it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include <boost/asio/io_context.hpp>

namespace kelvra::hostkit {

class TurnClock {
 public:
  using Steady = std::chrono::steady_clock;

  // The turn's monotonic time; the first call of a turn reads the clock.
  Steady::time_point steady() const;
  // The turn's wall time, UTC milliseconds since the epoch; the first call of a turn reads it.
  std::int64_t utc_ms() const;

  // Ends the turn: the next call reads the clocks again. Until the loop drives it, every call is
  // a turn of its own.
  void next_turn();

 private:
  bool driven_ = false;
  mutable std::optional<Steady::time_point> steady_;
  mutable std::optional<std::int64_t> utc_ms_;
  friend void run_in_turns(boost::asio::io_context& io, TurnClock& clock);
};

// Runs `io` until it stops or runs out of work, one handler per turn of `clock`.
void run_in_turns(boost::asio::io_context& io, TurnClock& clock);

}  // namespace kelvra::hostkit
