#pragma once

#include <cstdint>
#include <cstring>

// Record fields stand at unaligned offsets and are read and written as single bytes.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "record access assumes a little-endian host");

// IEEE-754 single precision, least significant byte first, as the equipment sends it.
struct f32le {
  std::uint8_t bytes[4];

  float get() const {
    float value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  void set(float value) { std::memcpy(bytes, &value, sizeof value); }
};

// Unsigned 32-bit integer, least significant byte first.
struct u32le {
  std::uint8_t bytes[4];

  std::uint32_t get() const {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  void set(std::uint32_t value) { std::memcpy(bytes, &value, sizeof value); }
};

static_assert(sizeof(f32le) == 4 && alignof(f32le) == 1);
static_assert(sizeof(u32le) == 4 && alignof(u32le) == 1);
