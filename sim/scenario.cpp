#include "sim/scenario.h"

#include <json/json.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include "hostkit/json_input.h"

namespace kelvra::sim {
namespace {

constexpr kelvra::hostkit::JsonLimits kScenarioLimits{1024 * 1024, 32};

using Target = std::variant<std::monostate, Reading*, float*, std::uint8_t*>;
enum class ValueKind { kReading, kFloat, kByte };

struct FieldSpec {
  const char* name;
  int elements;       // 0: plain name; n: numbered name1 .. name<n>
  int fixed_element;  // element a plain name stands for
  ValueKind kind;
  Target (*locate)(Equipment&, std::size_t unit, int element);
};

struct UnitSpec {
  UnitKind kind;
  const char* prefix;
  bool indexed;
  int max_units;
  std::size_t (*present)(const Equipment&);
  std::vector<FieldSpec> fields;
};

template <typename Container>
Target element_of(Container& values, int element) {
  const auto i = static_cast<std::size_t>(element);
  if (i >= values.size()) return {};
  return &values[i];
}

std::vector<FieldSpec> dc_fields() {
  std::vector<FieldSpec> fields = {
      {"voltage", 0, 0, ValueKind::kFloat,
       [](Equipment& e, std::size_t u, int) -> Target { return &e.dc[u].voltage; }},
      {"current", 0, 0, ValueKind::kFloat,
       [](Equipment& e, std::size_t u, int) -> Target { return &e.dc[u].current; }},
      {"battery_current", 3, 0, ValueKind::kFloat,
       [](Equipment& e, std::size_t u, int el) { return element_of(e.dc[u].float_group, el); }},
      {"user", 6, 0, ValueKind::kReading,
       [](Equipment& e, std::size_t u, int el) { return element_of(e.dc[u].user_floats, el); }},
      {"voltage_state", 0, 0, ValueKind::kByte,
       [](Equipment& e, std::size_t u, int) -> Target { return &e.dc[u].voltage_state; }},
      {"group_alarm", 20, 0, ValueKind::kByte,
       [](Equipment& e, std::size_t u, int el) { return element_of(e.dc[u].alarm_group, el); }},
  };
  // The user-defined alarm bytes, in their order on the line.
  const char* const alarm_names[kDcUserAlarmCount] = {
      "lvd1",         "lvd2",         "fuse1", "battery1_low", "battery1_hot", "fuse2",
      "battery2_low", "battery2_hot", "fuse3", "battery3_low", "battery3_hot"};
  for (int i = 0; i < static_cast<int>(kDcUserAlarmCount); ++i) {
    fields.push_back(
        {alarm_names[i], 0, i, ValueKind::kByte,
         [](Equipment& e, std::size_t u, int el) { return element_of(e.dc[u].user_alarms, el); }});
  }
  return fields;
}

const std::vector<UnitSpec>& unit_specs() {
  static const std::vector<UnitSpec> specs = {
      {UnitKind::kAcUnit,
       "ac",
       false,
       1,
       [](const Equipment&) -> std::size_t { return 1; },
       {
           {"extra", 3, 0, ValueKind::kReading,
            [](Equipment& e, std::size_t, int el) { return element_of(e.ac.extra, el); }},
           {"switch", 4, 0, ValueKind::kByte,
            [](Equipment& e, std::size_t, int el) { return element_of(e.ac.user_switches, el); }},
           {"extra_state", 3, 0, ValueKind::kByte,
            [](Equipment& e, std::size_t, int el) { return element_of(e.ac.extra_states, el); }},
       }},
      {UnitKind::kAcInput,
       "ac",
       true,
       2,
       [](const Equipment& e) { return e.ac.inputs.size(); },
       {
           {"phase_a", 0, 0, ValueKind::kReading,
            [](Equipment& e, std::size_t u, int) -> Target { return &e.ac.inputs[u].phase_a; }},
           {"phase_b", 0, 0, ValueKind::kReading,
            [](Equipment& e, std::size_t u, int) -> Target { return &e.ac.inputs[u].phase_b; }},
           {"phase_c", 0, 0, ValueKind::kReading,
            [](Equipment& e, std::size_t u, int) -> Target { return &e.ac.inputs[u].phase_c; }},
           {"frequency", 0, 0, ValueKind::kReading,
            [](Equipment& e, std::size_t u, int) -> Target { return &e.ac.inputs[u].frequency; }},
           {"state", 4, 0, ValueKind::kByte,
            [](Equipment& e, std::size_t u, int el) {
              return element_of(e.ac.inputs[u].states, el);
            }},
           {"breaker_alarm", 0, 0, ValueKind::kByte,
            [](Equipment& e, std::size_t u, int el) {
              return element_of(e.ac.inputs[u].user_alarms, el);
            }},
           {"mains_alarm", 0, 1, ValueKind::kByte,
            [](Equipment& e, std::size_t u, int el) {
              return element_of(e.ac.inputs[u].user_alarms, el);
            }},
           {"surge_alarm", 0, 2, ValueKind::kByte,
            [](Equipment& e, std::size_t u, int el) {
              return element_of(e.ac.inputs[u].user_alarms, el);
            }},
       }},
      {UnitKind::kShelf,
       "rect",
       false,
       1,
       [](const Equipment&) -> std::size_t { return 1; },
       {
           {"group_value", 0, 0, ValueKind::kFloat,
            [](Equipment& e, std::size_t, int) -> Target { return &e.rectifiers.group_value; }},
       }},
      {UnitKind::kModule,
       "rect",
       true,
       255,
       [](const Equipment& e) { return e.rectifiers.modules.size(); },
       {
           {"value", 0, 0, ValueKind::kFloat,
            [](Equipment& e, std::size_t u, int) -> Target {
              return &e.rectifiers.modules[u].value;
            }},
           {"switch", 3, 0, ValueKind::kByte,
            [](Equipment& e, std::size_t u, int el) {
              return element_of(e.rectifiers.modules[u].switch_states, el);
            }},
           {"status", 0, 0, ValueKind::kByte,
            [](Equipment& e, std::size_t u, int el) {
              return element_of(e.rectifiers.modules[u].user_status, el);
            }},
           {"alarm", 0, 0, ValueKind::kByte,
            [](Equipment& e, std::size_t u, int) -> Target {
              return &e.rectifiers.modules[u].alarm_state;
            }},
       }},
      {UnitKind::kDcUnit, "dc", true, 2, [](const Equipment& e) { return e.dc.size(); },
       dc_fields()},
  };
  return specs;
}

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// Reads "123" as 123; nullopt when the text is not a decimal number in [1, max].
std::optional<int> parse_index(const std::string& digits, int max) {
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const int value = std::stoi(digits);
  if (value < 1 || value > max) return std::nullopt;
  return value;
}

// The 0-based unit a token's number names: 0 for a unit without number, -1 for "*"; throws
// ScenarioError for a number outside 1 to the unit's maximum.
int unit_index_of(const UnitSpec& unit, const std::string& index_text,
                  const std::string& unit_token, const std::string& where) {
  if (!unit.indexed) return 0;
  if (index_text == "*") return -1;
  if (auto index = parse_index(index_text, unit.max_units)) return *index - 1;
  const std::string prefix = unit.prefix;
  throw ScenarioError(where + ": unit " + quoted(unit_token) + " must be " + prefix + "1 to " +
                      prefix + std::to_string(unit.max_units) + " or " + prefix + "*");
}

// The row of the unit's field table and the 0-based element `field_token` names, or nullopt.
std::optional<std::pair<std::size_t, int>> field_of(const UnitSpec& unit,
                                                    const std::string& field_token) {
  for (std::size_t f = 0; f < unit.fields.size(); ++f) {
    const FieldSpec& field = unit.fields[f];
    const std::string name = field.name;
    if (field.elements == 0 && field_token == name) return std::make_pair(f, field.fixed_element);
    if (field.elements > 0 && field_token.compare(0, name.size(), name) == 0) {
      if (auto element = parse_index(field_token.substr(name.size()), field.elements)) {
        return std::make_pair(f, *element - 1);
      }
    }
  }
  return std::nullopt;
}

FieldPath parse_path(const std::string& text, const std::string& context) {
  const std::string where = context + "." + text;
  const auto dot = text.find('.');
  if (dot == std::string::npos) throw ScenarioError(where + ": expected UNIT.FIELD");
  const std::string unit_token = text.substr(0, dot);
  const std::string field_token = text.substr(dot + 1);
  const auto letters_end = unit_token.find_first_not_of("abcdefghijklmnopqrstuvwxyz");
  const std::string prefix = unit_token.substr(0, letters_end);
  const std::string index_text =
      letters_end == std::string::npos ? std::string() : unit_token.substr(letters_end);

  const auto& specs = unit_specs();
  const auto unit = std::find_if(specs.begin(), specs.end(), [&](const UnitSpec& spec) {
    return prefix == spec.prefix && spec.indexed != index_text.empty();
  });
  if (unit == specs.end()) {
    throw ScenarioError(where + ": unknown unit " + quoted(unit_token) +
                        " (ac, acN, rect, rectN, dcN; N may be *)");
  }
  const int unit_index = unit_index_of(*unit, index_text, unit_token, where);
  const auto field = field_of(*unit, field_token);
  if (!field) {
    throw ScenarioError(where + ": unknown field " + quoted(field_token) + " of unit " +
                        quoted(unit_token) + " (see --help for the field names)");
  }
  return {text, unit->kind, unit_index, field->first, field->second};
}

const UnitSpec& spec_of(UnitKind kind) {
  for (const UnitSpec& unit : unit_specs()) {
    if (unit.kind == kind) return unit;
  }
  throw std::logic_error("unit kind without a field table");
}

FieldValue parse_value(const Json::Value& value, ValueKind kind, const std::string& where) {
  if (kind == ValueKind::kReading && value.isNull()) return std::nullopt;
  if (kind == ValueKind::kByte) {
    if (value.isString()) {
      const std::string text = value.asString();
      std::size_t used = 0;
      int parsed = -1;
      try {
        parsed = std::stoi(text, &used, 0);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used == text.size() && parsed >= 0 && parsed <= 0xFF) return static_cast<float>(parsed);
    } else if (value.isInt64() && value.asInt64() >= 0 && value.asInt64() <= 0xFF) {
      return static_cast<float>(value.asInt());
    }
    throw ScenarioError(where + ": expected a byte, 0 to 255 or a text such as \"0xE0\"");
  }
  if (!value.isNumeric() || std::fabs(value.asDouble()) > FLT_MAX) {
    throw ScenarioError(where + (kind == ValueKind::kReading ? ": expected a number or null"
                                                             : ": expected a number"));
  }
  return value.asFloat();
}

std::vector<FieldSetting> parse_settings(const Json::Value& object, const std::string& context) {
  if (!object.isObject()) throw ScenarioError(context + ": expected an object of FIELD: value");
  std::vector<FieldSetting> settings;
  for (const std::string& key : object.getMemberNames()) {
    FieldPath path = parse_path(key, context);
    const FieldSpec& field = spec_of(path.unit).fields[path.field];
    FieldValue value = parse_value(object[key], field.kind, context + "." + key);
    settings.push_back({std::move(path), value});
  }
  return settings;
}

void reject_unknown_members(const Json::Value& object, const std::vector<std::string>& known,
                            const std::string& context) {
  for (const std::string& key : object.getMemberNames()) {
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      std::string list;
      for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
      throw ScenarioError(context + key + ": unknown field (expected one of " + list + ")");
    }
  }
}

int parse_count(const Json::Value& object, const char* key, int min, int max, int fallback) {
  const Json::Value& value = object[key];
  if (value.isNull()) return fallback;
  if (!value.isInt64() || value.asInt64() < min || value.asInt64() > max) {
    throw ScenarioError(std::string("equipment.") + key + ": expected a whole number from " +
                        std::to_string(min) + " to " + std::to_string(max));
  }
  return value.asInt();
}

void parse_equipment(const Json::Value& equipment, Scenario& scenario) {
  if (!equipment.isObject()) throw ScenarioError("equipment: expected an object");
  reject_unknown_members(equipment, {"ac_inputs", "rectifiers", "dc_units", "dc_format"},
                         "equipment.");
  EquipmentShape& shape = scenario.shape;
  shape.ac_inputs = parse_count(equipment, "ac_inputs", 1, 2, shape.ac_inputs);
  shape.rectifiers = parse_count(equipment, "rectifiers", 0, 255, shape.rectifiers);
  shape.dc_units = parse_count(equipment, "dc_units", 1, 2, shape.dc_units);
  if (equipment.isMember("dc_format")) {
    scenario.dc_format = static_cast<DcFormat>(parse_count(equipment, "dc_format", 1, 2, 2));
  }
}

ScenarioEvent parse_event(const Json::Value& event, const std::string& context) {
  if (!event.isObject()) throw ScenarioError(context + ": expected an object");
  reject_unknown_members(event, {"at", "note", "set"}, context + ".");
  const Json::Value& at = event["at"];
  if (!at.isNumeric() || at.asDouble() < 0) {
    throw ScenarioError(context + ".at: expected a time in seconds, 0 or more");
  }
  if (!event["note"].isNull() && !event["note"].isString()) {
    throw ScenarioError(context + ".note: expected a text");
  }
  if (event["set"].isNull()) throw ScenarioError(context + ".set: missing");
  return {at.asDouble(), event["note"].asString(), parse_settings(event["set"], context + ".set")};
}

void parse_faults(const Json::Value& faults, Scenario& scenario) {
  if (!faults.isObject()) throw ScenarioError("faults: expected an object of KIND: rate");
  for (const std::string& key : faults.getMemberNames()) {
    const auto kind = parse_fault_name(key);
    if (!kind) throw ScenarioError("faults." + key + ": unknown fault (" + fault_names() + ")");
    const Json::Value& rate = faults[key];
    if (!rate.isNumeric() || rate.asDouble() < 0 || rate.asDouble() > 1) {
      throw ScenarioError("faults." + key + ": expected a rate from 0 to 1");
    }
    scenario.faults.emplace_back(*kind, rate.asDouble());
  }
}

// Mains lost on every input and back 20 s later; rectifiers stop, batteries carry the load.
constexpr const char* kMainsFailure = R"({
  "equipment": {"ac_inputs": 2, "rectifiers": 6, "dc_units": 1},
  "timeline": [
    {"at": 10, "note": "mains lost on every AC input",
     "set": {"ac*.phase_a": 0, "ac*.phase_b": 0, "ac*.phase_c": 0, "ac*.frequency": 0,
             "ac*.mains_alarm": "0xE0", "rect*.value": 0, "rect*.alarm": 1,
             "dc*.voltage": 49.5, "dc*.battery_current1": -40}},
    {"at": 30, "note": "mains back on every AC input",
     "set": {"ac*.phase_a": 230, "ac*.phase_b": 230, "ac*.phase_c": 230, "ac*.frequency": 50,
             "ac*.mains_alarm": 0, "rect*.value": 10, "rect*.alarm": 0,
             "dc*.voltage": 53.5, "dc*.battery_current1": 0}}
  ]
})";

