#include "line/decode_input.h"

#include <cctype>
#include <cstdio>

#include "line/console.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::line {
namespace {

std::uint8_t nibble(char digit) {
  if (digit >= '0' && digit <= '9') return static_cast<std::uint8_t>(digit - '0');
  return static_cast<std::uint8_t>(std::tolower(static_cast<unsigned char>(digit)) - 'a' + 10);
}

std::string field_value_text(const Json::Value& value) {
  if (value.isString()) return value.asString();
  if (value.isDouble()) return record::float_text(value.asFloat());
  return std::to_string(value.asUInt64());
}

}  // namespace

std::optional<std::vector<std::uint8_t>> decode_input_bytes(const std::string& content,
                                                            bool from_file) {
  std::string digits;
  bool hex = true;
  for (char c : content) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      hex = false;
      break;
    }
    digits += c;
  }
  if (hex && digits.size() % 2 == 0 && !digits.empty()) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      bytes.push_back(static_cast<std::uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
    }
    return bytes;
  }
  if (!from_file) return std::nullopt;
  return std::vector<std::uint8_t>(content.begin(), content.end());
}

std::string decode_listing(const kelvra_419_Data_t& record, bool json) {
  if (json) return json_line(record::to_json(record)) + "\n";
  std::string listing;
  record::for_each_field(record, [&listing](const record::FieldValue& field) {
    char line[96];
    std::snprintf(line, sizeof line, "%4zu  %-28s ", field.offset, field.name.c_str());
    listing += line + field_value_text(field.value) + "\n";
  });
  return listing;
}

}  // namespace kelvra::line
