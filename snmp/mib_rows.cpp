#include "snmp/mib_rows.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "events/alarm_identity.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::snmp {

const Oid kEntPhysicalTable = {1, 3, 6, 1, 2, 1, 47, 1, 1, 1};
const Oid kEntPhySensorTable = {1, 3, 6, 1, 2, 1, 99, 1, 1};

namespace {

constexpr std::uint32_t kIndicesPerDevice = 1000;
constexpr double kSensorValueBound = 1e9;  // entPhySensorValue's range

// The entries of one device's entity tree, from the part names the field table gives.
class DeviceEntities {
 public:
  DeviceEntities(std::uint32_t device_number, const std::string& device, MibRows& rows)
      : base_(device_number * kIndicesPerDevice), device_(device), rows_(rows) {
    parts_["plant"] = add("48 V DC power system", device, PhysicalClass::chassis, 0);
  }

  std::uint32_t chassis() const { return base_; }

  // Every fitted part, the AC inputs inside the AC unit and the modules inside the shelf.
  void add_parts(const record::PartsPresent& present) {
    if (present.ac_unit) parts_["ac"] = add_part("AC distribution", PhysicalClass::module, base_);
    const std::uint32_t ac = present.ac_unit ? parts_["ac"] : base_;
    for (std::size_t i = 1; i <= present.ac_inputs; ++i) {
      parts_["ac" + std::to_string(i)] =
          add_part("AC input " + std::to_string(i), PhysicalClass::module, ac);
    }
    if (present.shelf) parts_["shelf"] = add_part("rectifier shelf", PhysicalClass::module, base_);
    const std::uint32_t shelf = present.shelf ? parts_["shelf"] : base_;
    for (std::size_t i = 1; i <= present.modules; ++i) {
      parts_["module" + std::to_string(i)] =
          add_part("rectifier " + std::to_string(i), PhysicalClass::power_supply, shelf);
    }
    for (int unit = 1; unit <= 2; ++unit) {
      if (!present.dc_unit[unit - 1]) continue;
      parts_["dc" + std::to_string(unit)] =
          add_part("DC unit " + std::to_string(unit), PhysicalClass::module, base_);
    }
  }

  // A sensor entry inside its part; returns its index.
  std::uint32_t add_sensor(const std::string& label, const std::string& part) {
    const auto found = parts_.find(part);
    return add(label, device_ + " " + label, PhysicalClass::sensor,
               found == parts_.end() ? base_ : found->second);
  }

 private:
  std::uint32_t add_part(const std::string& descr, PhysicalClass physical_class,
                         std::uint32_t contained_in) {
    return add(descr, device_ + " " + descr, physical_class, contained_in);
  }

  std::uint32_t add(const std::string& descr, const std::string& name, PhysicalClass physical_class,
                    std::uint32_t contained_in) {
    PhysicalRow row;
    row.index = base_ + next_++;
    row.descr = descr;
    row.name = name;
    row.physical_class = physical_class;
    row.contained_in = contained_in;
    row.parent_rel_pos = contained_in == 0 ? -1 : ++children_[contained_in];
    rows_.physical.push_back(row);
    return row.index;
  }

  std::uint32_t base_;
  std::uint32_t next_ = 0;
  std::string device_;
  MibRows& rows_;
  std::map<std::string, std::uint32_t> parts_;
  std::map<std::uint32_t, std::int32_t> children_;
};

// The parts that report a failure: a rectifier module whose alarm state is not 0.
std::map<std::string, bool> failed_parts(const kelvra_419_Data_t& record) {
  std::map<std::string, bool> failed;
  record::for_each_field(record, [&](const record::FieldValue& field) {
    const std::string& name = field.name;
    const std::string suffix = ".alarm_state";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        field.value.isNumeric() && field.value.asDouble() != 0.0) {
      failed[field.part] = true;
    }
  });
  return failed;
}

std::int32_t scaled_value(double reading, int precision) {
  const double scaled = std::round(reading * std::pow(10.0, precision));
  return static_cast<std::int32_t>(std::clamp(scaled, -kSensorValueBound, kSensorValueBound));
}

std::uint32_t centiseconds_since(std::int64_t start_ms, std::optional<std::int64_t> time_ms) {
  if (!time_ms || *time_ms <= start_ms) return 0;
  return static_cast<std::uint32_t>(((*time_ms - start_ms) / 10) & 0xFFFFFFFF);
}

