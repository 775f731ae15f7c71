#include "station/comm_watch.h"

namespace kelvra::station {

CommWatch::CommWatch(std::chrono::milliseconds lost_after, Clock::time_point start)
    : lost_after_(lost_after), last_round_(start) {}

std::optional<CommWatch::Change> CommWatch::update(Clock::time_point now, bool link_up,
                                                   bool round_completed) {
  if (round_completed) {
    last_round_ = now;
    if (state_ == State::kTalking) return std::nullopt;
    state_ = State::kTalking;
    return Change{state_, "round completed"};
  }
  if (state_ == State::kLost) return std::nullopt;
  if (!link_up) {
    state_ = State::kLost;
    return Change{state_, "link down"};
  }
  if (overdue(now)) {
    state_ = State::kLost;
    return Change{state_,
                  "no round completed within " + std::to_string(lost_after_.count()) + " ms"};
  }
  return std::nullopt;
}

}  // namespace kelvra::station
