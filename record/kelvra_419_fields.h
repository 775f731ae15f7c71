// The field table of the 763-byte device record: the one place that knows a field (its name,
// English label, unit, kind, the part of the plant it belongs to, whether it is a series, its
// metric family and labels, its Home Assistant device class). Every output of the tools reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "record/kelvra_419_data.h"

namespace kelvra::record {

constexpr std::size_t kRecordSize = sizeof(kelvra_419_Data_t);

// What a field holds: a measured reading (with a base unit, kept as a series), a state or alarm
// byte, a count as received, a value the equipment sends without a known meaning, or the
// record's own identity (data id, round time).
enum class FieldKind { identity, reading, state, count, raw };

// The part of the plant a field belongs to. A part that is not fitted has no fields at all.
enum class PartKind { plant, ac_unit, ac_input, shelf, module, dc_unit };

const char* field_kind_name(FieldKind kind);
const char* part_kind_name(PartKind kind);

// The sensor kind an SNMP manager is told (entPhySensorType values of the sensor MIB).
enum class SensorType : std::uint8_t {
  none = 0,
  volts_ac = 3,
  volts_dc = 4,
  amperes = 5,
  hertz = 7
};

// How the site-facing servers publish a reading. Modbus addresses are input-register addresses,
// two registers (float32, high word first) per value: `modbus_register` is the first instance's,
// each further instance of the first index `modbus_stride` registers on, and DC unit 2 stands
// kModbusDcUnit2Offset registers after DC unit 1. They never move between versions.
struct FieldOutlets {
  SensorType sensor_type = SensorType::none;
  int sensor_precision = 0;  // decimal places an SNMP value carries (value × 10^precision)
  std::uint16_t modbus_register = 0;  // 0: not on the Modbus map
  std::uint16_t modbus_stride = 0;
  const char* ups_variable = "";  // network UPS protocol name for AC input 1, DC unit 1, battery 1
};
constexpr std::uint16_t kModbusDcUnit2Offset = 50;

// One row of the table. Patterns write element indices as "[]"; DC unit rows are written for
// "dc." and stand for "dc2." as well. In labels "#" stands for the first index counted from 1
// and "@" for the second; DC labels are prefixed "DC " or "DC unit 2 ".
struct FieldSpec {
  const char* pattern;
  const char* label;
  const char* unit;  // base unit: "V", "A", "Hz"; "" for anything but readings
  FieldKind kind;
  PartKind part;
  const char* metric;         // Prometheus family of a reading; nullptr for none
  const char* metric_labels;  // "input=#,phase=a": "#" first index + 1, "U" the DC unit number
  const char* device_class;   // Home Assistant sensor device class of a reading
  FieldOutlets outlets;       // set for readings only
};

// Every row, in record order.
const std::vector<FieldSpec>& field_specs();

// The least change of a reading, in its base unit, worth reporting on its own: wider than the
// noise of a plant at rest (1 V AC, 0.1 V DC, 0.5 A, 0.05 Hz); 0 for a row that is not a reading.
double default_deadband(const FieldSpec& spec);

// One Prometheus family the readings are published under.
struct MetricFamily {
  const char* name;
  const char* help;
};
const std::vector<MetricFamily>& metric_families();

// One field of one record. `value` is a number (readings as the shortest decimal that reads back
// as the same float; NaN and infinities as they are) or, for the round time, a text.
struct FieldValue {
  std::string name;  // dotted, with element indices: "ac.channel[1].f", "dc2.m[0]"
  std::size_t offset;
  Json::Value value;
  std::string label;  // "AC input 2 frequency"
  std::string unit;
  const FieldSpec* spec;
  std::string part;  // the part instance: "plant", "ac", "ac1", "shelf", "module3", "dc1", "dc2"
  std::vector<std::size_t> indices;  // element indices from 0, as in `name`
  int dc_unit = 0;                   // 1 or 2 for a DC unit's field; 0 elsewhere
  bool series() const { return spec->kind == FieldKind::reading; }
};

// The metric labels of a reading beyond the device ({"input","2"},{"phase","a"}); empty for a
// field without a metric.
std::vector<std::pair<std::string, std::string>> metric_labels(const FieldValue& field);

// The input-register address of a reading's first register; nullopt for a field off the map.
std::optional<std::uint16_t> modbus_address(const FieldValue& field);

struct FieldDescription {
  std::string label;
  std::string unit;
  const FieldSpec* spec = nullptr;  // nullptr for a name the table does not know
};

// The label, unit and row of a field named as for_each_field names it; an unknown name is its
// own label.
FieldDescription describe_field(const std::string& name);
// True for a name for_each_field can give (element indices not checked against the room).
bool is_field_name(const std::string& name);

// Which parts a record holds. AC inputs and rectifier modules are fitted up to the counts the
// equipment sent (bounded by the room); the AC unit, the shelf and each DC unit are fitted once
// the equipment has sent anything for them: a unit whose bytes are all zero was never decoded.
struct PartsPresent {
  bool ac_unit;
  std::size_t ac_inputs;
  bool shelf;
  std::size_t modules;
  bool dc_unit[2];
};
PartsPresent parts_present(const kelvra_419_Data_t& record);

using FieldVisitor = std::function<void(const FieldValue&)>;

// Visits every field of the parts the record holds, in record order: fields of a part that is
// not fitted are not visited (never shown as 0), and unused room of arrays is not listed.
void for_each_field(const kelvra_419_Data_t& record, const FieldVisitor& visit);

// The record as nested JSON objects and arrays named after the fields; NaN and infinities null.
Json::Value to_json(const kelvra_419_Data_t& record);

// The record from exactly kRecordSize bytes; nullopt for any other size.
std::optional<kelvra_419_Data_t> from_bytes(const std::uint8_t* data, std::size_t size);

// The host time value as "YYYY-MM-DD HH:MM:SS"; "unset" for seven zero bytes.
std::string time_text(const std::uint8_t (&stamp)[7]);
// UTC milliseconds of a host time value, which is local time; nullopt when it is unset.
std::optional<std::int64_t> time_ms(const std::uint8_t (&stamp)[7]);

// A float as the shortest text that reads back as the same float ("53.5", "230", "0", "nan").
std::string float_text(float value);
// The same shortest decimal as a double, so that every JSON writer prints it as the text above.
double reading_number(float value);

}  // namespace kelvra::record