constexpr const char* kBatteryLow = R"({
  "timeline": [
    {"at": 10, "note": "battery 1 voltage low",
     "set": {"dc1.voltage": 46.5, "dc1.battery1_low": 1}},
    {"at": 40, "note": "battery 1 voltage normal",
     "set": {"dc1.voltage": 53.5, "dc1.battery1_low": 0}}
  ]
})";

// Mains lost on every input, the batteries discharge through the low level, mains back at 40 s.
constexpr const char* kDischarge = R"({
  "equipment": {"ac_inputs": 2, "rectifiers": 6, "dc_units": 1},
  "timeline": [
    {"at": 2, "note": "mains lost on every AC input",
     "set": {"ac*.phase_a": 0, "ac*.phase_b": 0, "ac*.phase_c": 0, "ac*.frequency": 0,
             "ac*.mains_alarm": "0xE0", "rect*.value": 0, "rect*.alarm": 1,
             "dc*.voltage": 49.5, "dc*.battery_current1": -40}},
    {"at": 6, "note": "battery 1 voltage low",
     "set": {"dc1.voltage": 46.5, "dc1.battery1_low": 1}},
    {"at": 40, "note": "mains back on every AC input",
     "set": {"ac*.phase_a": 230, "ac*.phase_b": 230, "ac*.phase_c": 230, "ac*.frequency": 50,
             "ac*.mains_alarm": 0, "rect*.value": 10, "rect*.alarm": 0,
             "dc*.voltage": 53.5, "dc*.battery_current1": 0, "dc1.battery1_low": 0}}
  ]
})";

