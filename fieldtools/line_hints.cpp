#include "fieldtools/line_hints.h"

#include <cstdio>

namespace kelvra::fieldtools {
namespace {

std::string hex2(std::uint8_t value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

bool known_version(std::uint8_t ver) {
  return ver == 0x20 || ver == 0x21;
}

std::uint8_t other_version(std::uint8_t ver) {
  return ver == 0x20 ? 0x21 : 0x20;
}

}  // namespace

LineHints::LineHints(std::string port, Say say, Clock clock)
    : port_(std::move(port)), say_(std::move(say)), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
}

void LineHints::say_once(Hint hint, const std::string& text) {
  if (said(hint)) return;
  said_ |= bit(hint);
  if (say_) say_(hint, text);
}

void LineHints::command_written(const station::DeviceSettings& device,
                                const frame::Frame& command) {
  if (!echoed_) echoes_in_a_row_ = 0;
  echoed_ = false;
  command_ver_ = command.ver;
  command_address_ = command.address;
  command_cid1_ = command.cid1;
  baud_ = device.serial.baud;
  written_at_ = clock_();
}

void LineHints::bytes_received(std::size_t count) {
  bytes_since_answer_ += count;
}

void LineHints::frame_read(const frame::Frame& frame, frame::FrameVerdict verdict) {
  ++frames_since_answer_;
  // The first frame after a timeout tells whether the expired command was answered late: it is
  // when nothing else was asked for meanwhile or the line drops it as stale.
  if (expired_ && verdict != frame::FrameVerdict::kEcho) {
    const bool late_answer =
        (verdict == frame::FrameVerdict::kStale || verdict == frame::FrameVerdict::kUnexpected) &&
        frame.address == expired_->address && frame.cid1 == expired_->cid1;
    if (late_answer) late(clock_());
    expired_.reset();
  }
  switch (verdict) {
    case frame::FrameVerdict::kTaken:
      answered_ever_ = true;
      timeouts_in_a_row_ = 0;
      bytes_since_answer_ = 0;
      frames_since_answer_ = 0;
      if (frame.code == frame::kRtnVersionError || frame.code == frame::kRtnChecksumError) {
        refused(frame);
      } else {
        refusals_in_a_row_ = 0;
      }
      break;
    case frame::FrameVerdict::kEcho:
      if (!echoed_) ++echoes_in_a_row_;
      echoed_ = true;
      if (echoes_in_a_row_ >= kEvidence) {
        say_once(Hint::kEcho,
                 "every command comes back as an echo before its answer (a half-duplex adapter "
                 "with local echo): the echoes are ignored; if answers fail too, switch the "
                 "adapter's echo off or use a full-duplex adapter");
      }
      break;
    case frame::FrameVerdict::kStale:
    case frame::FrameVerdict::kUnexpected:
    case frame::FrameVerdict::kOtherAddress:
      break;
  }
}

void LineHints::refused(const frame::Frame& answer) {
  if (++refusals_in_a_row_ < kEvidence) return;
  std::optional<std::uint8_t> fitting;
  if (answer.ver != command_ver_ && known_version(answer.ver)) {
    fitting = answer.ver;
  } else if (answer.code == frame::kRtnVersionError && known_version(command_ver_)) {
    fitting = other_version(command_ver_);
  }
  if (!fitting) return;
  std::string text = "answers keep coming back with RTN " + hex2(answer.code) +
                     (answer.code == frame::kRtnVersionError ? " (VER error)" : " (CHKSUM error)") +
                     " to VER " + hex2(command_ver_) + " commands";
  if (answer.ver != command_ver_) text += " and carry VER " + hex2(answer.ver);
  say_once(Hint::kOtherVersion, text + ": try --ver 0x" + hex2(*fitting));
}

void LineHints::late(std::chrono::steady_clock::time_point now) {
  const auto delay_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - expired_->written_at);
  if (++late_answers_ < kEvidence - 1) return;
  // Half as much again as the answers take, in whole half seconds.
  const long long suggested = (delay_ms.count() * 3 / 2 + 499) / 500 * 500;
  char text[200];
  std::snprintf(text, sizeof text,
                "answers arrive about %.1f s after the command, beyond the response timeout of "
                "%lld ms (counted as stale): try --response-timeout %lld",
                static_cast<double>(delay_ms.count()) / 1000.0,
                static_cast<long long>(expired_->timeout.count()), suggested);
  say_once(Hint::kLateAnswers, text);
}

void LineHints::timed_out(const station::DeviceSettings& device) {
  expired_ = Expired{written_at_, command_address_, command_cid1_, device.response_timeout};
  if (++timeouts_in_a_row_ < kEvidence || answered_ever_) return;
  const std::string where = std::to_string(timeouts_in_a_row_) + " commands to address " +
                            std::to_string(command_address_) + " on " + port_ + " at " +
                            std::to_string(baud_) + " baud";
  if (bytes_since_answer_ == 0) {
    say_once(Hint::kNothingArrives,
             "nothing at all came back to " + where +
                 ": check the port (--port), the baud rate (--baud) and the address "
                 "(--address); `kelvra-host scan --port " +
                 port_ + "` lists what answers");
  } else if (frames_since_answer_ == 0) {
    say_once(Hint::kNoFrames, "bytes come back to " + where +
                                  " but never form a frame: the baud rate may be wrong; try "
                                  "`kelvra-host scan --port " +
                                  port_ + " --baud 1200,2400,4800,9600,19200`");
  }
}

}  // namespace kelvra::fieldtools
