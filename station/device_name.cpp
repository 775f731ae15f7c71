#include "station/device_name.h"

#include <cstdio>

#include "hostkit/json_output.h"

namespace kelvra::station {
namespace {

constexpr std::size_t kMaxNameBytes = 255;  // a file name's limit

// A UTF-8 lead byte: the bits that mark it, the sequence's length and its smallest code point.
struct Utf8Lead {
  unsigned mask;
  unsigned marker;
  std::size_t length;
  unsigned min_code;
};
constexpr Utf8Lead kUtf8Leads[] = {
    {0xE0, 0xC0, 2, 0x80}, {0xF0, 0xE0, 3, 0x800}, {0xF8, 0xF0, 4, 0x10000}};

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t utf8_length(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  const Utf8Lead* kind = nullptr;
  for (const Utf8Lead& each : kUtf8Leads) {
    if ((lead & each.mask) == each.marker) kind = &each;
  }
  if (kind == nullptr) return 0;
  const std::size_t length = kind->length;
  unsigned code = lead & ~kind->mask & 0xFFu;
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (code < kind->min_code || surrogate || code > 0x10FFFF) return 0;
  // C1 control characters (U+0080 to U+009F) count as not well-formed here: they are controls.
  if (code >= 0x80 && code <= 0x9F) return 0;
  return length;
}

// Why the bytes of `name` cannot stand in a topic level or a file name, or empty.
std::string character_problem(const std::string& name) {
  for (std::size_t at = 0; at < name.size();) {
    const auto byte = static_cast<unsigned char>(name[at]);
    if (byte == '/' || byte == '+' || byte == '#') {
      return std::string("it holds '") + name[at] + "' (a topic separator or wildcard)";
    }
    if (byte < 0x20 || byte == 0x7F) {
      char text[48];
      std::snprintf(text, sizeof text, "it holds the control character 0x%02X", byte);
      return text;
    }
    const std::size_t length = utf8_length(name, at);
    if (length == 0) return "it is not UTF-8 text without control characters";
    at += length;
  }
  return "";
}

}  // namespace

std::string topic_level_problem(const std::string& text) {
  if (text.empty()) return "it is empty";
  if (text.size() > kMaxNameBytes) {
    return "it is longer than " + std::to_string(kMaxNameBytes) + " bytes";
  }
  if (text == "." || text == "..") return "it names a directory";
  if (text.front() == ' ' || text.back() == ' ') return "it begins or ends with a space";
  return character_problem(text);
}

std::string device_name_problem(const std::string& name) {
  const std::string problem = topic_level_problem(name);
  if (problem.empty()) return "";
  return hostkit::json_text(Json::Value(name)) + " cannot name a device: " + problem +
         "; a device's name is an MQTT topic level and part of file names";
}

}  // namespace kelvra::station
