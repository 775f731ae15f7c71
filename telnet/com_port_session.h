// The client side of a Telnet session that carries a serial line (COM-PORT-OPTION): the opening
// negotiation, the line format asked for once the server agrees, 0xFF doubled in data both ways,
// and everything else the server says (options, notifications, replies) answered or dropped.
// No I/O: receive() and the encoders return the bytes to send.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvra::telnet {

// RFC 2217 parity codes.
enum class Parity : std::uint8_t { kNone = 1, kOdd = 2, kEven = 3 };

struct LineFormat {
  std::uint32_t baud = 9600;
  std::uint8_t data_bits = 8;
  Parity parity = Parity::kNone;
  std::uint8_t stop_bits = 1;  // 1 or 2
};

struct Received {
  std::string data;   // the line's bytes, unescaped
  std::string reply;  // to send back to the server
};

class ComPortSession {
 public:
  explicit ComPortSession(LineFormat format) : format_(format) {}

  // Sent first: offers COM-PORT-OPTION and binary transmission both ways.
  static std::string opening();
  // Takes bytes from the server in any chunking; parser state carries over between calls.
  Received receive(std::string_view bytes);
  // The wire for line data: every 0xFF doubled.
  static std::string escape(std::string_view data);
  // True once the server agreed to COM-PORT-OPTION and the line format was sent.
  bool format_sent() const { return format_sent_; }

 private:
  enum class State { kData, kCommand, kOption, kSub, kSubCommand };
  void on_option(std::uint8_t verb, std::uint8_t option, std::string& reply);
  std::string format_request() const;

  LineFormat format_;
  State state_ = State::kData;
  std::uint8_t verb_ = 0;  // WILL, WONT, DO or DONT while an option byte is awaited
  bool format_sent_ = false;
  bool sga_agreed_ = false;  // the server's WILL SUPPRESS-GO-AHEAD was answered
};

}  // namespace kelvra::telnet
