// A device's name is an MQTT topic level, part of client ids and file names, and starts the
// console's lines; names that cannot be all of these are refused before anything starts.
#pragma once

#include <string>

namespace kelvra::station {

// Why `text` cannot be an MQTT topic level that is also a file name ("it holds '+' ..."), or
// empty when it can.
std::string topic_level_problem(const std::string& text);
// Why `name` cannot name a device, as a sentence that quotes it; empty when it can.
std::string device_name_problem(const std::string& name);

}  // namespace kelvra::station
