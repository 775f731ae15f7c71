// INFO fields of the poll responses, built from the equipment model.
#pragma once

#include <cstdint>

#include "sim/equipment.h"

namespace kelvra::sim {

// Every poll response INFO begins with DATAFLAG: 0x10 switch states changed, 0x01 alarm states.
constexpr std::uint8_t kSwitchesChanged = 0x10;
constexpr std::uint8_t kAlarmsChanged = 0x01;

// Sent for a missing value: four identical non-zero bytes.
constexpr std::uint8_t kInvalidMarkerByte = 0x20;

Bytes ac_analog_info(std::uint8_t dataflag, const AcUnit& ac);
Bytes ac_switch_info(std::uint8_t dataflag, const AcUnit& ac);
// Always two input blocks; a missing second input is sent as a block of zeros.
Bytes ac_alarm_info(std::uint8_t dataflag, const AcUnit& ac);

Bytes rectifier_analog_info(std::uint8_t dataflag, const RectifierShelf& shelf);
Bytes rectifier_switch_info(std::uint8_t dataflag, const RectifierShelf& shelf);
Bytes rectifier_alarm_info(std::uint8_t dataflag, const RectifierShelf& shelf);

// Format kSingleUnit sends only the first unit.
Bytes dc_analog_info(std::uint8_t dataflag, const std::vector<DcUnit>& units, DcFormat format);
Bytes dc_alarm_info(std::uint8_t dataflag, const std::vector<DcUnit>& units, DcFormat format);

}  // namespace kelvra::sim
