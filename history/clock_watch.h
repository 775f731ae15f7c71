// Whether the wall clock can be trusted: its advance checked against the monotonic clock's.
//
// A wall clock that moves more than kTolerance away from the monotonic clock's advance has
// jumped (a wrong `date -s`, a faulty time source). While it has, rows are dated by the monotonic
// clock from the last plausible reading and retention waits. A jump that holds for kSettle is
// taken as a correction of a clock that was wrong before (a host without a real-time clock that
// finds its time source late), and the wall clock is trusted again from there.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kelvra::history {

class ClockWatch {
 public:
  static constexpr std::int64_t kToleranceMs = 5000;
  static constexpr std::chrono::minutes kSettle{10};
  enum class State { kUnset, kPlausible, kJumped };
  struct Reading {
    std::int64_t now_ms;  // the time to date rows by (UTC ms)
    bool plausible;       // retention may act
    std::string say;      // once per change of state; empty otherwise
  };

  // One reading of both clocks: the wall clock in UTC ms, the monotonic clock in ms.
  Reading step(std::int64_t wall_ms, std::int64_t steady_ms);
  // A time the wall clock gave at the last step (a row's own time), dated as step() dates now.
  std::int64_t correct(std::int64_t wall_ms) const { return wall_ms - jump_ms_; }
  State state() const { return state_; }

 private:
  State state_ = State::kUnset;
  std::int64_t offset_ms_ = 0;  // wall minus monotonic while plausible
  std::int64_t jump_ms_ = 0;    // how far the wall clock is off while it has jumped
  std::int64_t jumped_at_ms_ = 0;
};

}  // namespace kelvra::history
