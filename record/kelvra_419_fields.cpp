#include "record/kelvra_419_fields.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

namespace kelvra::record {
namespace {

using K = FieldKind;
using P = PartKind;

// How each reading is published beyond the tools' own outputs (see FieldOutlets).
const FieldOutlets kNoOutlets{};
const FieldOutlets kAcPhaseA{SensorType::volts_ac, 1, 100, 8, "input.L1-N.voltage"};
const FieldOutlets kAcPhaseB{SensorType::volts_ac, 1, 102, 8, "input.L2-N.voltage"};
const FieldOutlets kAcPhaseC{SensorType::volts_ac, 1, 104, 8, "input.L3-N.voltage"};
const FieldOutlets kAcFrequency{SensorType::hertz, 2, 106, 8, "input.frequency"};
const FieldOutlets kShelfVoltage{SensorType::volts_dc, 2, 120, 0, ""};
const FieldOutlets kModuleCurrent{SensorType::amperes, 2, 200, 2, ""};
const FieldOutlets kDcVoltage{SensorType::volts_dc, 2, 300, 0, "output.voltage"};
const FieldOutlets kDcCurrent{SensorType::amperes, 2, 302, 0, "output.current"};
const FieldOutlets kBatteryCurrent{SensorType::amperes, 2, 304, 2, "battery.current"};

// Every field of the record once, in record order; DC rows stand for both units.
const std::vector<FieldSpec> kSpecs = {
    {"data_id", "data id", "", K::identity, P::plant, nullptr, "", "", kNoOutlets},
    {"ac.extra[]", "AC extra value #", "", K::raw, P::ac_unit, nullptr, "", "", kNoOutlets},
    {"ac.channel_count", "AC inputs", "", K::count, P::ac_unit, nullptr, "", "", kNoOutlets},
    {"ac.airlock_count", "AC breaker states", "", K::count, P::ac_unit, nullptr, "", "",
     kNoOutlets},
    {"ac.airlock[]", "AC breaker # state", "", K::state, P::ac_unit, nullptr, "", "", kNoOutlets},
    {"ac.p40_43_count", "AC switch states", "", K::count, P::ac_unit, nullptr, "", "", kNoOutlets},
    {"ac.p40_43[]", "AC switch state #", "", K::state, P::ac_unit, nullptr, "", "", kNoOutlets},
    {"ac.extra_state[]", "AC extra state #", "", K::state, P::ac_unit, nullptr, "", "", kNoOutlets},
    {"ac.channel[].a", "AC input # phase A voltage", "V", K::reading, P::ac_input,
     "kelvra_ac_phase_volts", "input=#,phase=a", "voltage", kAcPhaseA},
    {"ac.channel[].b", "AC input # phase B voltage", "V", K::reading, P::ac_input,
     "kelvra_ac_phase_volts", "input=#,phase=b", "voltage", kAcPhaseB},
    {"ac.channel[].c", "AC input # phase C voltage", "V", K::reading, P::ac_input,
     "kelvra_ac_phase_volts", "input=#,phase=c", "voltage", kAcPhaseC},
    {"ac.channel[].f", "AC input # frequency", "Hz", K::reading, P::ac_input,
     "kelvra_ac_frequency_hertz", "input=#", "frequency", kAcFrequency},
    {"ac.channel[].p40_41_count", "AC input # extra values", "", K::count, P::ac_input, nullptr, "",
     "", kNoOutlets},
    {"ac.channel[].p40_41[]", "AC input # extra value @", "", K::raw, P::ac_input, nullptr, "", "",
     kNoOutlets},
    {"ac.channel[].a_state", "AC input # phase A state", "", K::state, P::ac_input, nullptr, "", "",
     kNoOutlets},
    {"ac.channel[].b_state", "AC input # phase B state", "", K::state, P::ac_input, nullptr, "", "",
     kNoOutlets},
    {"ac.channel[].c_state", "AC input # phase C state", "", K::state, P::ac_input, nullptr, "", "",
     kNoOutlets},
    {"ac.channel[].f_state", "AC input # frequency state", "", K::state, P::ac_input, nullptr, "",
     "", kNoOutlets},
    {"ac.channel[].p40_44_count", "AC input # extra alarms", "", K::count, P::ac_input, nullptr, "",
     "", kNoOutlets},
    {"ac.channel[].p40_44[]", "AC input # extra alarm @", "", K::state, P::ac_input, nullptr, "",
     "", kNoOutlets},
    {"rc.group_value", "rectifier output voltage", "V", K::reading, P::shelf,
     "kelvra_rectifier_output_volts", "", "voltage", kShelfVoltage},
    {"rc.channel_count", "rectifier modules", "", K::count, P::shelf, nullptr, "", "", kNoOutlets},
    {"rc.channel[].value", "rectifier # output current", "A", K::reading, P::module,
     "kelvra_rectifier_current_amperes", "module=#", "current", kModuleCurrent},
    {"rc.channel[].p41_41_count", "rectifier # extra values", "", K::count, P::module, nullptr, "",
     "", kNoOutlets},
    {"rc.channel[].p41_41[]", "rectifier # extra value @", "", K::raw, P::module, nullptr, "", "",
     kNoOutlets},
    {"rc.channel[].switch_state[]", "rectifier # switch state @", "", K::state, P::module, nullptr,
     "", "", kNoOutlets},
    {"rc.channel[].p41_43_count", "rectifier # extra switch states", "", K::count, P::module,
     nullptr, "", "", kNoOutlets},
    {"rc.channel[].p41_43[]", "rectifier # extra switch state @", "", K::state, P::module, nullptr,
     "", "", kNoOutlets},
    {"rc.channel[].alarm_state", "rectifier # alarm state", "", K::state, P::module, nullptr, "",
     "", kNoOutlets},
    {"rc.channel[].p41_44_count", "rectifier # extra alarms", "", K::count, P::module, nullptr, "",
     "", kNoOutlets},
    {"rc.channel[].p41_44[]", "rectifier # extra alarm @", "", K::state, P::module, nullptr, "", "",
     kNoOutlets},
    {"dc.out_v", "output voltage", "V", K::reading, P::dc_unit, "kelvra_dc_voltage_volts", "unit=U",
     "voltage", kDcVoltage},
    {"dc.out_i", "output current", "A", K::reading, P::dc_unit, "kelvra_dc_current_amperes",
     "unit=U", "current", kDcCurrent},
    {"dc.m_count", "battery currents", "", K::count, P::dc_unit, nullptr, "", "", kNoOutlets},
    {"dc.m[]", "battery # current", "A", K::reading, P::dc_unit, "kelvra_battery_current_amperes",
     "unit=U,battery=#", "current", kBatteryCurrent},
    {"dc.n_count", "load values", "", K::count, P::dc_unit, nullptr, "", "", kNoOutlets},
    {"dc.n[]", "load value #", "", K::raw, P::dc_unit, nullptr, "", "", kNoOutlets},
    {"dc.p_count", "extra values", "", K::count, P::dc_unit, nullptr, "", "", kNoOutlets},
    {"dc.p[]", "extra value #", "", K::raw, P::dc_unit, nullptr, "", "", kNoOutlets},
    {"dc.out_v_state", "output voltage state", "", K::state, P::dc_unit, nullptr, "", "",
     kNoOutlets},
    {"dc.alert_m_count", "fuse alarms", "", K::count, P::dc_unit, nullptr, "", "", kNoOutlets},
    {"dc.alert_m[]", "fuse alarm #", "", K::state, P::dc_unit, nullptr, "", "", kNoOutlets},
    {"dc.alert_p_count", "extra alarms", "", K::count, P::dc_unit, nullptr, "", "", kNoOutlets},
    {"dc.alert_p[]", "extra alarm #", "", K::state, P::dc_unit, nullptr, "", "", kNoOutlets},
    {"round_time", "round time", "", K::identity, P::plant, nullptr, "", "", kNoOutlets},
};

const std::vector<MetricFamily> kFamilies = {
    {"kelvra_ac_phase_volts", "AC input phase voltage."},
    {"kelvra_ac_frequency_hertz", "AC input frequency."},
    {"kelvra_rectifier_output_volts", "Rectifier shelf output voltage."},
    {"kelvra_rectifier_current_amperes", "Rectifier module output current."},
    {"kelvra_dc_voltage_volts", "DC unit output voltage."},
    {"kelvra_dc_current_amperes", "DC unit output current."},
    {"kelvra_battery_current_amperes", "Battery current of a DC unit."},
};

}  // namespace

double default_deadband(const FieldSpec& spec) {
  switch (spec.outlets.sensor_type) {
    case SensorType::volts_ac:
      return 1.0;
    case SensorType::volts_dc:
      return 0.1;
    case SensorType::amperes:
      return 0.5;
    case SensorType::hertz:
      return 0.05;
    case SensorType::none:
      break;
  }
  return 0.0;
}

namespace {

const std::map<std::string, const FieldSpec*>& spec_by_pattern() {
  static const std::map<std::string, const FieldSpec*> index = [] {
    std::map<std::string, const FieldSpec*> built;
    for (const FieldSpec& spec : kSpecs) built.emplace(spec.pattern, &spec);
    return built;
  }();
  return index;
}

// Where one field stands: its row, element indices (from 0) and DC unit (1 or 2; 0 outside).
struct FieldPlace {
  const FieldSpec* spec = nullptr;
  std::vector<std::size_t> indices;
  int dc_unit = 0;
};

std::string name_of(const FieldPlace& place) {
  std::string name;
  std::size_t next = 0;
  for (const char* c = place.spec->pattern; *c != '\0'; ++c) {
    if (c[0] == '[' && c[1] == ']') {
      name += "[" + std::to_string(place.indices.at(next++)) + "]";
      ++c;
    } else {
      name += *c;
    }
  }
  if (place.dc_unit == 2) name.insert(2, "2");
  return name;
}

std::string label_of(const FieldPlace& place) {
  std::string label = place.dc_unit == 0 ? "" : place.dc_unit == 1 ? "DC " : "DC unit 2 ";
  for (const char* c = place.spec->label; *c != '\0'; ++c) {
    const std::size_t which = *c == '#' ? 0 : *c == '@' ? 1 : place.indices.size();
    label += which < place.indices.size() ? std::to_string(place.indices[which] + 1)
                                          : std::string(1, *c);
  }
  return label;
}

std::string part_of(const FieldPlace& place) {
  const auto numbered = [&](const char* stem) {
    return stem + std::to_string(place.indices.empty() ? 1 : place.indices[0] + 1);
  };
  switch (place.spec->part) {
    case PartKind::plant:
      return "plant";
    case PartKind::ac_unit:
      return "ac";
    case PartKind::ac_input:
      return numbered("ac");
    case PartKind::shelf:
      return "shelf";
    case PartKind::module:
      return numbered("module");
    case PartKind::dc_unit:
      return "dc" + std::to_string(place.dc_unit);
  }
  return "plant";
}

FieldPlace place_of(const std::string& name) {
  FieldPlace place;
  std::string pattern;
  for (std::size_t i = 0; i < name.size(); ++i) {
    pattern += name[i];
    if (name[i] != '[') continue;
    char* end = nullptr;
    place.indices.push_back(std::strtoul(name.c_str() + i + 1, &end, 10));
    i = static_cast<std::size_t>(end - name.c_str());
    if (i >= name.size() || name[i] != ']') return {};
    pattern += ']';
  }
  if (pattern.rfind("dc2.", 0) == 0) {
    pattern.erase(2, 1);
    place.dc_unit = 2;
  } else if (pattern.rfind("dc.", 0) == 0) {
    place.dc_unit = 1;
  }
  const auto found = spec_by_pattern().find(pattern);
  if (found == spec_by_pattern().end()) return {};
  place.spec = found->second;
  return place;
}

template <std::size_t N>
bool all_zero(const std::uint8_t (&bytes)[N]) {
  return std::all_of(std::begin(bytes), std::end(bytes), [](std::uint8_t b) { return b == 0; });
}

template <class Part>
bool never_decoded(const Part& part) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&part);
  return std::all_of(bytes, bytes + sizeof part, [](std::uint8_t b) { return b == 0; });
}

