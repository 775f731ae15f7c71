// Checks of a run's settings against the machine, made before anything starts; each throws
// RunConfigError naming the device or the member.
#pragma once

#include <vector>

#include "run/settings.h"

namespace kelvra::run {

// The device's rate is one a port can take, and its port, when it exists, is a terminal: not a
// directory, regular file, FIFO, socket, block device or other character device. A port that
// does not exist or cannot be opened yet is left to the line, which retries it.
void check_port(const DeviceSettings& device);
// No two devices poll one address on one port, whatever names the settings give the port.
void check_one_device_per_address(const std::vector<DeviceSettings>& devices);
// Every file the broker settings name can be opened for reading.
void check_mqtt_files(const MqttSettings& mqtt);

}  // namespace kelvra::run
