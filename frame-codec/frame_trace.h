// One line per frame written or read, and per bad input, as text or as a JSON line. Both ends of
// a line write the same format, so that the host's trace and the simulator's line up.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "frame-codec/frame_codec.h"

namespace kelvra::frame {

// The host writes commands and reads responses; the equipment the other way round. It decides
// whether the fourth header byte is shown as CID2 or RTN, and when an exchange begins.
enum class TraceSide : std::uint8_t { kHost, kEquipment };

// What became of a well-formed frame that was read.
enum class FrameVerdict : std::uint8_t {
  kTaken,         // answers the command outstanding (host) or is answered (equipment)
  kEcho,          // the host's own command read back
  kStale,         // a late answer, received before the command now outstanding or while settling
  kUnexpected,    // answers no command outstanding
  kOtherAddress,  // a command for another device (equipment)
};
const char* to_string(FrameVerdict verdict);

class FrameTrace {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // Lines go to `out`, flushed one by one. The line buffer is sized here, once.
  FrameTrace(std::FILE* out, bool json, TraceSide side, Clock clock = nullptr);

  // `wire` as written; `frame` is its header and INFO, when the bytes hold one frame. On the
  // host's side this starts the exchange clock.
  void written(std::string_view device, std::string_view wire, const Frame* frame);
  // A checked frame; `digits` are its characters after SOI (Decoder::frame_digits). On the
  // equipment's side a taken frame starts the exchange clock.
  void read(std::string_view device, const Frame& frame, std::string_view digits,
            FrameVerdict verdict);
  // Bad input as the decoder reported it, with the characters of the frame so far.
  void bad_input(std::string_view device, DecodeError error, const Frame* header,
                 std::string_view digits);

  // The line last formatted, without its newline; for tests.
  std::string_view last_line() const { return std::string_view(line_).substr(0, line_length_); }

 private:
  void begin(std::string_view direction, std::string_view device);
  void raw(std::string_view prefix, std::string_view digits, std::string_view suffix);
  void header(const Frame& frame, bool outgoing, bool with_info);
  void member(std::string_view name, std::string_view text, bool quoted);
  void hex_member(std::string_view name, std::uint8_t value);
  // JSON or text escapes; wire bytes from 0x7F up are escaped, text bytes (UTF-8) are not.
  void escaped(std::string_view text, bool wire_bytes);
  void append(std::string_view text);
  void finish();

  std::FILE* out_;
  bool json_;
  TraceSide side_;
  Clock clock_;
  std::chrono::steady_clock::time_point exchange_start_;
  std::string line_;
  std::size_t line_length_ = 0;
};

}  // namespace kelvra::frame
