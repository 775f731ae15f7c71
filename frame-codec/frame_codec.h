// Framing of the equipment's ASCII-hex command/response protocol.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra::frame {

constexpr char kSoi = '~';
constexpr char kEoi = '\r';
// LENID counts INFO as ASCII characters; 12 bits, even.
constexpr std::uint16_t kMaxLenid = 4094;
constexpr std::size_t kMaxInfoBytes = kMaxLenid / 2;
// SOI, 12 header digits, INFO digits, 4 CHKSUM digits, EOI.
constexpr std::size_t kMaxFrameChars = 1 + 12 + kMaxLenid + 4 + 1;

enum Rtn : std::uint8_t {
  kRtnNormal = 0x00,
  kRtnVersionError = 0x01,
  kRtnChecksumError = 0x02,
  kRtnLengthChecksumError = 0x03,
  kRtnInvalidCid2 = 0x04,
  kRtnFormatError = 0x05,
  kRtnInvalidData = 0x06,
};

// One frame, decoded. `code` is CID2 in a command and RTN in a response.
struct Frame {
  std::uint8_t ver = 0;
  std::uint8_t address = 0;
  std::uint8_t cid1 = 0;
  std::uint8_t code = 0;
  std::vector<std::uint8_t> info;
};

// Four-bit check of a LENID: (-(sum of its three hex digits)) & 0xF.
std::uint8_t length_checksum(std::uint16_t lenid);
// (-(sum of the ASCII codes)) & 0xFFFF over the characters from VER to the end of INFO.
std::uint16_t checksum(std::string_view ascii);
// The complete wire form: SOI, upper-case hex digits, CHKSUM, EOI. INFO above kMaxInfoBytes throws.
std::string encode(const Frame& frame);
// The layout the host hands to the device: VER, ADR, CID1, RTN, LENID (u16 little-endian), INFO.
std::vector<std::uint8_t> decoded_response(const Frame& frame);

enum class DecodeError : std::uint8_t {
  kNoiseBeforeSoi,  // a run of bytes outside any frame (noise, an echo)
  kCutShort,        // a new SOI arrived before the frame was complete
  kMissingEoi,      // the byte after CHKSUM was neither EOI nor a digit
  kOddLenid,        // LENID is odd
  kLenidMismatch,   // the frame holds fewer or more digits than its LENID says
  kBadLengthChecksum,
  kBadChecksum,
  kNonHexDigit,
  kWrongAddress,  // a well-formed frame from an address other than the expected one
  kAbandoned,     // the frame was still incomplete when the receiver gave up on it
};
constexpr std::size_t kDecodeErrorKinds = 10;
const char* to_string(DecodeError error);

// Incremental decoder: feed it whatever bytes arrive; it reports each checked frame and each
// bad input once, then hunts for the next SOI. Its buffers are sized once, at construction.
class Decoder {
 public:
  // `header` is null unless VER to CID2 were read before the fault.
  using FrameHandler = std::function<void(const Frame&)>;
  using ErrorHandler = std::function<void(DecodeError, const Frame* header)>;

  explicit Decoder(FrameHandler on_frame, ErrorHandler on_error = nullptr);

  // Frames from other addresses are reported as kWrongAddress; 0 accepts every address.
  void expect_address(std::uint8_t address) { expected_address_ = address; }
  void feed(const std::uint8_t* data, std::size_t size);
  void feed(std::string_view bytes);
  // Drops a partly received frame (counted as kAbandoned), e.g. after a response timeout.
  void abandon();

  std::uint64_t error_count(DecodeError error) const {
    return error_counts_[static_cast<std::size_t>(error)];
  }
  std::uint64_t frame_count() const { return frame_count_; }
  bool in_frame() const { return state_ != State::kHunting; }
  // The characters after SOI of the frame just reported (EOI excluded); valid inside a handler.
  std::string_view frame_digits() const { return std::string_view(digits_.data(), digit_count_); }

 private:
  enum class State { kHunting, kSkipping, kBody };

  void accept(char byte);
  void start_frame();
  void fail(DecodeError error);
  void finish_frame();
  std::uint8_t byte_at(std::size_t digit_offset) const;

  FrameHandler on_frame_;
  ErrorHandler on_error_;
  std::uint8_t expected_address_ = 0;
  State state_ = State::kHunting;
  // Digits received after SOI; EOI is not stored.
  std::array<char, kMaxFrameChars> digits_{};
  std::size_t digit_count_ = 0;
  std::size_t expected_digits_ = 0;
  std::uint32_t ascii_sum_ = 0;
  Frame frame_;
  std::array<std::uint64_t, kDecodeErrorKinds> error_counts_{};
  std::uint64_t frame_count_ = 0;
};

}  // namespace kelvra::frame
