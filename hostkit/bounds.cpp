#include "hostkit/bounds.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "hostkit/input_error.h"

namespace kelvra::hostkit {
namespace {

std::string range_words(const Bounds& bounds) {
  return "expected a number from " + bounded_text(bounds.min, bounds) + " to " +
         bounded_text(bounds.max, bounds);
}

}  // namespace

std::string bounded_text(std::int64_t value, const Bounds& bounds) {
  if (!bounds.hex || value < 0) return std::to_string(value);
  char text[24];
  std::snprintf(text, sizeof text, "0x%02" PRIX64, static_cast<std::uint64_t>(value));
  return text;
}

std::string bounds_text(const Bounds& bounds) {
  return bounded_text(bounds.min, bounds) + ".." + bounded_text(bounds.max, bounds);
}

std::int64_t parse_bounded(const std::string& field, const std::string& text,
                           const Bounds& bounds) {
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(text.c_str(), &end, 0);
  // strtoll would skip leading blanks and take a plus sign; a number here is digits only.
  const bool starts_right =
      !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-');
  if (!starts_right || *end != '\0' || errno != 0 || number < bounds.min || number > bounds.max) {
    throw InputError(field + ": " + range_words(bounds) + ", got \"" + text + "\"");
  }
  return number;
}

std::int64_t check_bounded(const std::string& field, std::int64_t value, const Bounds& bounds) {
  if (value < bounds.min || value > bounds.max) {
    throw InputError(field + ": " + range_words(bounds) + ", got " + bounded_text(value, bounds));
  }
  return value;
}

}  // namespace kelvra::hostkit