// Walks one record, naming each field by its row, indices and offset from the record's start.
class FieldWalker {
 public:
  FieldWalker(const kelvra_419_Data_t& record, const FieldVisitor& visit)
      : base_(reinterpret_cast<const std::uint8_t*>(&record)), visit_(visit) {}

  void set_dc_unit(int unit) { dc_unit_ = unit; }
  void set_outer(std::optional<std::size_t> index) { outer_ = index; }

  void number(const char* pattern, const f32le& field, std::optional<std::size_t> inner = {}) {
    emit(pattern, inner, &field, Json::Value(reading_number(field.get())));
  }
  void number(const char* pattern, const u32le& field) {
    emit(pattern, {}, &field, Json::Value(field.get()));
  }
  void number(const char* pattern, const std::uint8_t& field,
              std::optional<std::size_t> inner = {}) {
    emit(pattern, inner, &field, Json::Value(static_cast<Json::UInt>(field)));
  }
  void time(const char* pattern, const std::uint8_t (&field)[7]) {
    emit(pattern, {}, &field, Json::Value(time_text(field)));
  }
  // The first `count` elements of an array that takes `bytes` bytes of room (0 for an array the
  // layout gives no room).
  template <class Element>
  void numbers(const char* pattern, const Element* array, std::size_t bytes, std::size_t count) {
    for (std::size_t i = 0; i < std::min(count, bytes / sizeof(Element)); ++i) {
      number(pattern, array[i], i);
    }
  }

