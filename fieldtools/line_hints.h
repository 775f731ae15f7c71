// Watches one serial line for the usual reasons a site does not answer and says each once, with
// what to try: a wrong protocol version, answers later than the response timeout, nothing
// arriving at all, bytes that never form a frame, and an echo of every command.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "frame-codec/frame_codec.h"
#include "frame-codec/frame_trace.h"
#include "run/settings.h"

namespace kelvra::fieldtools {

enum class Hint : std::uint8_t { kOtherVersion, kLateAnswers, kNothingArrives, kNoFrames, kEcho };

class LineHints {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Say = std::function<void(Hint, const std::string&)>;

  // Evidence a hint waits for: this many refusals, late frames, timeouts or echoes in a row.
  static constexpr int kEvidence = 3;

  LineHints(std::string port, Say say, Clock clock = nullptr);

  void command_written(const station::DeviceSettings& device, const frame::Frame& command);
  void bytes_received(std::size_t count);
  void frame_read(const frame::Frame& frame, frame::FrameVerdict verdict);
  void timed_out(const station::DeviceSettings& device);

  bool said(Hint hint) const { return (said_ & bit(hint)) != 0; }

 private:
  static unsigned bit(Hint hint) { return 1u << static_cast<unsigned>(hint); }
  void say_once(Hint hint, const std::string& text);
  void refused(const frame::Frame& answer);
  // Evidence of a late answer to expired_.
  void late(std::chrono::steady_clock::time_point now);

  std::string port_;
  Say say_;
  Clock clock_;
  unsigned said_ = 0;
  // The command outstanding or last written.
  std::uint8_t command_ver_ = 0;
  std::uint8_t command_address_ = 0;
  unsigned baud_ = 0;
  std::chrono::steady_clock::time_point written_at_;
  bool echoed_ = false;
  std::uint8_t command_cid1_ = 0;
  // The command that timed out last, until the next frame shows whether it was answered late.
  struct Expired {
    std::chrono::steady_clock::time_point written_at;
    std::uint8_t address;
    std::uint8_t cid1;
    std::chrono::milliseconds timeout;
  };
  std::optional<Expired> expired_;
  int refusals_in_a_row_ = 0;
  int late_answers_ = 0;
  int timeouts_in_a_row_ = 0;
  int echoes_in_a_row_ = 0;
  bool answered_ever_ = false;
  std::uint64_t bytes_since_answer_ = 0;
  std::uint64_t frames_since_answer_ = 0;
};

}  // namespace kelvra::fieldtools
