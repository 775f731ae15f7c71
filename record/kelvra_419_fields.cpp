#include "record/kelvra_419_fields.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelvra::record {
namespace {

struct FieldText {
  const char* pattern;  // the name with each element index written "[]"
  const char* label;    // "#" stands for the first index counted from 1, "@" for the second
  const char* unit;
};

// Every field of the record once; DC fields without their unit prefix ("dc." or "dc2.").
constexpr FieldText kFieldTexts[] = {
    {"data_id", "data id", ""},
    {"ac.extra[]", "AC extra value #", ""},
    {"ac.channel_count", "AC inputs", ""},
    {"ac.airlock_count", "AC breaker states", ""},
    {"ac.airlock[]", "AC breaker # state", ""},
    {"ac.p40_43_count", "AC switch states", ""},
    {"ac.p40_43[]", "AC switch state #", ""},
    {"ac.extra_state[]", "AC extra state #", ""},
    {"ac.channel[].a", "AC input # phase A voltage", "V"},
    {"ac.channel[].b", "AC input # phase B voltage", "V"},
    {"ac.channel[].c", "AC input # phase C voltage", "V"},
    {"ac.channel[].f", "AC input # frequency", "Hz"},
    {"ac.channel[].p40_41_count", "AC input # extra values", ""},
    {"ac.channel[].p40_41[]", "AC input # extra value @", ""},
    {"ac.channel[].a_state", "AC input # phase A state", ""},
    {"ac.channel[].b_state", "AC input # phase B state", ""},
    {"ac.channel[].c_state", "AC input # phase C state", ""},
    {"ac.channel[].f_state", "AC input # frequency state", ""},
    {"ac.channel[].p40_44_count", "AC input # extra alarms", ""},
    {"ac.channel[].p40_44[]", "AC input # extra alarm @", ""},
    {"rc.group_value", "rectifier output voltage", "V"},
    {"rc.channel_count", "rectifier modules", ""},
    {"rc.channel[].value", "rectifier # output current", "A"},
    {"rc.channel[].p41_41_count", "rectifier # extra values", ""},
    {"rc.channel[].p41_41[]", "rectifier # extra value @", ""},
    {"rc.channel[].switch_state[]", "rectifier # switch state @", ""},
    {"rc.channel[].p41_43_count", "rectifier # extra switch states", ""},
    {"rc.channel[].p41_43[]", "rectifier # extra switch state @", ""},
    {"rc.channel[].alarm_state", "rectifier # alarm state", ""},
    {"rc.channel[].p41_44_count", "rectifier # extra alarms", ""},
    {"rc.channel[].p41_44[]", "rectifier # extra alarm @", ""},
    {"round_time", "round time", ""},
    {"out_v", "output voltage", "V"},
    {"out_i", "output current", "A"},
    {"m_count", "battery values", ""},
    {"m[]", "battery value #", ""},
    {"n_count", "load values", ""},
    {"n[]", "load value #", ""},
    {"p_count", "extra values", ""},
    {"p[]", "extra value #", ""},
    {"out_v_state", "output voltage state", ""},
    {"alert_m_count", "fuse alarms", ""},
    {"alert_m[]", "fuse alarm #", ""},
    {"alert_p_count", "extra alarms", ""},
    {"alert_p[]", "extra alarm #", ""},
};

// Walks one record, naming each field by its path and offset from the record's first byte.
class FieldWalker {
 public:
  FieldWalker(const kelvra_419_Data_t& record, const FieldVisitor& visit)
      : base_(reinterpret_cast<const std::uint8_t*>(&record)), visit_(visit) {}

  void number(const std::string& name, const f32le& field) {
    emit(name, &field, Json::Value(static_cast<double>(field.get())));
  }
  void number(const std::string& name, const u32le& field) {
    emit(name, &field, Json::Value(field.get()));
  }
  void number(const std::string& name, const std::uint8_t& field) {
    emit(name, &field, Json::Value(static_cast<Json::UInt>(field)));
  }
  void time(const std::string& name, const std::uint8_t (&field)[7]) {
    emit(name, &field, Json::Value(time_text(field)));
  }
  // The first `count` elements of an array that takes `bytes` bytes of room (0 for an array the
  // layout gives no room).
  template <class Element>
  void numbers(const std::string& name, const Element* array, std::size_t bytes,
               std::size_t count) {
    for (std::size_t i = 0; i < std::min(count, bytes / sizeof(Element)); ++i) {
      number(name + "[" + std::to_string(i) + "]", array[i]);
    }
  }

