// The series readings (kept as minute aggregates) and where a 763-byte record holds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kelvra::history {

// Whether a record field name is a series: every reading of the field table ("ac.channel[0].a",
// "rc.group_value", "dc2.m[0]", ...).
bool is_series_field(const std::string& name);

// The series fields in record field table order; an index into it names a field in aggregates.
std::vector<std::string> series_fields();

// The series fields with their index, and the offsets of the counts that decide which of them a
// record holds.
struct SeriesLayout {
  std::vector<std::string> names;
  std::map<std::string, std::size_t> index_of;
  std::vector<std::size_t> count_offsets;
};
const SeriesLayout& series_layout();

// The f32 LE at `offset`; the caller has checked the record's size.
float float_at(const std::vector<std::uint8_t>& bytes, std::size_t offset);

// One series field a record holds: its index in series_fields() and its byte offset.
struct PresentField {
  std::size_t index;
  std::size_t offset;
};

// The series fields a record of kRecordSize bytes holds (its fitted parts only), looked up again
// only when its counts or fitted parts change.
class PresenceCache {
 public:
  const std::vector<PresentField>& of(const std::vector<std::uint8_t>& bytes);

 private:
  bool first_ = true;
  std::vector<std::uint8_t> key_;
  std::vector<PresentField> fields_;
};

}  // namespace kelvra::history
