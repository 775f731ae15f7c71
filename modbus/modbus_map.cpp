#include "modbus/modbus_map.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "events/alarm_identity.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::modbus {
namespace {

// Register addresses of the status and presence blocks.
constexpr std::uint16_t kMapVersionRegister = 0;
constexpr std::uint16_t kLinkUpRegister = 1;
constexpr std::uint16_t kDataSourceRegister = 2;
constexpr std::uint16_t kDataAgeRegister = 3;
constexpr std::uint16_t kRoundsRegister = 5;
constexpr std::uint16_t kActiveAlarmsRegister = 7;
constexpr std::uint16_t kPresentAcRegister = 10;
constexpr std::uint16_t kPresentAcInputRegister = 11;  // one per AC input
constexpr std::uint16_t kPresentShelfRegister = 13;
constexpr std::uint16_t kPresentDcRegister = 14;  // one per DC unit
constexpr std::uint16_t kModuleCountRegister = 16;
constexpr std::uint16_t kPresentModuleRegister = 20;  // one per rectifier module
// Bit addresses.
constexpr std::uint16_t kAnyAlarmBit = 0;
constexpr std::uint16_t kCommLostBit = 1;
constexpr std::uint16_t kOtherAlarmBit = 2;
constexpr std::uint16_t kDeviceAlarmBit = 10;  // the device's alarms in their fixed order
constexpr std::uint32_t kNoAge = std::numeric_limits<std::uint32_t>::max();

std::uint16_t at(std::size_t base, std::size_t offset) {
  return static_cast<std::uint16_t>(base + offset);
}

void add_status_block(std::vector<MapEntry>& map) {
  const Table r = Table::registers;
  map.push_back(
      {kMapVersionRegister, r, ValueType::uint16, "status.map_version", "", "map version"});
  map.push_back({kLinkUpRegister, r, ValueType::uint16, "status.link_up", "",
                 "serial link up (1) or down (0)"});
  map.push_back({kDataSourceRegister, r, ValueType::uint16, "status.data_source", "",
                 "data source: 0 none, 1 restored from history, 2 live, 3 stale"});
  map.push_back({kDataAgeRegister, r, ValueType::uint32, "status.data_age_s", "s",
                 "age of the data shown (4294967295: no data)"});
  map.push_back({kRoundsRegister, r, ValueType::uint32, "status.rounds", "", "completed rounds"});
  map.push_back(
      {kActiveAlarmsRegister, r, ValueType::uint16, "status.active_alarms", "", "active alarms"});
}

void add_presence_block(std::vector<MapEntry>& map) {
  const Table r = Table::registers;
  const ValueType u16 = ValueType::uint16;
  map.push_back({kPresentAcRegister, r, u16, "present.ac", "", "AC distribution fitted"});
  for (std::size_t i = 0; i < kelvra_419_Data_t::AC_CHANNEL_ROOM; ++i) {
    const std::string number = std::to_string(i + 1);
    map.push_back({at(kPresentAcInputRegister, i), r, u16, "present.ac" + number, "",
                   "AC input " + number + " fitted"});
  }
  map.push_back({kPresentShelfRegister, r, u16, "present.shelf", "", "rectifier shelf fitted"});
  for (std::size_t unit = 0; unit < 2; ++unit) {
    const std::string number = std::to_string(unit + 1);
    map.push_back({at(kPresentDcRegister, unit), r, u16, "present.dc" + number, "",
                   "DC unit " + number + " fitted"});
  }
  map.push_back({kModuleCountRegister, r, u16, "present.modules", "", "rectifier modules fitted"});
  for (std::size_t i = 0; i < kelvra_419_Data_t::RC_CHANNEL_ROOM; ++i) {
    const std::string number = std::to_string(i + 1);
    map.push_back({at(kPresentModuleRegister, i), r, u16, "present.module" + number, "",
                   "rectifier " + number + " fitted"});
  }
}

// A record with every part fitted and every array filled to its room.
kelvra_419_Data_t fully_fitted_record() {
  kelvra_419_Data_t full;
  std::memset(&full, 0, sizeof full);
  full.ac.channel_count = kelvra_419_Data_t::AC_CHANNEL_ROOM;
  full.rc.channel_count = kelvra_419_Data_t::RC_CHANNEL_ROOM;
  full.dc.m_count = kelvra_419_dc::M_SIZE();
  full.dc2.m_count = kelvra_419_dc::M_SIZE();
  return full;
}

void add_readings(std::vector<MapEntry>& map) {
  record::for_each_field(fully_fitted_record(), [&map](const record::FieldValue& field) {
    if (const auto address = record::modbus_address(field)) {
      map.push_back(
          {*address, Table::registers, ValueType::float32, field.name, field.unit, field.label});
    }
  });
}

void add_alarm_bits(std::vector<MapEntry>& map) {
  const Table b = Table::bits;
  map.push_back({kAnyAlarmBit, b, ValueType::bit, "alarm.any", "", "any alarm active"});
  map.push_back({kCommLostBit, b, ValueType::bit, std::string("alarm.") + station::kCommLostKey, "",
                 station::kCommLostText});
  map.push_back({kOtherAlarmBit, b, ValueType::bit, "alarm.other", "",
                 "an alarm not listed here active (threshold rules)"});
  const auto& alarms = events::known_device_alarms();
  for (std::size_t i = 0; i < alarms.size(); ++i) {
    map.push_back(
        {at(kDeviceAlarmBit, i), b, ValueType::bit, "alarm." + alarms[i].key, "", alarms[i].label});
  }
}

std::size_t width(ValueType type) {
  return type == ValueType::uint32 || type == ValueType::float32 ? 2 : 1;
}

// One past the last address of a table.
std::size_t table_size(Table table) {
  std::size_t size = 0;
  for (const MapEntry& entry : modbus_map()) {
    if (entry.table == table) size = std::max(size, entry.address + width(entry.type));
  }
  return size;
}

void put_u32(std::vector<std::uint16_t>& registers, std::uint16_t address, std::uint32_t value) {
  registers[address] = static_cast<std::uint16_t>(value >> 16);
  registers[address + 1u] = static_cast<std::uint16_t>(value & 0xFFFFu);
}

void put_float(std::vector<std::uint16_t>& registers, std::uint16_t address, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  put_u32(registers, address, bits);
}

std::uint16_t source_code(station::DataSource source) {
  switch (source) {
    case station::DataSource::kNone:
      return 0;
    case station::DataSource::kRestored:
      return 1;
    case station::DataSource::kLive:
      return 2;
    case station::DataSource::kStale:
      return 3;
  }
  return 0;
}

std::uint32_t whole_seconds(const std::optional<double>& age_s) {
  if (!age_s) return kNoAge;
  const double floored = std::floor(std::max(*age_s, 0.0));
  return floored >= kNoAge ? kNoAge - 1 : static_cast<std::uint32_t>(floored);
}

std::uint32_t low_32(std::uint64_t count) {
  return static_cast<std::uint32_t>(count & 0xFFFFFFFFu);
}

void fill_status(const station::StationSnapshot& snapshot, DeviceImage& image) {
  std::vector<std::uint16_t>& registers = image.registers;
  registers[kMapVersionRegister] = kMapVersion;
  registers[kLinkUpRegister] = snapshot.link_up ? 1 : 0;
  registers[kDataSourceRegister] = source_code(snapshot.source);
  put_u32(registers, kDataAgeRegister, whole_seconds(snapshot.age_s));
  put_u32(registers, kRoundsRegister, low_32(snapshot.counters.rounds));
  const auto active = std::count_if(snapshot.alarms.begin(), snapshot.alarms.end(),
                                    [](const station::AlarmState& alarm) { return alarm.active; });
  registers[kActiveAlarmsRegister] = static_cast<std::uint16_t>(std::min<long>(active, 0xFFFF));
}

void fill_presence(const kelvra_419_Data_t& record, DeviceImage& image) {
  const record::PartsPresent parts = record::parts_present(record);
  std::vector<std::uint16_t>& registers = image.registers;
  registers[kPresentAcRegister] = parts.ac_unit ? 1 : 0;
  for (std::size_t i = 0; i < parts.ac_inputs; ++i) registers[at(kPresentAcInputRegister, i)] = 1;
  registers[kPresentShelfRegister] = parts.shelf ? 1 : 0;
  for (std::size_t unit = 0; unit < 2; ++unit)
    registers[at(kPresentDcRegister, unit)] = parts.dc_unit[unit] ? 1 : 0;
  registers[kModuleCountRegister] = static_cast<std::uint16_t>(parts.modules);
  for (std::size_t i = 0; i < parts.modules; ++i) registers[at(kPresentModuleRegister, i)] = 1;
}

void fill_readings(const std::optional<kelvra_419_Data_t>& record, DeviceImage& image) {
  for (const MapEntry& entry : modbus_map()) {
    if (entry.type == ValueType::float32)
      put_float(image.registers, entry.address, std::numeric_limits<float>::quiet_NaN());
  }
  if (!record) return;
  fill_presence(*record, image);
  record::for_each_field(*record, [&image](const record::FieldValue& field) {
    if (const auto address = record::modbus_address(field))
      put_float(image.registers, *address, static_cast<float>(field.value.asDouble()));
  });
}

void fill_alarms(const station::StationSnapshot& snapshot, DeviceImage& image) {
  const auto& known = events::known_device_alarms();
  for (const station::AlarmState& alarm : snapshot.alarms) {
    if (!alarm.active) continue;
    image.bits[kAnyAlarmBit] = true;
    const auto found = std::find_if(known.begin(), known.end(),
                                    [&alarm](const auto& entry) { return entry.key == alarm.key; });
    if (alarm.key == station::kCommLostKey) {
      image.bits[kCommLostBit] = true;
    } else if (found == known.end()) {
      image.bits[kOtherAlarmBit] = true;
    } else {
      image.bits[at(kDeviceAlarmBit, static_cast<std::size_t>(found - known.begin()))] = true;
    }
  }
}

}  // namespace

