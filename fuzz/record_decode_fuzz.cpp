// Record decoder fuzz target: the input is what `kelvra-host decode` reads, both as a file's
// content and as the argument itself. Whatever decodes is listed as text and as JSON; the JSON must
// parse back, the text must hold one line per field with its offset inside the record, and the
// record's bytes written as hex must read back to the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <json/reader.h>

#include "record/kelvra_419_fields.h"
#include "run/decode_input.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

std::string hex_of(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
    text += ' ';
  }
  return text;
}

void check_listings(const kelvra_419_Data_t& record) {
  const std::string json = kelvra::run::decode_listing(record, true);
  check(!json.empty() && json.back() == '\n');
  Json::Value parsed;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  check(reader->parse(json.data(), json.data() + json.size(), &parsed, &errors));
  check(parsed.isObject());

  std::size_t fields = 0;
  kelvra::record::for_each_field(record, [&fields](const kelvra::record::FieldValue& field) {
    check(field.offset < kelvra::record::kRecordSize);
    ++fields;
  });
  std::istringstream text(kelvra::run::decode_listing(record, false));
  std::size_t lines = 0;
  for (std::string line; std::getline(text, line); ++lines) {
    check(line.size() > 6);
    check(std::strtoul(line.substr(0, 4).c_str(), nullptr, 10) < kelvra::record::kRecordSize);
  }
  check(lines == fields);
}

void decode(const std::string& content, bool from_file) {
  const auto bytes = kelvra::run::decode_input_bytes(content, from_file);
  if (from_file) check(bytes.has_value());
  if (!bytes) return;
  const auto again = kelvra::run::decode_input_bytes(hex_of(*bytes), false);
  check(bytes->empty() ? !again : again && *again == *bytes);
  // Exactly sized, so that a read past the bytes `decode` holds is caught.
  const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes->size()]);
  std::copy(bytes->begin(), bytes->end(), exact.get());
  const auto record = kelvra::record::from_bytes(exact.get(), bytes->size());
  check(record.has_value() == (bytes->size() == kelvra::record::kRecordSize));
  if (record) check_listings(*record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  decode(content, true);
  decode(content, false);
  return 0;
}