void add_sensors(const DeviceView& view, DeviceEntities& entities, std::int64_t agent_start_ms,
                 MibRows& rows) {
  const station::StationSnapshot& snap = view.snapshot;
  const std::map<std::string, bool> failed = failed_parts(*snap.record);
  const bool unavailable = snap.stale || !snap.link_up;
  record::for_each_field(*snap.record, [&](const record::FieldValue& field) {
    if (!field.series()) return;
    SensorRow row;
    row.index = entities.add_sensor(field.label, field.part);
    const record::FieldOutlets& outlets = field.spec->outlets;
    row.type =
        outlets.sensor_type == record::SensorType::none ? 1 : static_cast<int>(outlets.sensor_type);
    row.precision = outlets.sensor_precision;
    const double reading = field.value.isNumeric() ? field.value.asDouble() : std::nan("");
    row.value = std::isfinite(reading) ? scaled_value(reading, row.precision) : 0;
    row.status = unavailable || !std::isfinite(reading) ? SensorStatus::unavailable
                 : failed.count(field.part) != 0        ? SensorStatus::nonoperational
                                                        : SensorStatus::ok;
    row.units = field.unit;
    row.timestamp = centiseconds_since(agent_start_ms, snap.record_time_ms);
    row.update_rate_ms = view.update_rate_ms;
    rows.sensors.push_back(row);
  });
}

SourceValue source_value(station::DataSource source) {
  switch (source) {
    case station::DataSource::kNone:
      return SourceValue::none;
    case station::DataSource::kRestored:
      return SourceValue::restored;
    case station::DataSource::kLive:
      return SourceValue::live;
    case station::DataSource::kStale:
      return SourceValue::stale;
  }
  return SourceValue::none;
}

DeviceRow device_row(std::uint32_t index, const station::StationSnapshot& snap,
                     std::uint32_t chassis) {
  DeviceRow row;
  row.index = index;
  row.name = snap.device;
  row.address = snap.address;
  row.link = snap.link_up && !snap.comm_lost ? LinkState::up : LinkState::down;
  row.source = source_value(snap.source);
  row.age_ms = snap.age_s ? static_cast<std::uint32_t>(
                                std::lround(std::clamp(*snap.age_s * 1000.0, 0.0, 4294967295.0)))
                          : 0;
  row.rounds = static_cast<std::uint32_t>(snap.counters.rounds & 0xFFFFFFFF);
  row.last_round_utc =
      snap.last_round_ms ? date_and_time(*snap.last_round_ms) : std::string("\0\0\1\1\0\0\0\0", 8);
  row.chassis = chassis;
  return row;
}

void add_alarms(std::uint32_t device, const station::StationSnapshot& snap, MibRows& rows) {
  std::uint32_t index = 0;
  for (const station::AlarmState& alarm : snap.alarms) {
    if (!alarm.active) continue;
    AlarmRow row;
    row.device = device;
    row.index = ++index;
    row.key = alarm.key;
    row.level = alarm.level;
    row.text = alarm.text;
    row.label = alarm.label;
    if (alarm.raised_ms) row.raised_utc = date_and_time(*alarm.raised_ms);
    rows.alarms.push_back(row);
  }
}

MibValue integer(std::int64_t number, MibValue::Type type = MibValue::Type::integer) {
  MibValue value;
  value.type = type;
  value.number = number;
  return value;
}

MibValue octets(std::string text) {
  MibValue value;
  value.type = MibValue::Type::octets;
  value.octets = std::move(text);
  return value;
}

// Puts one instance of a column: table entry OID, column, index arcs.
class TreeWriter {
 public:
  TreeWriter(MibTree& tree, Oid entry) : tree_(tree), entry_(std::move(entry)) {}
  void put(std::uint32_t column, const Oid& index, MibValue value) {
    Oid oid = entry_;
    oid.push_back(column);
    oid.insert(oid.end(), index.begin(), index.end());
    tree_[std::move(oid)] = std::move(value);
  }

 private:
  MibTree& tree_;
  Oid entry_;
};

Oid child(Oid oid, std::initializer_list<std::uint32_t> arcs) {
  oid.insert(oid.end(), arcs);
  return oid;
}

void put_standard_tables(const MibRows& rows, MibTree& tree) {
  TreeWriter physical(tree, child(kEntPhysicalTable, {1}));
  for (const PhysicalRow& row : rows.physical) {
    const Oid index = {row.index};
    physical.put(2, index, octets(row.descr));
    MibValue zero_dot_zero;
    zero_dot_zero.type = MibValue::Type::object_id;
    zero_dot_zero.object_id = {0, 0};
    physical.put(3, index, zero_dot_zero);
    physical.put(4, index, integer(row.contained_in));
    physical.put(5, index, integer(static_cast<int>(row.physical_class)));
    physical.put(6, index, integer(row.parent_rel_pos));
    physical.put(7, index, octets(row.name));
    physical.put(16, index, integer(row.physical_class == PhysicalClass::power_supply ? 1 : 2));
  }
  constexpr int kScaleUnits = 9;
  TreeWriter sensors(tree, child(kEntPhySensorTable, {1}));
  for (const SensorRow& row : rows.sensors) {
    const Oid index = {row.index};
    sensors.put(1, index, integer(row.type));
    sensors.put(2, index, integer(kScaleUnits));
    sensors.put(3, index, integer(row.precision));
    sensors.put(4, index, integer(row.value));
    sensors.put(5, index, integer(static_cast<int>(row.status)));
    sensors.put(6, index, octets(row.units));
    sensors.put(7, index, integer(row.timestamp, MibValue::Type::timeticks));
    sensors.put(8, index, integer(row.update_rate_ms, MibValue::Type::gauge));
  }
}

