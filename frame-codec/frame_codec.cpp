#include "frame-codec/frame_codec.h"

#include <algorithm>
#include <stdexcept>

namespace kelvra::frame {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
// VER, ADR, CID1, CID2 and LENGTH take 12 digits; CID2 ends at digit 8.
constexpr std::size_t kHeaderDigits = 12;
constexpr std::size_t kAddressedDigits = 8;
constexpr std::size_t kChecksumDigits = 4;

int hex_value(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

void append_hex(std::string& out, unsigned value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out += kHexDigits[(value >> shift) & 0xF];
}

}  // namespace

std::uint8_t length_checksum(std::uint16_t lenid) {
  const unsigned sum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
  return static_cast<std::uint8_t>((0u - sum) & 0xF);
}

std::uint16_t checksum(std::string_view ascii) {
  std::uint32_t sum = 0;
  for (char c : ascii) sum += static_cast<unsigned char>(c);
  return static_cast<std::uint16_t>((0u - sum) & 0xFFFF);
}

std::string encode(const Frame& frame) {
  if (frame.info.size() > kMaxInfoBytes) throw std::length_error("INFO longer than LENID allows");
  const auto lenid = static_cast<std::uint16_t>(frame.info.size() * 2);
  std::string out;
  out.reserve(kHeaderDigits + lenid + kChecksumDigits + 2);
  out += kSoi;
  append_hex(out, frame.ver, 2);
  append_hex(out, frame.address, 2);
  append_hex(out, frame.cid1, 2);
  append_hex(out, frame.code, 2);
  append_hex(out, (length_checksum(lenid) << 12) | lenid, 4);
  for (std::uint8_t byte : frame.info) append_hex(out, byte, 2);
  append_hex(out, checksum(std::string_view(out).substr(1)), 4);
  out += kEoi;
  return out;
}

std::vector<std::uint8_t> decoded_response(const Frame& frame) {
  const auto lenid = static_cast<std::uint16_t>(frame.info.size() * 2);
  std::vector<std::uint8_t> out(6 + frame.info.size());
  out[0] = frame.ver;
  out[1] = frame.address;
  out[2] = frame.cid1;
  out[3] = frame.code;
  out[4] = static_cast<std::uint8_t>(lenid & 0xFF);
  out[5] = static_cast<std::uint8_t>(lenid >> 8);
  std::copy(frame.info.begin(), frame.info.end(), out.begin() + 6);
  return out;
}

const char* to_string(DecodeError error) {
  switch (error) {
    case DecodeError::kNoiseBeforeSoi:
      return "bytes before SOI";
    case DecodeError::kCutShort:
      return "frame cut short by a new SOI";
    case DecodeError::kMissingEoi:
      return "no EOI after CHKSUM";
    case DecodeError::kOddLenid:
      return "odd LENID";
    case DecodeError::kLenidMismatch:
      return "LENID disagrees with the digits received";
    case DecodeError::kBadLengthChecksum:
      return "bad LCHKSUM";
    case DecodeError::kBadChecksum:
      return "bad CHKSUM";
    case DecodeError::kNonHexDigit:
      return "non-hex digit";
    case DecodeError::kWrongAddress:
      return "frame from another address";
    case DecodeError::kAbandoned:
      return "incomplete frame abandoned";
  }
  return "unknown decode error";
}

Decoder::Decoder(FrameHandler on_frame, ErrorHandler on_error)
    : on_frame_(std::move(on_frame)), on_error_(std::move(on_error)) {
  frame_.info.reserve(kMaxInfoBytes);
}

void Decoder::feed(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) accept(static_cast<char>(data[i]));
}

void Decoder::feed(std::string_view bytes) {
  for (char byte : bytes) accept(byte);
}

void Decoder::abandon() {
  if (state_ == State::kBody) fail(DecodeError::kAbandoned);
  state_ = State::kHunting;
}

void Decoder::start_frame() {
  state_ = State::kBody;
  digit_count_ = 0;
  expected_digits_ = kHeaderDigits;
  ascii_sum_ = 0;
}

void Decoder::fail(DecodeError error) {
  ++error_counts_[static_cast<std::size_t>(error)];
  const bool header_read = state_ == State::kBody && digit_count_ >= kAddressedDigits;
  state_ = State::kSkipping;
  if (on_error_) on_error_(error, header_read ? &frame_ : nullptr);
}

std::uint8_t Decoder::byte_at(std::size_t digit_offset) const {
  return static_cast<std::uint8_t>(hex_value(digits_[digit_offset]) << 4 |
                                   hex_value(digits_[digit_offset + 1]));
}

void Decoder::accept(char byte) {
  if (byte == kSoi) {
    if (state_ == State::kBody) fail(DecodeError::kCutShort);
    start_frame();
    return;
  }
  if (state_ == State::kHunting) {
    digit_count_ = 0;  // noise is no frame's digits
    fail(DecodeError::kNoiseBeforeSoi);
    return;
  }
  if (state_ == State::kSkipping) return;

  const bool header_done = digit_count_ >= kHeaderDigits;
  if (header_done && digit_count_ == expected_digits_) {
    if (byte == kEoi) {
      finish_frame();
    } else {
      fail(hex_value(byte) >= 0 ? DecodeError::kLenidMismatch : DecodeError::kMissingEoi);
    }
    return;
  }
  if (byte == kEoi) {
    fail(header_done ? DecodeError::kLenidMismatch : DecodeError::kCutShort);
    return;
  }
  if (hex_value(byte) < 0) {
    fail(DecodeError::kNonHexDigit);
    return;
  }
  const bool is_checksum_digit = header_done && digit_count_ >= expected_digits_ - kChecksumDigits;
  if (!is_checksum_digit) ascii_sum_ += static_cast<unsigned char>(byte);
  digits_[digit_count_++] = byte;
  if (digit_count_ == kAddressedDigits) {
    frame_.ver = byte_at(0);
    frame_.address = byte_at(2);
    frame_.cid1 = byte_at(4);
    frame_.code = byte_at(6);
  } else if (digit_count_ == kHeaderDigits) {
    const unsigned length = byte_at(8) << 8 | byte_at(10);
    const auto lenid = static_cast<std::uint16_t>(length & 0x0FFF);
    if ((length >> 12) != length_checksum(lenid)) {
      fail(DecodeError::kBadLengthChecksum);
    } else if (lenid % 2 != 0) {
      fail(DecodeError::kOddLenid);
    } else {
      expected_digits_ = kHeaderDigits + lenid + kChecksumDigits;
    }
  }
}

void Decoder::finish_frame() {
  const std::size_t info_end = expected_digits_ - kChecksumDigits;
  const std::uint16_t received =
      static_cast<std::uint16_t>(byte_at(info_end) << 8 | byte_at(info_end + 2));
  if (received != static_cast<std::uint16_t>((0u - ascii_sum_) & 0xFFFF)) {
    fail(DecodeError::kBadChecksum);
    return;
  }
  frame_.info.clear();
  for (std::size_t offset = kHeaderDigits; offset < info_end; offset += 2) {
    frame_.info.push_back(byte_at(offset));
  }
  if (expected_address_ != 0 && frame_.address != expected_address_) {
    fail(DecodeError::kWrongAddress);
    return;
  }
  state_ = State::kHunting;
  ++frame_count_;
  if (on_frame_) on_frame_(frame_);
}

}  // namespace kelvra::frame
