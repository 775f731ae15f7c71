// Settings of the servers a site's own systems read the run through: the SNMP subagent (the
// "snmp" object beside "host") and the UPS network protocol server (the "ups_server" object).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hostkit/json_input.h"

namespace kelvra::run {

// The SNMP subagent: off unless the master's AgentX socket is given.
struct SnmpSettings {
  std::string agentx;  // a Unix socket path or "tcp:HOST:PORT"; empty: no subagent
  // Our module's root ("enterprise_oid", dotted in the file): the documentation number's.
  std::vector<std::uint32_t> enterprise_oid = {1, 3, 6, 1, 4, 1, 32473, 419};
};

// Where the run answers UPS monitors: listen address (empty: none), the file of the users that
// may log in, and the DC voltage at or below which the battery counts as low.
struct UpsServerSettings {
  std::string listen;  // "ADDR[:PORT]", port 3493 by default
  std::string users_file;
  double low_battery_v = 47.0;  // V; 40 to 56
};
constexpr double kLowBatteryMinV = 40.0;
constexpr double kLowBatteryMaxV = 56.0;

// The "snmp" object: {"agentx": SOCKET, "enterprise_oid": "1.3.6.1.4.1.N.M"}; throws InputError
// naming the member.
SnmpSettings read_snmp_settings(const hostkit::JsonNode& node);
// The "ups_server" object: {"listen", "users_file", "low_battery_v"}; throws InputError naming
// the member.
UpsServerSettings read_ups_server_settings(const hostkit::JsonNode& node);

}  // namespace kelvra::run
