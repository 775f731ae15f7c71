// Bounds of a numeric option, written once and read by the command line, the settings JSON and
// the help text.
#pragma once

#include <cstdint>
#include <string>

namespace kelvra::hostkit {

struct Bounds {
  std::int64_t min;
  std::int64_t max;
  bool hex = false;  // shown and described in hex ("0x20")
};

// "1..254", or "0x20..0x21" for hex bounds.
std::string bounds_text(const Bounds& bounds);
// The value as the bounds show numbers: decimal, or "0x20".
std::string bounded_text(std::int64_t value, const Bounds& bounds);

// A decimal or 0x-prefixed number within bounds; throws InputError "FIELD: expected a number
// from MIN to MAX, got "TEXT"".
std::int64_t parse_bounded(const std::string& field, const std::string& text, const Bounds& bounds);
// The same check for a number already read; throws InputError naming field.
std::int64_t check_bounded(const std::string& field, std::int64_t value, const Bounds& bounds);

}  // namespace kelvra::hostkit

namespace kelvra::hostkit {

// What the command protocol allows, for the host and the simulator alike.
inline constexpr Bounds kDeviceAddressBounds{1, 254};
inline constexpr Bounds kProtocolVersionBounds{0x20, 0x21, true};

}  // namespace kelvra::hostkit
