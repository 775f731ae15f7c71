// The map's addresses stay where integrators imported them, never overlap, and a snapshot reads
// back as the exact registers and bits a master sees.
#include <cstring>
#include <map>

#include <gtest/gtest.h>

#include "modbus/modbus_map.h"

namespace {

using kelvra::modbus::modbus_map;
using kelvra::modbus::Table;
using kelvra::modbus::ValueType;

std::size_t width(ValueType type) {
  return type == ValueType::uint32 || type == ValueType::float32 ? 2 : 1;
}

TEST(ModbusMap, NoTwoEntriesOfAFullyFittedRecordShareAnAddress) {
  std::map<std::pair<Table, std::size_t>, std::string> owner;
  for (const auto& entry : modbus_map()) {
    for (std::size_t i = 0; i < width(entry.type); ++i) {
      const auto [at, added] =
          owner.emplace(std::make_pair(entry.table, entry.address + i), entry.field);
      EXPECT_TRUE(added) << entry.field << " and " << at->second << " at " << entry.address + i;
    }
  }
}

TEST(ModbusMap, AddressesStayWhereTheyWere) {
  const struct {
    const char* field;
    Table table;
    std::uint16_t address;
  } rows[] = {
      {"status.map_version", Table::registers, 0}, {"status.rounds", Table::registers, 5},
      {"present.dc2", Table::registers, 15},       {"present.module40", Table::registers, 59},
      {"ac.channel[0].a", Table::registers, 100},  {"ac.channel[1].f", Table::registers, 114},
      {"rc.group_value", Table::registers, 120},   {"rc.channel[39].value", Table::registers, 278},
      {"dc.out_v", Table::registers, 300},         {"dc.m[2]", Table::registers, 308},
      {"dc2.out_v", Table::registers, 350},        {"alarm.COMM_LOST", Table::bits, 1},
      {"alarm.p40_44_1_2", Table::bits, 14},       {"alarm.KELVRA_DC_10", Table::bits, 26},
  };
  std::map<std::string, const kelvra::modbus::MapEntry*> by_field;
  for (const auto& entry : modbus_map()) by_field[entry.field] = &entry;
  for (const auto& row : rows) {
    ASSERT_EQ(by_field.count(row.field), 1u) << row.field;
    EXPECT_EQ(by_field[row.field]->table, row.table) << row.field;
    EXPECT_EQ(by_field[row.field]->address, row.address) << row.field;
  }
}

// DC unit 1 only, 53.5 V and one battery current of -40 A; alarms of each kind.
kelvra::station::StationSnapshot plant_on_battery() {
  kelvra::station::StationSnapshot snapshot;
  snapshot.link_up = true;
  snapshot.source = kelvra::station::DataSource::kLive;
  snapshot.age_s = 3.7;
  snapshot.counters.rounds = 70000;
  kelvra_419_Data_t record;
  std::memset(&record, 0, sizeof record);
  record.dc.out_v.set(53.5f);
  record.dc.m_count = 1;
  record.dc.m[0].set(-40.0f);
  snapshot.record = record;
  for (const char* key : {"COMM_LOST", "p40_44_1_2", "PowerOff"}) {
    snapshot.alarms.push_back({key, key, "", "", "", 1, true, {}, false});
  }
  snapshot.alarms.push_back({"KELVRA_DC_3", "KELVRA_DC_3", "", "", "", 2, false, {}, false});
  return snapshot;
}

TEST(ModbusMap, ImageOfASnapshot) {
  const auto image = kelvra::modbus::device_image(plant_on_battery());
  const std::map<std::uint16_t, std::uint16_t> registers = {
      {0, 1},   {1, 1},        {2, 2},   {3, 0},        {4, 3},        {5, 0x0001},   {6, 0x1170},
      {7, 3},   {10, 0},       {11, 0},  {13, 0},       {14, 1},       {15, 0},       {16, 0},
      {20, 0},  {100, 0x7FC0}, {101, 0}, {120, 0x7FC0}, {300, 0x4256}, {301, 0},      {302, 0},
      {303, 0}, {304, 0xC220}, {305, 0}, {306, 0x7FC0}, {307, 0},      {350, 0x7FC0}, {359, 0},
  };
  ASSERT_EQ(image.registers.size(), 360u);
  for (const auto& [address, word] : registers) {
    EXPECT_EQ(image.registers[address], word) << "register " << address;
  }
  std::vector<std::uint16_t> raised;
  for (std::uint16_t i = 0; i < image.bits.size(); ++i) {
    if (image.bits[i]) raised.push_back(i);
  }
  EXPECT_EQ(raised, (std::vector<std::uint16_t>{0, 1, 2, 14}));
  EXPECT_EQ(image.bits.size(), 27u);
}

TEST(ModbusMap, WithoutARecordEveryReadingIsNaNAndNoPartPresent) {
  kelvra::station::StationSnapshot snapshot;
  const auto image = kelvra::modbus::device_image(snapshot);
  EXPECT_EQ(image.registers[2], 0);  // no data source
  EXPECT_EQ(image.registers[3], 0xFFFF);
  EXPECT_EQ(image.registers[4], 0xFFFF);
  for (const auto& entry : modbus_map()) {
    if (entry.type == ValueType::float32) {
      EXPECT_EQ(image.registers[entry.address], 0x7FC0) << entry.field;
    }
    if (entry.field.rfind("present.", 0) == 0) {
      EXPECT_EQ(image.registers[entry.address], 0) << entry.field;
    }
  }
}

}  // namespace
