// The simulated power system: what its poll responses report.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace kelvra::sim {

// A value the equipment may report as missing; nullopt goes out as the invalid marker.
using Reading = std::optional<float>;
using Bytes = std::vector<std::uint8_t>;

// User-defined AC alarm bytes and the values that mean "active".
constexpr std::uint8_t kAcBreakerTripped = 5;           // byte 0
constexpr std::uint8_t kAcMainsFailed = 0xE0;           // byte 1
constexpr std::uint8_t kAcSurgeProtectorFailed = 0xE1;  // byte 2

// User-defined DC alarm bytes (index into DcUnit::user_alarms) and their active values.
enum DcAlarmByte : std::size_t {
  kDcLvd1 = 0,          // 0xF0
  kDcLvd2 = 1,          // 0xF1
  kDcFuse1 = 2,         // 3
  kDcBattery1Low = 3,   // 1
  kDcBattery1Hot = 4,   // 2
  kDcFuse2 = 5,         // 3
  kDcBattery2Low = 6,   // 1
  kDcBattery2Hot = 7,   // 2
  kDcFuse3 = 8,         // 3
  kDcBattery3Low = 9,   // 1
  kDcBattery3Hot = 10,  // 2
  kDcUserAlarmCount = 11,
};

struct AcInput {
  Reading phase_a = 230.0f;   // V
  Reading phase_b = 230.0f;   // V
  Reading phase_c = 230.0f;   // V
  Reading frequency = 50.0f;  // Hz
  std::vector<float> user_analog;
  std::array<std::uint8_t, 4> states{};  // phase A, B, C and frequency status
  Bytes extra_alarms;                    // the alarm group that precedes the user-defined one
  Bytes user_alarms = Bytes(3, 0);
};

struct AcUnit {
  std::vector<AcInput> inputs;
  std::array<Reading, 3> extra{0.0f, 0.0f, 0.0f};
  Bytes user_switches = Bytes(4, 0);
  std::array<std::uint8_t, 3> extra_states{};
};

struct RectifierModule {
  float value = 10.0f;  // A
  std::vector<float> user_analog;
  std::array<std::uint8_t, 3> switch_states{};
  Bytes user_status = Bytes(1, 0);
  std::uint8_t alarm_state = 0;
  Bytes user_alarms;
};

struct RectifierShelf {
  float group_value = 53.5f;  // V
  std::vector<RectifierModule> modules;
};

struct DcUnit {
  float voltage = 53.5f;                                // V
  float current = 40.0f;                                // A
  std::vector<float> float_group = {0.0f, 0.0f, 0.0f};  // battery currents, A
  std::vector<float> second_group;
  std::vector<Reading> user_floats = std::vector<Reading>(6, Reading(25.0f));
  std::uint8_t voltage_state = 0;
  Bytes alarm_group = Bytes(4, 0);
  Bytes user_alarms = Bytes(kDcUserAlarmCount, 0);
};

enum class DcFormat : std::uint8_t {
  kSingleUnit = 1,  // the unit block right behind DATAFLAG
  kCounted = 2,     // a unit-count byte, then one block per unit
};

struct Equipment {
  AcUnit ac;
  RectifierShelf rectifiers;
  std::vector<DcUnit> dc;
  // Values set by 0x42/0x48, keyed by their type byte (0xDC, 0xDB).
  std::map<std::uint8_t, float> dc_setpoints;
};

struct EquipmentShape {
  int ac_inputs = 2;   // 1 or 2
  int rectifiers = 6;  // 0 to 255
  int dc_units = 1;    // 1 or 2
};

Equipment make_equipment(const EquipmentShape& shape);

}  // namespace kelvra::sim
