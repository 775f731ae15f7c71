#include "run/decode_input.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "hostkit/hex.h"
#include "hostkit/input_error.h"
#include "hostkit/input_file.h"
#include "hostkit/json_output.h"
#include "record/kelvra_419_fields.h"
#include "station/console.h"

namespace kelvra::run {

namespace {

// A record file, in binary or hex, is far below this; anything larger is not read.
constexpr std::size_t kMaxRecordFileBytes = 64 * 1024;

std::string field_value_text(const Json::Value& value) {
  if (value.isString()) return value.asString();
  if (value.isDouble()) return record::float_text(value.asFloat());
  return std::to_string(value.asUInt64());
}

}  // namespace

std::optional<std::vector<std::uint8_t>> decode_input_bytes(const std::string& content,
                                                            bool from_file) {
  auto bytes = kelvra::hostkit::parse_hex(content);
  if (bytes && !bytes->empty()) return bytes;
  if (!from_file) return std::nullopt;
  return std::vector<std::uint8_t>(content.begin(), content.end());
}

namespace {

// The source as a message names it: hex given on the command line is cut to its start.
std::string shown_source(const std::string& source) {
  constexpr std::size_t kShown = 24;
  if (source.size() <= kShown * 2) return source;
  return source.substr(0, kShown) + "... (" + std::to_string(source.size()) + " characters)";
}

bool all_hex_digits(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

std::vector<std::uint8_t> read_record_source(const std::string& source) {
  std::string content = source;
  bool from_file = false;
  try {
    content = kelvra::hostkit::read_input_file(source, kMaxRecordFileBytes);
    from_file = true;
  } catch (const kelvra::hostkit::InputFileError& error) {
    if (access(source.c_str(), F_OK) == 0) throw std::runtime_error(source + ": " + error.what());
  }
  auto bytes = decode_input_bytes(content, from_file);
  if (!bytes && all_hex_digits(content)) {
    throw kelvra::hostkit::InputError(shown_source(source) + ": an odd number of hex digits (" +
                                      std::to_string(content.size()) + "); each byte takes two");
  }
  if (!bytes) {
    throw kelvra::hostkit::InputError(shown_source(source) +
                                      ": neither a readable file nor hex digits");
  }
  return std::move(*bytes);
}

std::string decode_listing(const kelvra_419_Data_t& record, bool json) {
  if (json) return hostkit::json_text(record::to_json(record)) + "\n";
  std::string listing;
  record::for_each_field(record, [&listing](const record::FieldValue& field) {
    char line[96];
    std::snprintf(line, sizeof line, "%4zu  %-28s ", field.offset, field.name.c_str());
    listing += line + field_value_text(field.value) + "\n";
  });
  return listing;
}

}  // namespace kelvra::run