 private:
  void emit(const std::string& name, const void* field, Json::Value value) {
    const auto offset = static_cast<std::size_t>(static_cast<const std::uint8_t*>(field) - base_);
    FieldDescription description = describe_field(name);
    visit_(FieldValue{name, offset, std::move(value), std::move(description.label),
                      std::move(description.unit)});
  }

  const std::uint8_t* base_;
  const FieldVisitor& visit_;
};

void walk_ac(FieldWalker& walk, const kelvra_419_Data_t::ac_t& ac) {
  walk.numbers("ac.extra", ac.extra, sizeof ac.extra, 3);
  walk.number("ac.channel_count", ac.channel_count);
  walk.number("ac.airlock_count", ac.airlock_count);
  walk.numbers("ac.airlock", ac.airlock, sizeof ac.airlock, ac.airlock_count);
  walk.number("ac.p40_43_count", ac.p40_43_count);
  walk.numbers("ac.p40_43", ac.p40_43, sizeof ac.p40_43, ac.p40_43_count);
  walk.numbers("ac.extra_state", ac.extra_state, sizeof ac.extra_state, 3);
  const std::size_t channels =
      std::min<std::size_t>(ac.channel_count, kelvra_419_Data_t::AC_CHANNEL_ROOM);
  for (std::size_t i = 0; i < channels; ++i) {
    const kelvra_419_ac_channel& channel = ac.channel[i];
    const std::string prefix = "ac.channel[" + std::to_string(i) + "].";
    walk.number(prefix + "a", channel.a);
    walk.number(prefix + "b", channel.b);
    walk.number(prefix + "c", channel.c);
    walk.number(prefix + "f", channel.f);
    walk.number(prefix + "p40_41_count", channel.p40_41_count);
    walk.numbers(prefix + "p40_41", channel.p40_41, sizeof channel.p40_41, channel.p40_41_count);
    walk.number(prefix + "a_state", channel.a_state);
    walk.number(prefix + "b_state", channel.b_state);
    walk.number(prefix + "c_state", channel.c_state);
    walk.number(prefix + "f_state", channel.f_state);
    walk.number(prefix + "p40_44_count", channel.p40_44_count);
    walk.numbers(prefix + "p40_44", channel.p40_44, sizeof channel.p40_44, channel.p40_44_count);
  }
}

void walk_rc(FieldWalker& walk, const kelvra_419_Data_t::rc_t& rc) {
  walk.number("rc.group_value", rc.group_value);
  walk.number("rc.channel_count", rc.channel_count);
  const std::size_t channels =
      std::min<std::size_t>(rc.channel_count, kelvra_419_Data_t::RC_CHANNEL_ROOM);
  for (std::size_t i = 0; i < channels; ++i) {
    const kelvra_419_rc_channel& channel = rc.channel[i];
    const std::string prefix = "rc.channel[" + std::to_string(i) + "].";
    walk.number(prefix + "value", channel.value);
    walk.number(prefix + "p41_41_count", channel.p41_41_count);
    walk.numbers(prefix + "p41_41", channel.p41_41, sizeof channel.p41_41, channel.p41_41_count);
    walk.numbers(prefix + "switch_state", channel.switch_state, sizeof channel.switch_state, 3);
    walk.number(prefix + "p41_43_count", channel.p41_43_count);
    walk.numbers(prefix + "p41_43", channel.p41_43, sizeof channel.p41_43, channel.p41_43_count);
    walk.number(prefix + "alarm_state", channel.alarm_state);
    walk.number(prefix + "p41_44_count", channel.p41_44_count);
    walk.numbers(prefix + "p41_44", channel.p41_44, sizeof channel.p41_44, channel.p41_44_count);
  }
}

void walk_dc(FieldWalker& walk, const std::string& group, const kelvra_419_dc& dc) {
  const std::string prefix = group + ".";
  walk.number(prefix + "out_v", dc.out_v);
  walk.number(prefix + "out_i", dc.out_i);
  walk.number(prefix + "m_count", dc.m_count);
  walk.numbers(prefix + "m", dc.m, sizeof dc.m, dc.m_count);
  walk.number(prefix + "n_count", dc.n_count);
  walk.numbers(prefix + "n", dc.n, sizeof dc.n, dc.n_count);
  walk.number(prefix + "p_count", dc.p_count);
  walk.numbers(prefix + "p", dc.p, sizeof dc.p, dc.p_count);
  walk.number(prefix + "out_v_state", dc.out_v_state);
  walk.number(prefix + "alert_m_count", dc.alert_m_count);
  walk.numbers(prefix + "alert_m", dc.alert_m, sizeof dc.alert_m, dc.alert_m_count);
  walk.number(prefix + "alert_p_count", dc.alert_p_count);
  walk.numbers(prefix + "alert_p", dc.alert_p, sizeof dc.alert_p, dc.alert_p_count);
}

// Places value at a dotted path with element indices, creating objects and arrays on the way.
void place(Json::Value& root, const std::string& path, const Json::Value& value) {
  Json::Value* node = &root;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t dot = std::min(path.find('.', start), path.size());
    std::string part = path.substr(start, dot - start);
    const std::size_t bracket = part.find('[');
    if (bracket == std::string::npos) {
      node = &(*node)[part];
    } else {
      const auto index =
          static_cast<Json::ArrayIndex>(std::strtoul(part.c_str() + bracket + 1, nullptr, 10));
      node = &(*node)[part.substr(0, bracket)][index];
    }
    start = dot + 1;
  }
  *node = value;
}

}  // namespace

