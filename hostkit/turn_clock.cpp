#include "hostkit/turn_clock.h"

#include "hostkit/local_time.h"

namespace kelvra::hostkit {

TurnClock::Steady::time_point TurnClock::steady() const {
  if (!driven_) return Steady::now();
  if (!steady_) steady_ = Steady::now();
  return *steady_;
}

std::int64_t TurnClock::utc_ms() const {
  if (!driven_) return utc_now_ms();
  if (!utc_ms_) utc_ms_ = utc_now_ms();
  return *utc_ms_;
}

void TurnClock::next_turn() {
  steady_.reset();
  utc_ms_.reset();
}

void run_in_turns(boost::asio::io_context& io, TurnClock& clock) {
  clock.driven_ = true;
  clock.next_turn();
  while (io.run_one() > 0) clock.next_turn();
  clock.driven_ = false;
}

}  // namespace kelvra::hostkit