 private:
  void emit(const char* pattern, std::optional<std::size_t> inner, const void* field,
            Json::Value value) {
    FieldPlace place;
    place.spec = spec_by_pattern().at(pattern);
    place.dc_unit = dc_unit_;
    if (outer_) place.indices.push_back(*outer_);
    if (inner) place.indices.push_back(*inner);
    const auto offset = static_cast<std::size_t>(static_cast<const std::uint8_t*>(field) - base_);
    visit_(FieldValue{name_of(place), offset, std::move(value), label_of(place), place.spec->unit,
                      place.spec, part_of(place), place.indices, place.dc_unit});
  }

  const std::uint8_t* base_;
  const FieldVisitor& visit_;
  int dc_unit_ = 0;
  std::optional<std::size_t> outer_;
};

void walk_ac(FieldWalker& walk, const kelvra_419_Data_t::ac_t& ac, std::size_t inputs) {
  walk.numbers("ac.extra[]", ac.extra, sizeof ac.extra, 3);
  walk.number("ac.channel_count", ac.channel_count);
  walk.number("ac.airlock_count", ac.airlock_count);
  walk.numbers("ac.airlock[]", ac.airlock, sizeof ac.airlock, ac.airlock_count);
  walk.number("ac.p40_43_count", ac.p40_43_count);
  walk.numbers("ac.p40_43[]", ac.p40_43, sizeof ac.p40_43, ac.p40_43_count);
  walk.numbers("ac.extra_state[]", ac.extra_state, sizeof ac.extra_state, 3);
  for (std::size_t i = 0; i < inputs; ++i) {
    const kelvra_419_ac_channel& channel = ac.channel[i];
    walk.set_outer(i);
    walk.number("ac.channel[].a", channel.a);
    walk.number("ac.channel[].b", channel.b);
    walk.number("ac.channel[].c", channel.c);
    walk.number("ac.channel[].f", channel.f);
    walk.number("ac.channel[].p40_41_count", channel.p40_41_count);
    walk.numbers("ac.channel[].p40_41[]", channel.p40_41, sizeof channel.p40_41,
                 channel.p40_41_count);
    walk.number("ac.channel[].a_state", channel.a_state);
    walk.number("ac.channel[].b_state", channel.b_state);
    walk.number("ac.channel[].c_state", channel.c_state);
    walk.number("ac.channel[].f_state", channel.f_state);
    walk.number("ac.channel[].p40_44_count", channel.p40_44_count);
    walk.numbers("ac.channel[].p40_44[]", channel.p40_44, sizeof channel.p40_44,
                 channel.p40_44_count);
  }
  walk.set_outer({});
}