constexpr const char* kLowVoltageDisconnect = R"({
  "timeline": [
    {"at": 10, "note": "battery discharging, voltage low",
     "set": {"dc1.voltage": 45.0, "dc1.battery1_low": 1}},
    {"at": 20, "note": "first-level low-voltage disconnect operates",
     "set": {"dc1.voltage": 43.5, "dc1.current": 15, "dc1.lvd1": "0xF0"}},
    {"at": 45, "note": "voltage restored, disconnect closed",
     "set": {"dc1.voltage": 53.5, "dc1.current": 40, "dc1.lvd1": 0, "dc1.battery1_low": 0}}
  ]
})";

constexpr const char* kFuse = R"({
  "timeline": [
    {"at": 10, "note": "load fuse 1 blown", "set": {"dc1.fuse1": 3, "dc1.current": 32}},
    {"at": 25, "note": "load fuse 2 blown", "set": {"dc1.fuse2": 3, "dc1.current": 25}},
    {"at": 45, "note": "fuses replaced",
     "set": {"dc1.fuse1": 0, "dc1.fuse2": 0, "dc1.current": 40}}
  ]
})";

struct Builtin {
  const char* name;
  const char* json;
};

const Builtin kBuiltins[] = {
    {"normal", R"({"timeline": []})"}, {"mains-failure", kMainsFailure},
    {"battery-low", kBatteryLow},      {"discharge", kDischarge},
    {"lvd", kLowVoltageDisconnect},    {"fuse", kFuse},
};

}  // namespace

