#include "hostkit/link_health.h"

namespace kelvra::hostkit {

LinkHealth::Verdict LinkHealth::step(Input input, Clock::time_point now) {
  const auto down_for = std::chrono::duration_cast<std::chrono::seconds>(now - down_since_);
  if (input == Input::kWorking) {
    if (state_ == State::kUp) return {};
    state_ = State::kUp;
    return {Say::kBack, down_for};
  }
  if (state_ == State::kUp) {
    state_ = State::kDown;
    down_since_ = now;
    last_said_ = now;
    return {Say::kLost, std::chrono::seconds(0)};
  }
  if (now - last_said_ < reminder_interval_) return {};
  last_said_ = now;
  return {Say::kReminder, down_for};
}

}  // namespace kelvra::hostkit
