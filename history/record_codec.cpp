#include "history/record_codec.h"

#include <cstddef>

namespace kelvra::history {
namespace {

void put_varint(std::vector<std::uint8_t>& out, std::size_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

bool get_varint(const std::vector<std::uint8_t>& in, std::size_t& at, std::size_t& value) {
  value = 0;
  for (unsigned shift = 0; shift < 28; shift += 7) {
    if (at >= in.size()) return false;
    const std::uint8_t byte = in[at++];
    value |= static_cast<std::size_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

}  // namespace

std::vector<std::uint8_t> encode_runs(const std::vector<std::uint8_t>& bytes,
                                      const std::vector<std::uint8_t>* base) {
  const std::size_t size = bytes.size();
  auto x = [&](std::size_t i) -> std::uint8_t {
    return base && i < base->size() ? static_cast<std::uint8_t>(bytes[i] ^ (*base)[i]) : bytes[i];
  };
  std::vector<std::uint8_t> out;
  std::size_t i = 0;
  while (i < size) {
    std::size_t zeros = 0;
    while (i < size && x(i) == 0) ++zeros, ++i;
    const std::size_t literal_start = i;
    while (i < size) {
      if (x(i) != 0) {
        ++i;
        continue;
      }
      std::size_t run = 0;
      while (i + run < size && x(i + run) == 0) ++run;
      if (run >= 3 || i + run == size) break;
      i += run;
    }
    put_varint(out, zeros);
    put_varint(out, i - literal_start);
    for (std::size_t j = literal_start; j < i; ++j) out.push_back(x(j));
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> decode_runs(const std::vector<std::uint8_t>& payload,
                                                     const std::vector<std::uint8_t>* base) {
  std::vector<std::uint8_t> out;
  std::size_t at = 0;
  constexpr std::size_t kMaxRecordBytes = 1 << 20;
  while (at < payload.size()) {
    std::size_t zeros = 0;
    std::size_t literals = 0;
    if (!get_varint(payload, at, zeros) || !get_varint(payload, at, literals)) return std::nullopt;
    if (literals > payload.size() - at || out.size() + zeros + literals > kMaxRecordBytes) {
      return std::nullopt;
    }
    out.insert(out.end(), zeros, 0);
    out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(at),
               payload.begin() + static_cast<std::ptrdiff_t>(at + literals));
    at += literals;
  }
  if (base) {
    if (out.size() != base->size()) return std::nullopt;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] ^= (*base)[i];
  }
  return out;
}

RecordChainEncoder::RecordChainEncoder(unsigned key_frame_interval)
    : key_frame_interval_(key_frame_interval == 0 ? 1 : key_frame_interval) {}

EncodedRecord RecordChainEncoder::encode(const std::vector<std::uint8_t>& bytes) {
  const bool whole = previous_.size() != bytes.size() || previous_.empty() ||
                     since_whole_ + 1 >= key_frame_interval_;
  EncodedRecord encoded{whole, encode_runs(bytes, whole ? nullptr : &previous_)};
  previous_ = bytes;
  since_whole_ = whole ? 0 : since_whole_ + 1;
  return encoded;
}

}  // namespace kelvra::history
