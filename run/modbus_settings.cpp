#include "run/modbus_settings.h"

#include <stdexcept>

namespace kelvra::run {
namespace {

constexpr hostkit::Bounds kUnitBounds{1, 247};

}  // namespace

hostkit::ListenAddress parse_modbus_listen(const std::string& field, const std::string& listen) {
  try {
    return hostkit::parse_listen_address(listen);
  } catch (const std::invalid_argument& error) {
    throw station::SettingsError(field + ": " + error.what());
  }
}

ModbusSettings read_modbus_settings(const hostkit::JsonNode& node) {
  hostkit::JsonObjectReader object = node.object();
  const hostkit::JsonNode listen = object.require("listen");
  ModbusSettings modbus;
  modbus.listen = listen.text();
  parse_modbus_listen(listen.path(), modbus.listen);
  object.finish();
  return modbus;
}

std::uint8_t read_modbus_unit(const hostkit::JsonNode& node) {
  return static_cast<std::uint8_t>(node.integer(kUnitBounds));
}

void assign_modbus_units(const std::vector<station::DeviceSettings>& devices,
                         ModbusSettings& modbus) {
  std::map<std::uint8_t, std::string> owners;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const std::string& name = devices[i].name;
    const auto unit = modbus.units.emplace(name, static_cast<std::uint8_t>(i + 1)).first->second;
    const auto [owner, added] = owners.emplace(unit, name);
    if (!added) {
      throw station::SettingsError("host.devices[" + std::to_string(i) + "].modbus_unit: unit " +
                                   std::to_string(unit) + " is already " + owner->second + "'s");
    }
  }
}

}  // namespace kelvra::run