namespace {

Scenario scenario_from_json(const Json::Value& root, const std::string& name) {
  if (!root.isObject()) throw ScenarioError("top level: expected an object");
  reject_unknown_members(root, {"description", "equipment", "initial", "timeline", "faults"}, "");
  Scenario scenario;
  scenario.name = name;
  if (root.isMember("equipment")) parse_equipment(root["equipment"], scenario);
  if (root.isMember("initial")) scenario.initial = parse_settings(root["initial"], "initial");
  if (root.isMember("timeline")) {
    const Json::Value& timeline = root["timeline"];
    if (!timeline.isArray()) throw ScenarioError("timeline: expected an array of events");
    for (Json::ArrayIndex i = 0; i < timeline.size(); ++i) {
      scenario.timeline.push_back(parse_event(timeline[i], "timeline[" + std::to_string(i) + "]"));
    }
    std::stable_sort(
        scenario.timeline.begin(), scenario.timeline.end(),
        [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.at_seconds < b.at_seconds; });
  }
  if (root.isMember("faults")) parse_faults(root["faults"], scenario);
  return scenario;
}

}  // namespace

Scenario parse_scenario(const std::string& json_text, const std::string& name) {
  Json::Value root;
  try {
    root = kelvra::hostkit::parse_json(json_text, kScenarioLimits);
  } catch (const kelvra::hostkit::InputError& error) {
    throw ScenarioError(error.what());
  }
  return scenario_from_json(root, name);
}

