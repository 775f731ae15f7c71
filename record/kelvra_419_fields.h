// Named fields of the 763-byte device record: the one table that turns record bytes into names
// and values, shared by the bench host's JSON output, its history listing and `decode`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "record/kelvra_419_data.h"

namespace kelvra::record {

constexpr std::size_t kRecordSize = sizeof(kelvra_419_Data_t);

// One field: its dotted name with element indices ("ac.channel[1].f"), its byte offset in the
// record, its value (number, or text for the round time), a readable name ("AC input 2
// frequency") and its unit ("Hz"; empty for counts, states and codes).
struct FieldValue {
  std::string name;
  std::size_t offset;
  Json::Value value;
  std::string label;
  std::string unit;
};

struct FieldDescription {
  std::string label;
  std::string unit;
};

// The readable name and unit of a field named as for_each_field names it; an unknown name is
// its own label.
FieldDescription describe_field(const std::string& name);
// True for a name for_each_field can give (element indices not checked against the room).
bool is_field_name(const std::string& name);

using FieldVisitor = std::function<void(const FieldValue&)>;

// Visits every field in record order. Channel blocks and counted arrays are visited up to their
// count as received (bounded by the room the record has), so unused room is not listed.
void for_each_field(const kelvra_419_Data_t& record, const FieldVisitor& visit);

// The record as nested JSON objects and arrays named after the fields.
Json::Value to_json(const kelvra_419_Data_t& record);

// The record from exactly kRecordSize bytes; nullopt for any other size.
std::optional<kelvra_419_Data_t> from_bytes(const std::uint8_t* data, std::size_t size);

// The host time value as "YYYY-MM-DD HH:MM:SS"; "unset" for seven zero bytes.
std::string time_text(const std::uint8_t (&stamp)[7]);

// A float as the shortest text of up to seven significant digits ("53.5", "230", "0").
std::string float_text(float value);

}  // namespace kelvra::record
