// What the SNMP subagent serves, made from the stations' snapshots by pure functions: the rows of
// the entity and sensor tables, of our device and active alarm tables, and the whole served tree
// as sorted object identifiers with their values. Nothing here knows the SNMP library.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "station/station.h"

namespace kelvra::snmp {

using Oid = std::vector<std::uint32_t>;

// entPhysicalClass values.
enum class PhysicalClass { other = 1, chassis = 3, power_supply = 6, sensor = 8, module = 9 };
// entPhySensorOperStatus values.
enum class SensorStatus { ok = 1, unavailable = 2, nonoperational = 3 };

// One device as the subagent sees it.
struct DeviceView {
  station::StationSnapshot snapshot;
  std::uint32_t update_rate_ms = 0;  // the poll interval: how often a reading may change
};

struct PhysicalRow {
  std::uint32_t index = 0;  // entPhysicalIndex: device N owns N*1000 to N*1000+999
  std::string descr;
  std::string name;
  PhysicalClass physical_class = PhysicalClass::other;
  std::uint32_t contained_in = 0;  // 0: at the top
  std::int32_t parent_rel_pos = 0;
};

struct SensorRow {
  std::uint32_t index = 0;  // the sensor's entPhysicalIndex
  int type = 1;             // EntitySensorDataType; other(1) for readings without one
  int precision = 0;
  std::int32_t value = 0;  // reading × 10^precision, rounded, bounded to ±10^9
  SensorStatus status = SensorStatus::unavailable;
  std::string units;
  std::uint32_t timestamp = 0;  // centiseconds since the subagent started, when last read
  std::uint32_t update_rate_ms = 0;
};

// kpDeviceLinkState and kpDeviceDataSource values.
enum class LinkState { up = 1, down = 2 };
enum class SourceValue { none = 1, restored = 2, live = 3, stale = 4 };

struct DeviceRow {
  std::uint32_t index = 0;  // from 1, in settings order
  std::string name;
  std::uint32_t address = 0;
  LinkState link = LinkState::down;
  SourceValue source = SourceValue::none;
  std::uint32_t age_ms = 0;
  std::uint32_t rounds = 0;    // wraps as a Counter32
  std::string last_round_utc;  // DateAndTime; year 0 January 1 before the first live round
  std::uint32_t chassis = 0;   // its entPhysicalIndex
};

struct AlarmRow {
  std::uint32_t device = 0;  // kpDeviceIndex
  std::uint32_t index = 0;   // from 1 among the device's active alarms, key order
  std::string key;
  std::int32_t level = 0;
  std::string text;        // the device's own, UTF-8
  std::string label;       // English
  std::string raised_utc;  // DateAndTime, 11 octets
};

struct MibRows {
  std::vector<PhysicalRow> physical;
  std::vector<SensorRow> sensors;
  std::vector<DeviceRow> devices;
  std::vector<AlarmRow> alarms;
};

// The rows of every table; `agent_start_ms` (UTC) is the zero of the sensors' time stamps.
MibRows mib_rows(const std::vector<DeviceView>& devices, std::int64_t agent_start_ms);

// A served value: its ASN.1 type and content.
struct MibValue {
  enum class Type { integer, octets, object_id, gauge, counter, timeticks };
  Type type = Type::integer;
  std::int64_t number = 0;
  std::string octets;
  Oid object_id;
};
using MibTree = std::map<Oid, MibValue>;

// The standard tables' roots.
extern const Oid kEntPhysicalTable;
extern const Oid kEntPhySensorTable;

// Every served instance, the entity and sensor tables at their standard places and our tables
// under `enterprise_root`.
MibTree mib_tree(const MibRows& rows, const Oid& enterprise_root);

// UTC milliseconds as a DateAndTime of 11 octets (year high byte first, "+0:0").
std::string date_and_time(std::int64_t utc_ms);

// The notifications of our module, each a list of varbinds after snmpTrapOID.0.
struct Notification {
  Oid trap_oid;
  std::vector<std::pair<Oid, MibValue>> varbinds;
};
Notification alarm_notification(const Oid& enterprise_root, const events::AlarmEvent& event,
                                const std::string& label);
Notification comm_notification(const Oid& enterprise_root, const std::string& device, bool lost,
                               std::int64_t time_ms);

}  // namespace kelvra::snmp