void put_own_tables(const MibRows& rows, const Oid& root, MibTree& tree) {
  TreeWriter devices(tree, child(root, {1, 1, 1}));
  for (const DeviceRow& row : rows.devices) {
    const Oid index = {row.index};
    devices.put(2, index, octets(row.name));
    devices.put(3, index, integer(row.address, MibValue::Type::gauge));
    devices.put(4, index, integer(static_cast<int>(row.link)));
    devices.put(5, index, integer(static_cast<int>(row.source)));
    devices.put(6, index, integer(row.age_ms, MibValue::Type::gauge));
    devices.put(7, index, integer(row.rounds, MibValue::Type::counter));
    devices.put(8, index, octets(row.last_round_utc));
    devices.put(9, index, integer(row.chassis));
  }
  TreeWriter alarms(tree, child(root, {1, 2, 1}));
  for (const AlarmRow& row : rows.alarms) {
    const Oid index = {row.device, row.index};
    alarms.put(2, index, octets(row.key));
    alarms.put(3, index, integer(row.level));
    alarms.put(4, index, octets(row.text));
    alarms.put(5, index, octets(row.label));
    alarms.put(6, index, octets(row.raised_utc));
  }
}

}  // namespace

MibRows mib_rows(const std::vector<DeviceView>& devices, std::int64_t agent_start_ms) {
  MibRows rows;
  std::uint32_t number = 0;
  for (const DeviceView& view : devices) {
    ++number;
    const station::StationSnapshot& snap = view.snapshot;
    DeviceEntities entities(number, snap.device, rows);
    if (snap.record) {
      entities.add_parts(record::parts_present(*snap.record));
      add_sensors(view, entities, agent_start_ms, rows);
    }
    rows.devices.push_back(device_row(number, snap, entities.chassis()));
    add_alarms(number, snap, rows);
  }
  std::sort(rows.physical.begin(), rows.physical.end(),
            [](const PhysicalRow& a, const PhysicalRow& b) { return a.index < b.index; });
  return rows;
}

MibTree mib_tree(const MibRows& rows, const Oid& enterprise_root) {
  MibTree tree;
  put_standard_tables(rows, tree);
  put_own_tables(rows, enterprise_root, tree);
  return tree;
}

std::string date_and_time(std::int64_t utc_ms) {
  const std::time_t seconds = static_cast<std::time_t>(utc_ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  const int year = tm.tm_year + 1900;
  const char bytes[] = {static_cast<char>(year >> 8),
                        static_cast<char>(year & 0xFF),
                        static_cast<char>(tm.tm_mon + 1),
                        static_cast<char>(tm.tm_mday),
                        static_cast<char>(tm.tm_hour),
                        static_cast<char>(tm.tm_min),
                        static_cast<char>(tm.tm_sec),
                        static_cast<char>((utc_ms % 1000) / 100),
                        '+',
                        0,
                        0};
  return std::string(bytes, sizeof bytes);
}

namespace {

Notification notification(const Oid& root, std::uint32_t which, const std::string& device,
                          std::int64_t time_ms) {
  Notification note;
  note.trap_oid = child(root, {0, which});
  note.varbinds.emplace_back(child(root, {1, 3, 1, 0}), octets(device));
  note.varbinds.emplace_back(child(root, {1, 3, 6, 0}), octets(date_and_time(time_ms)));
  return note;
}

}  // namespace

Notification alarm_notification(const Oid& enterprise_root, const events::AlarmEvent& event,
                                const std::string& label) {
  Notification note =
      notification(enterprise_root, event.raised ? 1 : 2, event.device, event.time_ms);
  note.varbinds.emplace_back(child(enterprise_root, {1, 3, 2, 0}), octets(event.key));
  note.varbinds.emplace_back(child(enterprise_root, {1, 3, 3, 0}), integer(event.level));
  note.varbinds.emplace_back(child(enterprise_root, {1, 3, 4, 0}), octets(event.text));
  note.varbinds.emplace_back(child(enterprise_root, {1, 3, 5, 0}), octets(label));
  return note;
}

Notification comm_notification(const Oid& enterprise_root, const std::string& device, bool lost,
                               std::int64_t time_ms) {
  return notification(enterprise_root, lost ? 3 : 4, device, time_ms);
}

}  // namespace kelvra::snmp
