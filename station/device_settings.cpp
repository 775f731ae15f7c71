#include "station/device_settings.h"

namespace kelvra::station {

std::chrono::milliseconds comm_lost_after_default(const DeviceSettings& device) {
  return device.response_timeout * 3 + kDeviceRoundSpacing + device.poll_interval;
}

std::chrono::milliseconds comm_lost_after(const DeviceSettings& device) {
  return device.comm_lost_after.value_or(comm_lost_after_default(device));
}

}  // namespace kelvra::station
