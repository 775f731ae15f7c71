// The bench host's settings: the host's JSON configuration ("appSetting", "thresholdSetting")
// plus our own "host" object for the serial line, the exchange timing and the host's maps.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "hostkit/bounds.h"
#include "hostkit/input_error.h"
#include "serial/port_options.h"

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
inline constexpr kelvra::hostkit::Bounds kCommLostAfterMsBounds{100, 86400000};
inline constexpr kelvra::hostkit::Bounds kCommLostLevelBounds{0, 10};

using serial::Parity;
using serial::SerialOptions;

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

// Where the run publishes for a fleet: an MQTT broker. Off unless a URL is given.
struct MqttSettings {
  std::string url;  // "mqtt://host:port" or "mqtts://host:port"; empty: no broker
  std::string host;
  std::uint16_t port = 1883;
  bool tls = false;
  std::string client_id;  // empty: "kelvra-SITE"; each device's connection adds "-DEVICE"
  std::string username;
  std::string password_file;  // the password is the file's first line
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
  std::string prefix = "kelvra";
  std::string site;  // empty: the host name
  int qos = 1;
  std::chrono::seconds keepalive{30};
  std::string discovery_prefix = "homeassistant";
  bool control = false;  // control requests over MQTT
};

// How long history keeps what it stores (host keys "keep_days", "max_db_mb",
// "keep_events_days", "keep_aggregate_days").
struct HistoryRetention {
  std::optional<int> keep_days;  // raw records; unset: no limit by age
  std::optional<int> max_db_mb;  // unset: no limit by size
  int keep_events_days = 365;
  int keep_aggregate_days = 3650;
};

struct RunSettings {
  std::vector<DeviceSettings> devices;
  MqttSettings mqtt;
  HistoryRetention history;
  // The HTTP server's "ADDR:PORT" (empty: none) and the file of its control token (empty: no
  // control over HTTP); the run's --http options override them.
  std::string http;
  std::string http_token_file;
  // Mistakes that do not stop a run, each naming the setting and what the device makes of it.
  std::vector<std::string> warnings;
  // What the device will do where the settings say nothing ("no appSetting: ...").
  std::vector<std::string> notes;
};

// Sets url, host, port and tls from "mqtt://host[:port]" or "mqtts://host[:port]" (IPv6 in
// brackets); throws SettingsError naming `field`.
void parse_mqtt_url(const std::string& field, const std::string& url, MqttSettings& mqtt);
// The "mqtt" settings object, every member checked; throws SettingsError naming the member.
MqttSettings parse_mqtt_settings(const Json::Value& object);

// Settings of a bench without a file: one device at address 1 with a DC unit, supply-loss rule.
RunSettings default_settings();
// Throws SettingsError naming the field ("host.devices[1].address: ...").
RunSettings parse_settings(const Json::Value& root);
RunSettings load_settings_file(const std::string& path);
// Throws SettingsError listing the warnings when there are any: --strict.
void refuse_warnings(const RunSettings& settings);
// Points every device at `port`; throws SettingsError unless there is one device or all name the
// same port.
void override_port(RunSettings& settings, const std::string& port);

}  // namespace kelvra::line
