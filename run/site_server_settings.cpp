#include "run/site_server_settings.h"

#include <optional>

namespace kelvra::run {
namespace {

using hostkit::JsonNode;
using hostkit::JsonObjectReader;

// "1.3.6.1.4.1.32473.419": two or more dotted arcs, the first 0 to 2, each within 32 bits.
std::optional<std::vector<std::uint32_t>> object_identifier(const std::string& text) {
  std::vector<std::uint32_t> arcs;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t dot = std::min(text.find('.', start), text.size());
    const std::string arc = text.substr(start, dot - start);
    if (arc.empty() || arc.size() > 10 ||
        arc.find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(arc) > 0xFFFFFFFFull) {
      return std::nullopt;
    }
    arcs.push_back(static_cast<std::uint32_t>(std::stoull(arc)));
    start = dot + 1;
  }
  if (arcs.size() < 2 || arcs[0] > 2) return std::nullopt;
  return arcs;
}

}  // namespace

SnmpSettings read_snmp_settings(const JsonNode& node) {
  JsonObjectReader object = node.object();
  SnmpSettings snmp;
  if (auto agentx = object.find("agentx")) {
    snmp.agentx = agentx->text();
    if (snmp.agentx.empty()) agentx->fail("expected a socket path or tcp:HOST:PORT");
  }
  if (auto root = object.find("enterprise_oid")) {
    const std::string text = root->text();
    const auto arcs = object_identifier(text);
    if (!arcs) {
      root->fail("expected a dotted object identifier such as 1.3.6.1.4.1.32473.419, got \"" +
                 text + "\"");
    }
    snmp.enterprise_oid = *arcs;
  }
  object.finish();
  return snmp;
}

UpsServerSettings read_ups_server_settings(const JsonNode& node) {
  JsonObjectReader object = node.object();
  UpsServerSettings ups;
  if (auto listen = object.find("listen")) ups.listen = listen->text();
  if (auto users = object.find("users_file")) ups.users_file = users->text();
  if (auto low = object.find("low_battery_v")) {
    ups.low_battery_v = low->number();
    if (!(ups.low_battery_v >= kLowBatteryMinV && ups.low_battery_v <= kLowBatteryMaxV)) {
      low->fail("expected volts from 40 to 56");
    }
  }
  object.finish();
  return ups;
}

}  // namespace kelvra::run
