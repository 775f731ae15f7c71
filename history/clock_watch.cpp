#include "history/clock_watch.h"

#include <cstdlib>

namespace kelvra::history {
namespace {

// "+40 d 0 h 0 min 5 s" style: days and seconds, signed.
std::string span_text(std::int64_t ms) {
  const char* sign = ms < 0 ? "-" : "+";
  const std::int64_t s = std::llabs(ms) / 1000;
  return sign + std::to_string(s / 86400) + " d " + std::to_string(s % 86400) + " s";
}

}  // namespace

ClockWatch::Reading ClockWatch::step(std::int64_t wall_ms, std::int64_t steady_ms) {
  const std::int64_t off_by = wall_ms - steady_ms - offset_ms_;
  const bool agrees = std::llabs(off_by) <= kToleranceMs;
  std::string say;
  switch (state_) {
    case State::kUnset:
      state_ = State::kPlausible;
      offset_ms_ = wall_ms - steady_ms;
      break;
    case State::kPlausible:
      if (agrees) {
        offset_ms_ = wall_ms - steady_ms;  // follows a clock slewed slowly
        break;
      }
      state_ = State::kJumped;
      jumped_at_ms_ = steady_ms;
      say = "wall clock jumped " + span_text(off_by) +
            " against the monotonic clock: rows are dated by the monotonic clock and retention "
            "waits until the wall clock agrees again";
      break;
    case State::kJumped:
      if (agrees) {
        state_ = State::kPlausible;
        offset_ms_ = wall_ms - steady_ms;
        say = "wall clock agrees with the monotonic clock again";
      } else if (steady_ms - jumped_at_ms_ >= std::chrono::milliseconds(kSettle).count()) {
        state_ = State::kPlausible;
        offset_ms_ = wall_ms - steady_ms;
        say = "wall clock kept its jump of " + span_text(off_by) + " for " +
              std::to_string(kSettle.count()) + " min: taken as set";
      }
      break;
  }
  jump_ms_ = state_ == State::kJumped ? off_by : 0;
  return {wall_ms - jump_ms_, state_ == State::kPlausible, say};
}

}  // namespace kelvra::history
