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

#include "run/modbus_settings.h"
#include "run/mqtt_deadbands.h"
#include "run/site_server_settings.h"
#include "station/device_settings.h"

namespace kelvra::run {

using station::DeviceSettings;
using station::SettingsError;

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
  // A device without an acknowledged position starts at its first round stored this recently.
  std::chrono::hours replay_window{24};
  // Readings are published when they move by their deadband, the whole state on connecting and
  // this often (0: the whole state every round, and nothing by reading).
  std::chrono::seconds full_state{600};
  Deadbands deadbands;  // overrides of the field table's deadbands
};

// How long history keeps what it stores and how often it commits (host keys "keep_days",
// "max_db_mb", "keep_events_days", "keep_aggregate_days", "commit_interval_s").
struct HistoryRetention {
  std::optional<int> keep_days = 3;  // raw records (their aggregates are kept longer)
  std::optional<int> max_db_mb;      // unset: no limit by size
  int keep_events_days = 365;
  int keep_aggregate_days = 3650;        // hourly aggregates, the coarsest tier
  std::optional<int> commit_interval_s;  // unset: the store's own interval (60 s)
};

struct RunSettings {
  std::vector<DeviceSettings> devices;
  MqttSettings mqtt;
  SnmpSettings snmp;
  ModbusSettings modbus;
  UpsServerSettings ups_server;
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
// Points every device at `port`; throws SettingsError for an empty port, or unless there is one
// device or all name the same port.
void override_port(RunSettings& settings, const std::string& port);

}  // namespace kelvra::run
