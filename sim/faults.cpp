#include "sim/faults.h"

namespace kelvra::sim {
namespace {

constexpr const char* kNames[kFaultKinds] = {
    "no-answer", "bad-chksum",    "bad-lchksum", "garbage", "cut-short",
    "late",      "wrong-address", "rtn-02",      "echo",    "bad-data",
};

// Line noise that holds no SOI.
constexpr std::string_view kGarbage("\x00\xFF\x13noise\r\n", 10);
// Wire offsets: SOI, then VER ADR CID1 CID2 (8 digits), then LCHKSUM is the first LENGTH digit.
constexpr std::size_t kLengthChecksumDigit = 9;
// INFO digits start after SOI and the twelve header digits (VER ADR CID1 RTN LENGTH).
constexpr std::size_t kInfoStart = 13;
constexpr std::size_t kRtnLowDigit = 8;

char other_hex_digit(char digit) {
  return digit == '0' ? '1' : '0';
}

}  // namespace

const char* fault_name(FaultKind kind) {
  return kNames[static_cast<std::size_t>(kind)];
}

std::optional<FaultKind> parse_fault_name(std::string_view name) {
  for (std::size_t i = 0; i < kFaultKinds; ++i) {
    if (name == kNames[i]) return static_cast<FaultKind>(i);
  }
  return std::nullopt;
}

std::string fault_names() {
  std::string names;
  for (const char* name : kNames) names += (names.empty() ? "" : ", ") + std::string(name);
  return names;
}

std::optional<FaultKind> FaultInjector::draw() {
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  for (std::size_t i = 0; i < kFaultKinds; ++i) {
    if (rates_[i] > 0.0 && chance(rng_) < rates_[i]) {
      ++counts_[i];
      return static_cast<FaultKind>(i);
    }
  }
  return std::nullopt;
}

WireAnswer FaultInjector::shape(const frame::Frame& answer, std::string_view command_wire,
                                std::optional<FaultKind> fault) const {
  WireAnswer wire{frame::encode(answer)};
  if (!fault) return wire;
  switch (*fault) {
    case FaultKind::kNoAnswer:
      wire.bytes.clear();
      break;
    case FaultKind::kBadChecksum: {
      char& last_digit = wire.bytes[wire.bytes.size() - 2];
      last_digit = other_hex_digit(last_digit);
      break;
    }
    case FaultKind::kBadLengthChecksum: {
      char& digit = wire.bytes[kLengthChecksumDigit];
      digit = other_hex_digit(digit);
      break;
    }
    case FaultKind::kGarbageBeforeSoi:
      wire.bytes.insert(0, kGarbage);
      break;
    case FaultKind::kCutShort:
      wire.bytes.resize(wire.bytes.size() / 2);
      break;
    case FaultKind::kLate:
      wire.extra_delay = late_delay_;
      break;
    case FaultKind::kWrongAddress: {
      frame::Frame other = answer;
      other.address = static_cast<std::uint8_t>(answer.address == 0xFE ? 1 : answer.address + 1);
      wire.bytes = frame::encode(other);
      break;
    }
    case FaultKind::kRtnChecksumError: {
      const frame::Frame refused{
          answer.ver, answer.address, answer.cid1, frame::kRtnChecksumError, {}};
      wire.bytes = frame::encode(refused);
      break;
    }
    case FaultKind::kEcho:
      wire.bytes.insert(0, command_wire);
      break;
    case FaultKind::kBadData: {
      // The high digit of the middle INFO byte, so that a value decoded from it would be one the
      // equipment never had; without INFO, RTN's low digit.
      const std::size_t info_bytes = answer.info.size();
      char& digit = wire.bytes[info_bytes == 0 ? kRtnLowDigit : kInfoStart + info_bytes / 2 * 2];
      digit = other_hex_digit(digit);
      break;
    }
  }
  return wire;
}

}  // namespace kelvra::sim