void walk_rc(FieldWalker& walk, const kelvra_419_Data_t::rc_t& rc, std::size_t modules) {
  walk.number("rc.group_value", rc.group_value);
  walk.number("rc.channel_count", rc.channel_count);
  for (std::size_t i = 0; i < modules; ++i) {
    const kelvra_419_rc_channel& channel = rc.channel[i];
    walk.set_outer(i);
    walk.number("rc.channel[].value", channel.value);
    walk.number("rc.channel[].p41_41_count", channel.p41_41_count);
    walk.numbers("rc.channel[].p41_41[]", channel.p41_41, sizeof channel.p41_41,
                 channel.p41_41_count);
    walk.numbers("rc.channel[].switch_state[]", channel.switch_state, sizeof channel.switch_state,
                 3);
    walk.number("rc.channel[].p41_43_count", channel.p41_43_count);
    walk.numbers("rc.channel[].p41_43[]", channel.p41_43, sizeof channel.p41_43,
                 channel.p41_43_count);
    walk.number("rc.channel[].alarm_state", channel.alarm_state);
    walk.number("rc.channel[].p41_44_count", channel.p41_44_count);
    walk.numbers("rc.channel[].p41_44[]", channel.p41_44, sizeof channel.p41_44,
                 channel.p41_44_count);
  }
  walk.set_outer({});
}

