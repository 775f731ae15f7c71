#include "serial/noise_notes.h"

namespace kelvra::serial {

std::vector<std::string> NoiseNotes::step(const Input& input, Clock::time_point now) {
  std::vector<std::string> lines;
  if (state_ == State::kNoisy && now - window_start_ >= kSummaryInterval) {
    if (not_said_.empty()) {
      state_ = State::kQuiet;
      said_.clear();
    } else {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - window_start_);
      std::string summary = "line noise in the last " + std::to_string(seconds.count()) + " s:";
      const char* separator = " ";
      for (const auto& [kind, count] : not_said_) {
        summary += separator + kind + " " + std::to_string(count);
        separator = ", ";
      }
      lines.push_back(summary + " (not said one by one)");
      not_said_.clear();
      window_start_ = now;
    }
  }
  if (input.kind != Input::Kind::kNoise) return lines;
  if (state_ == State::kQuiet) {
    state_ = State::kNoisy;
    window_start_ = now;
  }
  if (said_.insert(input.noise_kind).second) {
    lines.push_back(input.text + " (repeats summed up once a minute)");
  } else {
    ++not_said_[input.noise_kind];
  }
  return lines;
}

}  // namespace kelvra::serial
