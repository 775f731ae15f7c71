// What a UPS monitor sees of one device: its status words and its variables in the protocol's
// standard naming, made from the station's typed snapshot and the field table.
#pragma once

#include <string>

#include "station/station.h"
#include "upsd/ups_protocol.h"

namespace kelvra::upsd {

// The plant's power state as the status words tell it.
struct PowerState {
  bool on_battery = false;   // every fitted AC input lost
  bool battery_low = false;  // DC voltage at or below the low-battery level
  std::string alarms;        // English labels of the active alarms, ", " between; empty: none
};

PowerState power_state(const kelvra_419_Data_t& record,
                       const std::vector<station::AlarmState>& alarms, double low_battery_v);

// "OL" or "OB", then "LB" and "ALARM" when they apply.
std::string ups_status(const PowerState& state);

// The device as a UPS named after it (logins left at 0); stale while the data is not live.
UpsView ups_view(const station::StationSnapshot& snapshot, double low_battery_v);

}  // namespace kelvra::upsd