void for_each_field(const kelvra_419_Data_t& record, const FieldVisitor& visit) {
  FieldWalker walk(record, visit);
  walk.number("data_id", record.data_id);
  walk_ac(walk, record.ac);
  walk_rc(walk, record.rc);
  walk_dc(walk, "dc", record.dc);
  walk.time("round_time", record.round_time);
  walk_dc(walk, "dc2", record.dc2);
}

Json::Value to_json(const kelvra_419_Data_t& record) {
  Json::Value root(Json::objectValue);
  // NaN and infinities are null: an infinity would otherwise be written as 1e+9999, which readers
  // that check a number's range refuse.
  for_each_field(record, [&](const FieldValue& field) {
    const bool not_a_number = field.value.isDouble() && !std::isfinite(field.value.asDouble());
    place(root, field.name, not_a_number ? Json::Value() : field.value);
  });
  return root;
}

namespace {

// The table entry of a field name, its element indices and the label prefix of its DC unit.
struct FieldMatch {
  const FieldText* text = nullptr;
  std::vector<unsigned long> indices;
  std::string prefix;
};

FieldMatch match_field(const std::string& name) {
  FieldMatch match;
  std::string pattern;
  std::vector<unsigned long>& indices = match.indices;
  for (std::size_t i = 0; i < name.size(); ++i) {
    pattern += name[i];
    if (name[i] != '[') continue;
    char* end = nullptr;
    indices.push_back(std::strtoul(name.c_str() + i + 1, &end, 10));
    i = static_cast<std::size_t>(end - name.c_str()) - 1;
  }
  for (const char* unit : {"dc.", "dc2."}) {
    if (pattern.rfind(unit, 0) == 0) {
      match.prefix = std::string(unit) == "dc." ? "DC " : "DC unit 2 ";
      pattern.erase(0, std::strlen(unit));
    }
  }
  for (const FieldText& text : kFieldTexts) {
    if (pattern == text.pattern) match.text = &text;
  }
  return match;
}

}  // namespace

FieldDescription describe_field(const std::string& name) {
  const FieldMatch match = match_field(name);
  if (match.text == nullptr) return {name, ""};
  std::string label;
  for (const char* c = match.text->label; *c != '\0'; ++c) {
    const std::size_t which = *c == '#' ? 0 : *c == '@' ? 1 : match.indices.size();
    label += which < match.indices.size() ? std::to_string(match.indices[which] + 1)
                                          : std::string(1, *c);
  }
  return {match.prefix + label, match.text->unit};
}

bool is_field_name(const std::string& name) {
  return match_field(name).text != nullptr;
}

std::optional<kelvra_419_Data_t> from_bytes(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size != kRecordSize) return std::nullopt;
  kelvra_419_Data_t record;
  std::memcpy(&record, data, kRecordSize);
  return record;
}

std::string time_text(const std::uint8_t (&stamp)[7]) {
  if (std::all_of(std::begin(stamp), std::end(stamp), [](std::uint8_t b) { return b == 0; })) {
    return "unset";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u",
                unsigned(stamp[0]) | (unsigned(stamp[1]) << 8), stamp[2], stamp[3], stamp[4],
                stamp[5], stamp[6]);
  return text;
}

std::string float_text(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7g", static_cast<double>(value));
  return text;
}

}  // namespace kelvra::record