const char* function_codes(Table table) {
  return table == Table::registers ? "03/04" : "01/02";
}

const char* value_type_name(ValueType type) {
  switch (type) {
    case ValueType::uint16:
      return "uint16";
    case ValueType::uint32:
      return "uint32";
    case ValueType::float32:
      return "float32";
    case ValueType::bit:
      return "bit";
  }
  return "";
}

const std::vector<MapEntry>& modbus_map() {
  static const std::vector<MapEntry> map = [] {
    std::vector<MapEntry> built;
    add_status_block(built);
    add_presence_block(built);
    add_readings(built);
    add_alarm_bits(built);
    std::stable_sort(built.begin(), built.end(), [](const MapEntry& a, const MapEntry& b) {
      return a.table != b.table ? a.table == Table::registers : a.address < b.address;
    });
    return built;
  }();
  return map;
}

DeviceImage device_image(const station::StationSnapshot& snapshot) {
  static const std::size_t register_count = table_size(Table::registers);
  static const std::size_t bit_count = table_size(Table::bits);
  DeviceImage image{std::vector<std::uint16_t>(register_count, 0),
                    std::vector<bool>(bit_count, false)};
  fill_status(snapshot, image);
  fill_readings(snapshot.record, image);
  fill_alarms(snapshot, image);
  return image;
}

}  // namespace kelvra::modbus