void walk_dc(FieldWalker& walk, int unit, const kelvra_419_dc& dc) {
  walk.set_dc_unit(unit);
  walk.number("dc.out_v", dc.out_v);
  walk.number("dc.out_i", dc.out_i);
  walk.number("dc.m_count", dc.m_count);
  walk.numbers("dc.m[]", dc.m, sizeof dc.m, dc.m_count);
  walk.number("dc.n_count", dc.n_count);
  walk.numbers("dc.n[]", dc.n, sizeof dc.n, dc.n_count);
  walk.number("dc.p_count", dc.p_count);
  walk.numbers("dc.p[]", dc.p, sizeof dc.p, dc.p_count);
  walk.number("dc.out_v_state", dc.out_v_state);
  walk.number("dc.alert_m_count", dc.alert_m_count);
  walk.numbers("dc.alert_m[]", dc.alert_m, sizeof dc.alert_m, dc.alert_m_count);
  walk.number("dc.alert_p_count", dc.alert_p_count);
  walk.numbers("dc.alert_p[]", dc.alert_p, sizeof dc.alert_p, dc.alert_p_count);
  walk.set_dc_unit(0);
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

const char* field_kind_name(FieldKind kind) {
  switch (kind) {
    case FieldKind::identity:
      return "identity";
    case FieldKind::reading:
      return "reading";
    case FieldKind::state:
      return "state";
    case FieldKind::count:
      return "count";
    case FieldKind::raw:
      return "raw";
  }
  return "raw";
}

const char* part_kind_name(PartKind kind) {
  switch (kind) {
    case PartKind::plant:
      return "plant";
    case PartKind::ac_unit:
      return "ac_unit";
    case PartKind::ac_input:
      return "ac_input";
    case PartKind::shelf:
      return "shelf";
    case PartKind::module:
      return "module";
    case PartKind::dc_unit:
      return "dc_unit";
  }
  return "plant";
}

const std::vector<FieldSpec>& field_specs() {
  return kSpecs;
}

const std::vector<MetricFamily>& metric_families() {
  return kFamilies;
}

std::optional<std::uint16_t> modbus_address(const FieldValue& field) {
  const FieldOutlets& outlets = field.spec->outlets;
  if (outlets.modbus_register == 0) return std::nullopt;
  std::size_t address = outlets.modbus_register;
  if (outlets.modbus_stride != 0 && !field.indices.empty())
    address += outlets.modbus_stride * field.indices.front();
  if (field.dc_unit == 2) address += kModbusDcUnit2Offset;
  return static_cast<std::uint16_t>(address);
}

std::vector<std::pair<std::string, std::string>> metric_labels(const FieldValue& field) {
  std::vector<std::pair<std::string, std::string>> labels;
  if (field.spec->metric == nullptr) return labels;
  const FieldPlace place = place_of(field.name);
  std::string list = field.spec->metric_labels;
  while (!list.empty()) {
    const std::size_t comma = std::min(list.find(','), list.size());
    const std::string pair = list.substr(0, comma);
    list.erase(0, std::min(comma + 1, list.size()));
    const std::size_t equals = pair.find('=');
    std::string value = pair.substr(equals + 1);
    if (value == "#") value = std::to_string(place.indices.at(0) + 1);
    if (value == "U") value = std::to_string(place.dc_unit);
    labels.emplace_back(pair.substr(0, equals), value);
  }
  return labels;
}

FieldDescription describe_field(const std::string& name) {
  const FieldPlace place = place_of(name);
  if (place.spec == nullptr) return {name, "", nullptr};
  return {label_of(place), place.spec->unit, place.spec};
}

bool is_field_name(const std::string& name) {
  return place_of(name).spec != nullptr;
}

PartsPresent parts_present(const kelvra_419_Data_t& record) {
  PartsPresent parts{};
  parts.ac_unit = !never_decoded(record.ac);
  parts.ac_inputs = parts.ac_unit ? std::min<std::size_t>(record.ac.channel_count,
                                                          kelvra_419_Data_t::AC_CHANNEL_ROOM)
                                  : 0;
  parts.shelf = !never_decoded(record.rc);
  parts.modules =
      std::min<std::size_t>(record.rc.channel_count, kelvra_419_Data_t::RC_CHANNEL_ROOM);
  parts.dc_unit[0] = !never_decoded(record.dc);
  parts.dc_unit[1] = !never_decoded(record.dc2);
  return parts;
}

void for_each_field(const kelvra_419_Data_t& record, const FieldVisitor& visit) {
  const PartsPresent parts = parts_present(record);
  FieldWalker walk(record, visit);
  walk.number("data_id", record.data_id);
  if (parts.ac_unit) walk_ac(walk, record.ac, parts.ac_inputs);
  if (parts.shelf) walk_rc(walk, record.rc, parts.modules);
  if (parts.dc_unit[0]) walk_dc(walk, 1, record.dc);
  walk.time("round_time", record.round_time);
  if (parts.dc_unit[1]) walk_dc(walk, 2, record.dc2);
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

std::optional<kelvra_419_Data_t> from_bytes(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size != kRecordSize) return std::nullopt;
  kelvra_419_Data_t record;
  std::memcpy(&record, data, kRecordSize);
  return record;
}

std::string time_text(const std::uint8_t (&stamp)[7]) {
  if (all_zero(stamp)) return "unset";
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u",
                unsigned(stamp[0]) | (unsigned(stamp[1]) << 8), stamp[2], stamp[3], stamp[4],
                stamp[5], stamp[6]);
  return text;
}

std::optional<std::int64_t> time_ms(const std::uint8_t (&stamp)[7]) {
  if (all_zero(stamp)) return std::nullopt;
  std::tm local{};
  local.tm_year = static_cast<int>(unsigned(stamp[0]) | (unsigned(stamp[1]) << 8)) - 1900;
  local.tm_mon = stamp[2] - 1;
  local.tm_mday = stamp[3];
  local.tm_hour = stamp[4];
  local.tm_min = stamp[5];
  local.tm_sec = stamp[6];
  local.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&local);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(seconds) * 1000;
}

std::string float_text(float value) {
  char text[32];
  // Seven digits as a rule; eight or nine where seven do not read back as the same float.
  for (int digits = 7; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
    if (std::strtof(text, nullptr) == value || !std::isfinite(value)) return text;
  }
  return text;
}

double reading_number(float value) {
  if (!std::isfinite(value)) return static_cast<double>(value);
  return std::strtod(float_text(value).c_str(), nullptr);
}

}  // namespace kelvra::record
