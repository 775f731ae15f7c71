#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "host/pmbus_protocol.h"

namespace scripted_host {

// What a kelvra_419 device keeps beyond the host members: its record and its own settings.
struct PluginMembers {
  std::vector<std::uint8_t> record;
  int no_dc_number;
  bool has_ac;
  bool has_dc;
  int b_mode;
};

// Reads the members above from a device whose type is "kelvra_419"; nullopt for any other type.
std::optional<PluginMembers> plugin_members(const PMBusProtocol& device);

}  // namespace scripted_host
