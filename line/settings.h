// The bench host's settings: the host's JSON configuration ("appSetting", "thresholdSetting")
// plus our own "host" object for the serial line, the exchange timing and the host's maps.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "hostkit/bounds.h"
#include "hostkit/input_error.h"

namespace kelvra::line {

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

enum class Parity { kNone, kOdd, kEven };

struct SerialOptions {
  unsigned baud = 9600;
  unsigned data_bits = 8;
  Parity parity = Parity::kNone;
  unsigned stop_bits = 1;
};

struct DeviceSettings {
  std::string name;
  std::string port;  // empty: the built-in simulator
  SerialOptions serial;
  std::uint8_t address = 1;
  std::uint8_t ver = 0x20;
  std::uint32_t data_id = 1;
  std::chrono::milliseconds response_timeout{1000};
  std::chrono::milliseconds poll_interval{1000};
  std::map<std::string, int> threshold_levels;
  std::map<std::string, float> threshold_values;
  // Record fields (as `decode` names them) reported as analog signals every round.
  std::vector<std::string> analog_signals;
  // What the device's InitSetting receives: the file with this device's "appSetting" merged in.
  Json::Value device_json;
};

struct RunSettings {
  std::vector<DeviceSettings> devices;
};

// Settings of a bench without a file: one device at address 1 with a DC unit, supply-loss rule.
RunSettings default_settings();
// Throws SettingsError naming the field ("host.devices[1].address: ...").
RunSettings parse_settings(const Json::Value& root);
RunSettings load_settings_file(const std::string& path);

}  // namespace kelvra::line
