// One device's settings as a station uses them: its port and line options, exchange timing,
// control limits, threshold rules and what its InitSetting receives.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "hostkit/bounds.h"
#include "hostkit/input_error.h"
#include "serial/port_options.h"

namespace kelvra::station {

// A refused settings file or value; the message names the file or the field.
class SettingsError : public kelvra::hostkit::InputError {
 public:
  using kelvra::hostkit::InputError::InputError;
};

// Bounds of the "host" keys, shared with the command line's options of the same meaning.
inline constexpr kelvra::hostkit::Bounds kDataBitsBounds{5, 8};
inline constexpr kelvra::hostkit::Bounds kStopBitsBounds{1, 2};
inline constexpr kelvra::hostkit::Bounds kDataIdBounds{0, 0xFFFFFFFF};
inline constexpr kelvra::hostkit::Bounds kResponseTimeoutMsBounds{10, 60000};
inline constexpr kelvra::hostkit::Bounds kPollIntervalMsBounds{10, 3600000};
inline constexpr kelvra::hostkit::Bounds kThresholdLevelBounds{-1000000, 1000000};
inline constexpr kelvra::hostkit::Bounds kCommLostAfterMsBounds{100, 86400000};
inline constexpr kelvra::hostkit::Bounds kCommLostLevelBounds{0, 10};

using serial::Parity;
using serial::SerialOptions;

// The device starts a round at most this often, whatever the poll interval (whole seconds of
// its local clock).
constexpr std::chrono::milliseconds kDeviceRoundSpacing{2000};

struct DeviceSettings {
  std::string name;
  std::string port;  // empty: the built-in simulator
  SerialOptions serial;
  std::uint8_t address = 1;
  std::uint8_t ver = 0x20;
  std::uint32_t data_id = 1;
  std::chrono::milliseconds response_timeout{1000};
  std::chrono::milliseconds poll_interval{1000};
  // No completed round for this long raises COMM_LOST; unset: comm_lost_after_default.
  std::optional<std::chrono::milliseconds> comm_lost_after;
  int comm_lost_level = 1;
  // The range a control's "SetValue" must lie in, volts, unless forced.
  double set_value_min = 40.0;
  double set_value_max = 60.0;
  std::map<std::string, int> threshold_levels;
  std::map<std::string, float> threshold_values;
  // Record fields (as `decode` names them) reported as analog signals every round.
  std::vector<std::string> analog_signals;
  // What the device's InitSetting receives: the file with this device's "appSetting" merged in.
  Json::Value device_json;
};

// Three response timeouts, the device's 2 s spacing of rounds and one poll interval, on which a
// round can start.
std::chrono::milliseconds comm_lost_after_default(const DeviceSettings& device);
// The device's communication-lost time: its own setting or the default.
std::chrono::milliseconds comm_lost_after(const DeviceSettings& device);

}  // namespace kelvra::station
