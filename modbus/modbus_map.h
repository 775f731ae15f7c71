// The Modbus map of one device: a status block, a presence block and every reading of the field
// table in the registers (functions 03 and 04 read the same map), one bit per alarm in the bits
// (functions 01 and 02). Addresses never move between versions; a new one only adds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "station/station.h"

namespace kelvra::modbus {

// Raised when an address changes meaning; additions keep it.
constexpr std::uint16_t kMapVersion = 1;
// Reads whose count is above these are refused (illegal data value).
constexpr std::uint16_t kMaxRegisters = 125;
constexpr std::uint16_t kMaxBits = 2000;

enum class Table { registers, bits };
enum class ValueType { uint16, uint32, float32, bit };

const char* function_codes(Table table);  // "03/04", "01/02"
const char* value_type_name(ValueType type);

// One address of the map; uint32 and float32 take two registers, high word first.
struct MapEntry {
  std::uint16_t address;
  Table table;
  ValueType type;
  std::string field;  // "status.link_up", "present.dc1", "dc.out_v", "alarm.KELVRA_DC_3"
  std::string unit;
  std::string label;  // English
};

// Every entry, registers then bits, each in address order.
const std::vector<MapEntry>& modbus_map();

// What one device answers now: every register and bit of the map, gaps 0.
struct DeviceImage {
  std::vector<std::uint16_t> registers;
  std::vector<bool> bits;
};

// The image of a snapshot: a reading of a part that is not fitted (or of no record yet) is NaN
// and its part's presence register 0.
DeviceImage device_image(const station::StationSnapshot& snapshot);

}  // namespace kelvra::modbus
