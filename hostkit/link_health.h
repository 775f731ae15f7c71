// Whether a link (serial port, broker connection, database) is up, as its owner should say it:
// the loss once, a reminder at most every interval while it stays down, the return once with the
// time it was down. The owner words each; this only decides when.
#pragma once

#include <chrono>

namespace kelvra::hostkit {

class LinkHealth {
 public:
  using Clock = std::chrono::steady_clock;
  enum class State { kUp, kDown };
  enum class Input {
    kFailed,   // an attempt failed or the link broke
    kWorking,  // the link works (opened, connected, written)
  };
  enum class Say { kNothing, kLost, kReminder, kBack };
  struct Verdict {
    Say say = Say::kNothing;
    std::chrono::seconds down_for{0};  // for kReminder and kBack: since the loss, whole seconds
  };

  explicit LinkHealth(std::chrono::milliseconds reminder_interval)
      : reminder_interval_(reminder_interval) {}

  // The one transition.
  Verdict step(Input input, Clock::time_point now);
  State state() const { return state_; }

 private:
  std::chrono::milliseconds reminder_interval_;
  State state_ = State::kUp;
  Clock::time_point down_since_{};
  Clock::time_point last_said_{};
};

}  // namespace kelvra::hostkit