Scenario load_scenario_file(const std::string& file_path) {
  Json::Value root;
  try {
    root = kelvra::hostkit::read_json_file(file_path, kScenarioLimits, "the scenario file");
  } catch (const kelvra::hostkit::InputError& error) {
    throw ScenarioError(error.what());
  }
  try {
    return scenario_from_json(root, file_path);
  } catch (const ScenarioError& error) {
    throw ScenarioError(file_path + ": " + error.what());
  }
}

std::optional<Scenario> builtin_scenario(const std::string& name) {
  for (const Builtin& builtin : kBuiltins) {
    if (name == builtin.name) return parse_scenario(builtin.json, name);
  }
  return std::nullopt;
}

std::vector<std::string> builtin_scenario_names() {
  std::vector<std::string> names;
  for (const Builtin& builtin : kBuiltins) names.emplace_back(builtin.name);
  return names;
}

std::string field_reference() {
  std::string text;
  for (const UnitSpec& unit : unit_specs()) {
    text += "  " + std::string(unit.prefix) + (unit.indexed ? "N" : "") + ":";
    for (const FieldSpec& field : unit.fields) {
      text += " " + std::string(field.name) +
              (field.elements > 0 ? "1.." + std::to_string(field.elements) : "");
    }
    text += "\n";
  }
  return text;
}

int apply(const FieldSetting& setting, Equipment& equipment) {
  const UnitSpec& unit = spec_of(setting.path.unit);
  const FieldSpec& field = unit.fields[setting.path.field];
  const std::size_t present = unit.present(equipment);
  std::size_t first = 0;
  std::size_t last = present;
  if (setting.path.unit_index >= 0) {
    first = static_cast<std::size_t>(setting.path.unit_index);
    last = std::min(present, first + 1);
  }
  int written = 0;
  for (std::size_t u = first; u < last; ++u) {
    const Target target = field.locate(equipment, u, setting.path.element);
    if (auto* reading = std::get_if<Reading*>(&target)) {
      **reading = setting.value;
    } else if (auto* number = std::get_if<float*>(&target)) {
      **number = setting.value.value_or(0.0f);
    } else if (auto* byte = std::get_if<std::uint8_t*>(&target)) {
      **byte = static_cast<std::uint8_t>(setting.value.value_or(0.0f));
    } else {
      continue;
    }
    ++written;
  }
  return written;
}

std::vector<ScenarioEvent> ScenarioPlayer::take_due(double elapsed_seconds) {
  std::vector<ScenarioEvent> due;
  while (next_ < timeline_.size() && timeline_[next_].at_seconds <= elapsed_seconds) {
    due.push_back(timeline_[next_++]);
  }
  return due;
}

}  // namespace kelvra::sim
