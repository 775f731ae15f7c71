#include "history/series_fields.h"

#include <cstring>

#include "record/kelvra_419_fields.h"

namespace kelvra::history {

bool is_series_field(const std::string& name) {
  auto ends_with = [&](const char* tail) {
    const std::size_t length = std::strlen(tail);
    return name.size() >= length && name.compare(name.size() - length, length, tail) == 0;
  };
  auto starts_with = [&](const char* head) { return name.rfind(head, 0) == 0; };
  if (starts_with("ac.channel[")) {
    return ends_with("].a") || ends_with("].b") || ends_with("].c") || ends_with("].f");
  }
  if (starts_with("rc.")) return name == "rc.group_value" || ends_with("].value");
  if (starts_with("dc.") || starts_with("dc2.")) {
    return ends_with(".out_v") || ends_with(".out_i") || name.find(".m[") != std::string::npos;
  }
  return false;
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
  std::vector<std::uint8_t> key;
  key.reserve(layout.count_offsets.size());
  for (std::size_t offset : layout.count_offsets) key.push_back(bytes[offset]);
  if (key == key_ && !first_) return fields_;
  first_ = false;
  key_ = key;
  fields_.clear();
  const auto record = record::from_bytes(bytes.data(), bytes.size());
  record::for_each_field(*record, [&](const record::FieldValue& field) {
    const auto found = layout.index_of.find(field.name);
    if (found != layout.index_of.end()) fields_.push_back({found->second, field.offset});
  });
  return fields_;
}

}  // namespace kelvra::history
