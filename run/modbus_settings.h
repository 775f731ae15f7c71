// Settings of the run's Modbus TCP server: the top-level "modbus" object and each device's unit.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hostkit/json_input.h"
#include "hostkit/listen_address.h"
#include "station/device_settings.h"

namespace kelvra::run {

struct ModbusSettings {
  std::string listen;  // "ADDR:PORT"; empty: no server
  // Every device's unit identifier by name: its "modbus_unit", else its position from 1.
  std::map<std::string, std::uint8_t> units;
};

// "ADDR:PORT" ("PORT" alone on 127.0.0.1); throws SettingsError naming `field`.
hostkit::ListenAddress parse_modbus_listen(const std::string& field, const std::string& listen);
// The "modbus" object: {"listen": "ADDR:PORT"}.
ModbusSettings read_modbus_settings(const hostkit::JsonNode& node);
// A device's "modbus_unit": 1 to 247.
std::uint8_t read_modbus_unit(const hostkit::JsonNode& node);
// Fills `modbus.units` for the devices without one (their position from 1); throws SettingsError
// naming "host.devices[N].modbus_unit" when two devices would share a unit.
void assign_modbus_units(const std::vector<station::DeviceSettings>& devices,
                         ModbusSettings& modbus);

}  // namespace kelvra::run
