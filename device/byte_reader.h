#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Bounded reader over (pointer, length) of received bytes. Every read checks n <= remaining()
// first; a read that does not fit returns false, consumes nothing and leaves its destination
// untouched, so a decoder stops at the first shortfall with what it stored so far intact.
class ByteReader {
 public:
  // A negative length reads as an empty buffer.
  ByteReader(const std::uint8_t* data, int len)
      : data_(data), size_(data != nullptr && len > 0 ? static_cast<std::size_t>(len) : 0) {}

  std::size_t remaining() const { return size_ - pos_; }
  // Bytes consumed so far, the stepped-over ones included.
  int consumed() const { return static_cast<int>(pos_); }

  bool read_u8(std::uint8_t& out) {
    if (remaining() < 1) return false;
    out = data_[pos_++];
    return true;
  }

  bool read_bytes(std::uint8_t* out, std::size_t n) {
    if (n > remaining()) return false;
    if (n != 0) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return true;
  }

  bool skip(std::size_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }

  // The next n bytes, consumed, or nullptr (nothing consumed) when fewer remain.
  const std::uint8_t* take(std::size_t n) {
    if (n > remaining()) return nullptr;
    const std::uint8_t* start = data_ + pos_;
    pos_ += n;
    return start;
  }

  // A group of count units of unit_size bytes: copied into dest when count equals room, else
  // stepped over.
  bool read_if_exact(std::size_t count, std::uint8_t* dest, std::size_t room,
                     std::size_t unit_size = 1) {
    return count == room ? read_bytes(dest, count * unit_size) : skip(count * unit_size);
  }

  // A group of count units of unit_size bytes: copied into dest when count is at most room, else
  // stepped over as a whole.
  bool read_if_fits(std::size_t count, std::uint8_t* dest, std::size_t room,
                    std::size_t unit_size = 1) {
    return count <= room ? read_bytes(dest, count * unit_size) : skip(count * unit_size);
  }

  // A group of count bytes: the first min(count, room) copied into dest, the rest stepped over.
  bool read_clipped(std::size_t count, std::uint8_t* dest, std::size_t room) {
    if (count > remaining()) return false;
    const std::size_t kept = std::min(count, room);
    return read_bytes(dest, kept) && skip(count - kept);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};
