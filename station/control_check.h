// The host's check of a control request before anything of it reaches the device: the same for
// every origin (socket, HTTP, MQTT).
#pragma once

#include <string>
#include <vector>

namespace kelvra::station {

// What the device accepts: the signals code 310 sets and the commands code 320 switches.
struct ControlTable {
  std::vector<std::string> set_value_signals;
  std::vector<std::string> switch_commands;
};

// The device's own table.
const ControlTable& device_control_table();

// The range a "SetValue" must lie in, in volts.
struct SetValueRange {
  double min = 40.0;
  double max = 60.0;
};

struct ControlVerdict {
  bool refused = false;
  // Why it is refused, or a note on a request that is passed ("code 5 reads back the last
  // control outcome"); empty when there is nothing to say.
  std::string words;
  bool forceable = false;  // refused by the number or range check, which --force overrides
};

// `argument` is the request's text: hex bytes for code 300, a JSON object for 310, a command
// identifier for 320.
ControlVerdict check_control(int code, const std::string& argument, const ControlTable& table,
                             const SetValueRange& range);

// What a refused request is answered: why, that nothing was sent, and for a refusal --force
// overrides, how to force it. Only the control socket (`kelvra-host control`) takes --force;
// HTTP and MQTT requests never can.
std::string refusal_text(const ControlVerdict& verdict, bool origin_can_force);

}  // namespace kelvra::station
