#include "telnet/com_port_session.h"

namespace kelvra::telnet {
namespace {

// RFC 854 commands and the options this client knows.
constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPort = 44;
// COM-PORT-OPTION client commands (RFC 2217).
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;

void put(std::string& out, std::initializer_list<std::uint8_t> bytes) {
  for (std::uint8_t byte : bytes) out.push_back(static_cast<char>(byte));
}

// IAC SB COM-PORT-OPTION command value... IAC SE, 0xFF in the value doubled.
void put_command(std::string& out, std::uint8_t command, std::string_view value) {
  put(out, {kIac, kSb, kComPort, command});
  out += ComPortSession::escape(value);
  put(out, {kIac, kSe});
}

std::string one_byte(std::uint8_t value) {
  return std::string(1, static_cast<char>(value));
}

}  // namespace

std::string ComPortSession::opening() {
  std::string out;
  put(out, {kIac, kWill, kComPort, kIac, kWill, kBinary, kIac, kDo, kBinary});
  return out;
}

std::string ComPortSession::escape(std::string_view data) {
  std::string out;
  out.reserve(data.size());
  for (char byte : data) {
    out.push_back(byte);
    if (static_cast<std::uint8_t>(byte) == kIac) out.push_back(byte);
  }
  return out;
}

std::string ComPortSession::format_request() const {
  std::string baud;  // network byte order
  for (int shift = 24; shift >= 0; shift -= 8) {
    baud.push_back(static_cast<char>((format_.baud >> shift) & 0xFFu));
  }
  std::string out;
  put_command(out, kSetBaudRate, baud);
  put_command(out, kSetDataSize, one_byte(format_.data_bits));
  put_command(out, kSetParity, one_byte(static_cast<std::uint8_t>(format_.parity)));
  put_command(out, kSetStopSize, one_byte(format_.stop_bits));
  return out;
}

// What was offered in opening() is acknowledged by the server's positive answer and needs no
// reply; suppressing go-ahead is accepted once; anything else is refused.
void ComPortSession::on_option(std::uint8_t verb, std::uint8_t option, std::string& reply) {
  if (verb == kDo && option == kComPort) {
    if (!format_sent_) reply += format_request();
    format_sent_ = true;
  } else if (verb == kWill && option == kSuppressGoAhead) {
    if (!sga_agreed_) put(reply, {kIac, kDo, kSuppressGoAhead});
    sga_agreed_ = true;
  } else if (verb == kDo && option != kBinary) {
    put(reply, {kIac, kWont, option});
  } else if (verb == kWill && option != kBinary) {
    put(reply, {kIac, kDont, option});
  }
}

Received ComPortSession::receive(std::string_view bytes) {
  Received out;
  for (char byte_char : bytes) {
    const auto byte = static_cast<std::uint8_t>(byte_char);
    switch (state_) {
      case State::kData:
        if (byte == kIac) {
          state_ = State::kCommand;
        } else {
          out.data.push_back(byte_char);
        }
        break;
      case State::kCommand:
        state_ = State::kData;
        if (byte == kIac) {
          out.data.push_back(byte_char);
        } else if (byte >= kWill) {
          verb_ = byte;
          state_ = State::kOption;
        } else if (byte == kSb) {
          state_ = State::kSub;
        }
        break;  // other commands (NOP, GA, ...) carry nothing for the line
      case State::kOption:
        on_option(verb_, byte, out.reply);
        state_ = State::kData;
        break;
      case State::kSub:  // the server's replies and notifications: not needed, dropped
        if (byte == kIac) state_ = State::kSubCommand;
        break;
      case State::kSubCommand:
        state_ = byte == kSe ? State::kData : State::kSub;
        break;
    }
  }
  return out;
}

}  // namespace kelvra::telnet
