// Whether a device still talks to the host: lost when its line is down or when no round completed
// within the communication-lost time; talking again with the next completed round.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace kelvra::station {

class CommWatch {
 public:
  using Clock = std::chrono::steady_clock;
  enum class State { kTalking, kLost };

  struct Change {
    State state;
    std::string reason;  // "link down", "no round completed within 2450 ms", "round completed"
  };

  // Counts the silence from `start`, as if a round had completed then.
  CommWatch(std::chrono::milliseconds lost_after, Clock::time_point start);

  // The one transition: the line's state and whether a round completed at `now`.
  std::optional<Change> update(Clock::time_point now, bool link_up, bool round_completed);

  State state() const { return state_; }
  // True once `now` lies the communication-lost time or more past the last completed round.
  bool overdue(Clock::time_point now) const { return now - last_round_ >= lost_after_; }
  std::chrono::milliseconds lost_after() const { return lost_after_; }

 private:
  std::chrono::milliseconds lost_after_;
  Clock::time_point last_round_;
  State state_ = State::kTalking;
};

}  // namespace kelvra::station
