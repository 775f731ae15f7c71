#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

// Reads a fuzz input front to back; past its end every read yields zeros.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool done() const { return pos_ >= size_; }
  std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  // Least significant byte first.
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
  // Least significant byte first.
  std::int32_t i32() {
    std::uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) value |= std::uint32_t{u8()} << shift;
    return static_cast<std::int32_t>(value);
  }
  // The next n bytes, or fewer at the end (n is lowered to match), in a buffer of exactly that
  // size so that a read past it is caught.
  std::unique_ptr<std::uint8_t[]> take(std::size_t& n) {
    n = std::min(n, size_ - pos_);
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[n]);
    if (n != 0) std::memcpy(out.get(), data_ + pos_, n);
    pos_ += n;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};
