// Notes on line noise (bad input, echoes, frames no command asked for), bounded however noisy the
// line: in a noisy spell the first note of each kind is said as it is, the rest are counted and
// summed up at most once a minute; a minute without noise ends the spell.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kelvra::serial {

class NoiseNotes {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kSummaryInterval{60000};

  enum class State { kQuiet, kNoisy };
  struct Input {
    enum class Kind { kNoise, kTimePassed };
    Kind kind = Kind::kTimePassed;
    std::string noise_kind{};  // for kNoise: what is counted ("bad CHKSUM", "echoes")
    std::string text{};        // for kNoise: the note itself
  };

  // The one transition; returns the lines to say now.
  std::vector<std::string> step(const Input& input, Clock::time_point now);
  State state() const { return state_; }

 private:
  State state_ = State::kQuiet;
  Clock::time_point window_start_{};
  std::set<std::string> said_;                     // kinds said in full in this spell
  std::map<std::string, std::uint64_t> not_said_;  // counted since the window started
};

}  // namespace kelvra::serial
