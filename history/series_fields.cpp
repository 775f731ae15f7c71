#include "history/series_fields.h"

#include <cstring>

#include "record/kelvra_419_fields.h"

namespace kelvra::history {

bool is_series_field(const std::string& name) {
  const record::FieldDescription described = record::describe_field(name);
  return described.spec != nullptr && described.spec->kind == record::FieldKind::reading;
}

const SeriesLayout& series_layout() {
  static const SeriesLayout layout = [] {
    SeriesLayout built;
    std::vector<std::uint8_t> zeros(record::kRecordSize, 0);
    kelvra_419_Data_t full = *record::from_bytes(zeros.data(), zeros.size());
    full.ac.channel_count = kelvra_419_Data_t::AC_CHANNEL_ROOM;
    full.rc.channel_count = kelvra_419_Data_t::RC_CHANNEL_ROOM;
    full.dc.m_count = kelvra_419_dc::M_SIZE();
    full.dc2.m_count = kelvra_419_dc::M_SIZE();
    record::for_each_field(full, [&](const record::FieldValue& field) {
      if (field.name.size() > 6 && field.name.compare(field.name.size() - 6, 6, "_count") == 0) {
        built.count_offsets.push_back(field.offset);
      }
      if (!is_series_field(field.name)) return;
      built.index_of[field.name] = built.names.size();
      built.names.push_back(field.name);
    });
    return built;
  }();
  return layout;
}

std::vector<std::string> series_fields() {
  return series_layout().names;
}

float float_at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  const std::uint32_t bits = static_cast<std::uint32_t>(bytes[offset]) |
                             static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
                             static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
                             static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

const std::vector<PresentField>& PresenceCache::of(const std::vector<std::uint8_t>& bytes) {
  const SeriesLayout& layout = series_layout();
  const auto record = record::from_bytes(bytes.data(), bytes.size());
  const record::PartsPresent parts = record::parts_present(*record);
  std::vector<std::uint8_t> key;
  key.reserve(layout.count_offsets.size() + 4);
  for (std::size_t offset : layout.count_offsets) key.push_back(bytes[offset]);
  for (const bool fitted : {parts.ac_unit, parts.shelf, parts.dc_unit[0], parts.dc_unit[1]}) {
    key.push_back(fitted ? 1 : 0);
  }
  if (key == key_ && !first_) return fields_;
  first_ = false;
  key_ = key;
  fields_.clear();
  record::for_each_field(*record, [&](const record::FieldValue& field) {
    const auto found = layout.index_of.find(field.name);
    if (found != layout.index_of.end()) fields_.push_back({found->second, field.offset});
  });
  return fields_;
}

}  // namespace kelvra::history
