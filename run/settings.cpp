#include "run/settings.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <set>
#include <tuple>
#include <utility>

#include "device/pmbuspower_419.h"
#include "hostkit/json_input.h"
#include "hostkit/json_output.h"
#include "hostkit/serial_rates.h"
#include "record/kelvra_419_fields.h"
#include "serial/port_address.h"
#include "station/device_name.h"

namespace kelvra::run {

using station::comm_lost_after;
using station::DeviceSettings;
using station::kCommLostAfterMsBounds;
using station::kCommLostLevelBounds;
using station::kDataBitsBounds;
using station::kDataIdBounds;
using station::kPollIntervalMsBounds;
using station::kResponseTimeoutMsBounds;
using station::kStopBitsBounds;
using station::kThresholdLevelBounds;
using station::Parity;
using station::SerialOptions;
using station::SettingsError;
namespace {

using kelvra::hostkit::JsonNode;
using kelvra::hostkit::JsonObjectReader;

constexpr kelvra::hostkit::JsonLimits kSettingsLimits{1024 * 1024, 32};

template <class T>
T integer_of(const JsonNode& node, const kelvra::hostkit::Bounds& bounds) {
  return static_cast<T>(node.integer(bounds));
}

// The serial keys present in `object`: baud, data_bits, stop_bits, parity.
void apply_serial_keys(JsonObjectReader& object, SerialOptions& serial) {
  if (auto baud = object.find("baud")) {
    if (!baud->value().isString() && !baud->value().isIntegral()) {
      baud->fail("expected one of the rates " + kelvra::hostkit::serial_rates_text());
    }
    serial.baud = kelvra::hostkit::parse_serial_rate(baud->path(), baud->value().asString());
  }
  if (auto bits = object.find("data_bits")) {
    serial.data_bits = integer_of<unsigned>(*bits, kDataBitsBounds);
  }
  if (auto bits = object.find("stop_bits")) {
    serial.stop_bits = integer_of<unsigned>(*bits, kStopBitsBounds);
  }
  if (auto parity_node = object.find("parity")) {
    const std::string parity = parity_node->text();
    if (parity == "none") {
      serial.parity = Parity::kNone;
    } else if (parity == "odd") {
      serial.parity = Parity::kOdd;
    } else if (parity == "even") {
      serial.parity = Parity::kEven;
    } else {
      parity_node->fail("expected none, odd or even, got \"" + parity + "\"");
    }
  }
}

// The keys present in `object` that address the device and time its exchanges.
void apply_link_keys(JsonObjectReader& object, DeviceSettings& device) {
  if (auto address = object.find("address")) {
    device.address = integer_of<std::uint8_t>(*address, kelvra::hostkit::kDeviceAddressBounds);
  }
  if (auto ver = object.find("ver")) {
    device.ver = integer_of<std::uint8_t>(*ver, kelvra::hostkit::kProtocolVersionBounds);
  }
  if (auto id = object.find("data_id"))
    device.data_id = integer_of<std::uint32_t>(*id, kDataIdBounds);
  if (auto timeout = object.find("response_timeout_ms")) {
    device.response_timeout = std::chrono::milliseconds(timeout->integer(kResponseTimeoutMsBounds));
  }
  if (auto interval = object.find("poll_interval_ms")) {
    device.poll_interval = std::chrono::milliseconds(interval->integer(kPollIntervalMsBounds));
  }
  if (auto after = object.find("comm_lost_after_ms")) {
    device.comm_lost_after = std::chrono::milliseconds(after->integer(kCommLostAfterMsBounds));
  }
  if (auto level = object.find("comm_lost_level")) {
    device.comm_lost_level = integer_of<int>(*level, kCommLostLevelBounds);
  }
}

// set_value_min and set_value_max present in `object` (volts, 0 to 1000); the minimum must not
// lie above the maximum.
void apply_set_value_keys(JsonObjectReader& object, DeviceSettings& device) {
  for (const auto& [key, bound] :
       {std::pair<const char*, double*>{"set_value_min", &device.set_value_min},
        {"set_value_max", &device.set_value_max}}) {
    auto node = object.find(key);
    if (!node) continue;
    const Json::Value& value = node->value();
    if (!value.isNumeric() || value.isBool() || !std::isfinite(value.asDouble()) ||
        value.asDouble() < 0 || value.asDouble() > 1000) {
      node->fail("expected a number of volts from 0 to 1000");
    }
    *bound = value.asDouble();
  }
  if (device.set_value_min > device.set_value_max) {
    char text[96];
    std::snprintf(text, sizeof text, "%g lies above set_value_max %g", device.set_value_min,
                  device.set_value_max);
    const std::string& path = object.path();
    throw SettingsError((path.empty() ? "" : path + ".") + "set_value_min: " + text);
  }
}

// The rule keys present in `object`: threshold_levels, threshold_values, analog_signals.
void apply_rule_keys(JsonObjectReader& object, DeviceSettings& device) {
  if (auto levels = object.find("threshold_levels")) {
    for (const auto& [key, level] : levels->object().members()) {
      device.threshold_levels[key] = integer_of<int>(level, kThresholdLevelBounds);
    }
  }
  if (auto values = object.find("threshold_values")) {
    for (const auto& [key, value] : values->object().members()) {
      if (!value.value().isNumeric() || value.value().isBool() ||
          std::fabs(value.value().asDouble()) > FLT_MAX) {
        value.fail("expected a number within the range of a float");
      }
      device.threshold_values[key] = value.value().asFloat();
    }
  }
  if (auto names = object.find("analog_signals")) {
    device.analog_signals.clear();
    for (const JsonNode& name : names->array()) device.analog_signals.push_back(name.text());
  }
}

// Applies the "host" keys present in `object` (the host object or one device entry).
void apply_host_keys(JsonObjectReader& object, DeviceSettings& device) {
  if (auto name = object.find("name")) {
    device.name = name->text();
    const std::string problem = station::device_name_problem(device.name);
    if (!problem.empty()) name->fail(problem);
  }
  if (auto port = object.find("port")) {
    device.port = port->text();
    if (device.port.empty()) port->fail("empty; leave it out to poll the built-in simulator");
    try {
      serial::parse_port_address(device.port);
    } catch (const kelvra::hostkit::InputError& error) {
      port->fail(error.what());
    }
  }
  apply_serial_keys(object, device.serial);
  apply_link_keys(object, device);
  apply_set_value_keys(object, device);
  apply_rule_keys(object, device);
}

// The host object's own keys for how long history keeps what it stores.
void apply_history_keys(JsonObjectReader& host, HistoryRetention& history) {
  constexpr kelvra::hostkit::Bounds kDays{1, 36500};
  constexpr kelvra::hostkit::Bounds kMegabytes{1, 1000000};
  constexpr kelvra::hostkit::Bounds kCommitIntervalSeconds{1, 3600};
  if (auto days = host.find("keep_days")) history.keep_days = integer_of<int>(*days, kDays);
  if (auto size = host.find("max_db_mb")) history.max_db_mb = integer_of<int>(*size, kMegabytes);
  if (auto days = host.find("keep_events_days")) {
    history.keep_events_days = integer_of<int>(*days, kDays);
  }
  if (auto days = host.find("keep_aggregate_days")) {
    history.keep_aggregate_days = integer_of<int>(*days, kDays);
  }
  if (auto seconds = host.find("commit_interval_s")) {
    history.commit_interval_s = integer_of<int>(*seconds, kCommitIntervalSeconds);
  }
}

// The file's object for a device with the "appSetting" members of object (the host object or a
// device entry) merged over those it holds.
Json::Value merge_app_setting(Json::Value merged, JsonObjectReader& object) {
  if (auto own = object.find("appSetting")) {
    JsonObjectReader members = own->object();
    if (!merged["appSetting"].isObject()) merged["appSetting"] = Json::Value(Json::objectValue);
    for (const auto& [key, value] : members.members()) merged["appSetting"][key] = value.value();
  }
  return merged;
}

struct AppSetting {
  const char* key;
  bool flag;            // read as "not 0"; otherwise as a number
  const char* meaning;  // flag: what is on or off; number: what it sets
};

// The "appSetting" keys the device reads, as the device reads them.
constexpr AppSetting kAppSettings[] = {
    {"has_ac", true, "AC distribution"},
    {"has_dc", true, "DC distribution"},
    {"has_a", true, "phase A"},
    {"has_b", true, "phase B"},
    {"has_c", true, "phase C"},
    {"no_dc_number", false, "DC response format (-1 found out, 1 without unit count)"},
    {"dc_i_adjust", false, "DC current factor"},
    {"b_mode", false, "rule set (1 supply loss, 2 thresholds, 3 neither)"},
};

bool is_digit_string(const std::string& text) {
  std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
  if (start == text.size()) return false;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// Warnings for the "appSetting" of one device: values the device reads otherwise than they look,
// and keys it never reads.
void check_app_settings(const Json::Value& app, const std::string& context,
                        std::vector<std::string>& warnings) {
  for (const std::string& key : app.getMemberNames()) {
    const AppSetting* known = nullptr;
    for (const AppSetting& setting : kAppSettings) {
      if (key == setting.key) known = &setting;
    }
    const std::string field = context + key;
    if (known == nullptr) {
      warnings.push_back(field + ": unknown key; the device never reads it");
      continue;
    }
    const Json::Value& value = app[key];
    if (value.isObject() || value.isArray() || value.isNull()) {
      warnings.push_back(field + ": not a text; the device takes it as absent");
      continue;
    }
    const std::string text = value.asString();
    if (is_digit_string(text) && (value.isString() || value.isIntegral())) continue;
    const int read = text_to_int(text);
    std::string reading = field + ": " + (value.isString() ? "\"" + text + "\"" : text) +
                          " reads as " + std::to_string(read) + ": " + known->meaning;
    if (known->flag) reading += read != 0 ? " on" : " off";
    warnings.push_back(reading);
  }
}

// Warnings for threshold keys no rule or analog signal has, and analog signals no field has.
void check_rule_names(const DeviceSettings& device, const std::string& context,
                      std::vector<std::string>& warnings) {
  const Json::Value& mobile = device.device_json["thresholdSetting"];
  const auto known_key = [&](const std::string& key) {
    for (const auto& rule : pmbuspower_rules::kThresholdRules) {
      if (key == rule.key) return true;
    }
    for (const std::string& name : device.analog_signals) {
      if (key == name) return true;
    }
    return mobile.isObject() && mobile.isMember(key);
  };
  for (const auto& [key, level] : device.threshold_levels) {
    if (!known_key(key)) {
      warnings.push_back(context + "threshold_levels." + key +
                         ": no rule or analog signal has this key; the device never reads it");
    }
  }
  for (const auto& [key, value] : device.threshold_values) {
    if (!known_key(key)) {
      warnings.push_back(context + "threshold_values." + key +
                         ": no rule or analog signal has this key; the device never reads it");
    }
  }
  for (const std::string& name : device.analog_signals) {
    if (!record::is_field_name(name)) {
      warnings.push_back(context + "analog_signals: \"" + name +
                         "\" is no field of the record; it is never reported");
    }
  }
}

void check_distinct(const RunSettings& settings) {
  std::set<std::pair<std::string, int>> lines;
  std::set<std::uint32_t> ids;
  std::set<std::string> names;
  for (std::size_t i = 0; i < settings.devices.size(); ++i) {
    const DeviceSettings& device = settings.devices[i];
    const std::string context = "host.devices[" + std::to_string(i) + "]";
    if (!device.port.empty() && !lines.emplace(device.port, device.address).second) {
      throw SettingsError(context + ".address: another device uses address " +
                          std::to_string(device.address) + " on " + device.port);
    }
    if (!ids.insert(device.data_id).second) {
      throw SettingsError(context + ".data_id: another device uses data id " +
                          std::to_string(device.data_id));
    }
    if (!names.insert(device.name).second) {
      throw SettingsError(context + ".name: another device is named \"" + device.name + "\"");
    }
  }
}

// A topic level: not empty, none of the levels' separator or wildcards, no control characters.
std::string topic_level_of(const JsonNode& node) {
  const std::string text = node.text();
  const std::string problem = station::topic_level_problem(text);
  if (!problem.empty()) {
    node.fail("expected a topic level, got " + kelvra::hostkit::json_text(Json::Value(text)) +
              ": " + problem);
  }
  return text;
}

MqttSettings read_mqtt(const JsonNode& node) {
  constexpr kelvra::hostkit::Bounds kQosBounds{1, 2};
  constexpr kelvra::hostkit::Bounds kKeepaliveBounds{5, 3600};
  constexpr kelvra::hostkit::Bounds kReplayWindowHoursBounds{1, 8760};
  constexpr kelvra::hostkit::Bounds kFullStateBounds{0, 86400};
  JsonObjectReader object = node.object();
  MqttSettings mqtt;
  const JsonNode url = object.require("url");
  parse_mqtt_url(url.path(), url.text(), mqtt);
  const std::pair<const char*, std::string*> texts[] = {
      {"client_id", &mqtt.client_id},         {"username", &mqtt.username},
      {"password_file", &mqtt.password_file}, {"ca_file", &mqtt.ca_file},
      {"cert_file", &mqtt.cert_file},         {"key_file", &mqtt.key_file}};
  for (const auto& [key, target] : texts) {
    if (auto member = object.find(key)) *target = member->text();
  }
  if (auto prefix = object.find("prefix")) mqtt.prefix = topic_level_of(*prefix);
  if (auto site = object.find("site")) mqtt.site = topic_level_of(*site);
  if (auto prefix = object.find("discovery_prefix"))
    mqtt.discovery_prefix = topic_level_of(*prefix);
  if (auto qos = object.find("qos")) mqtt.qos = static_cast<int>(qos->integer(kQosBounds));
  if (auto keepalive = object.find("keepalive_s")) {
    mqtt.keepalive = std::chrono::seconds(keepalive->integer(kKeepaliveBounds));
  }
  if (auto control = object.find("control")) mqtt.control = control->boolean();
  if (auto window = object.find("replay_window_h")) {
    mqtt.replay_window = std::chrono::hours(window->integer(kReplayWindowHoursBounds));
  }
  if (auto full = object.find("full_state_s")) {
    mqtt.full_state = std::chrono::seconds(full->integer(kFullStateBounds));
  }
  if (auto deadbands = object.find("deadbands")) mqtt.deadbands = read_deadbands(*deadbands);
  object.finish();
  if (mqtt.cert_file.empty() != mqtt.key_file.empty()) {
    throw SettingsError(node.path() +
                        ".cert_file: a client certificate needs both cert_file and key_file");
  }
  if (!mqtt.tls && !(mqtt.ca_file.empty() && mqtt.cert_file.empty())) {
    throw SettingsError(node.path() + ".ca_file: certificates need an mqtts:// URL");
  }
  return mqtt;
}

// Throws the SettingsError for the broker URL of `field`, saying why it is refused.
[[noreturn]] void refuse_url(const std::string& field, const std::string& url,
                             const std::string& why) {
  throw SettingsError(field + ": " + why +
                      " (expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT]), got \"" + url + "\"");
}

// "HOST[:PORT]" or "[ADDRESS][:PORT]", the URL after its scheme, as (host, port text); the port
// text is empty when none is given.
std::pair<std::string, std::string> host_and_port(const std::string& field, const std::string& url,
                                                  const std::string& rest) {
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos) refuse_url(field, url, "unclosed '['");
    const std::string after = rest.substr(close + 1);
    if (!after.empty() && after.front() != ':') refuse_url(field, url, "text after the address");
    if (after == ":") refuse_url(field, url, "empty port");
    return {rest.substr(1, close - 1), after.empty() ? "" : after.substr(1)};
  }
  const auto colon = rest.find(':');
  if (colon == std::string::npos) return {rest, ""};
  const std::string port_text = rest.substr(colon + 1);
  if (port_text.empty()) refuse_url(field, url, "empty port");
  return {rest.substr(0, colon), port_text};
}

}  // namespace

void parse_mqtt_url(const std::string& field, const std::string& url, MqttSettings& mqtt) {
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    mqtt.tls = false;
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    mqtt.tls = true;
    rest = url.substr(8);
  } else {
    refuse_url(field, url, "unknown scheme");
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find_first_of("/@?# ") != std::string::npos) {
    refuse_url(field, url, "no path, user or query allowed");
  }
  std::string port_text;
  std::tie(mqtt.host, port_text) = host_and_port(field, url, rest);
  if (mqtt.host.empty()) refuse_url(field, url, "no host");
  if (port_text.empty()) {
    mqtt.port = mqtt.tls ? 8883 : 1883;
  } else {
    try {
      mqtt.port = static_cast<std::uint16_t>(
          kelvra::hostkit::parse_bounded(field + " port", port_text, {1, 65535}));
    } catch (const kelvra::hostkit::InputError& error) {
      throw SettingsError(error.what());
    }
  }
  mqtt.url = url;
}

MqttSettings parse_mqtt_settings(const Json::Value& object) {
  try {
    return read_mqtt(JsonNode(object, "mqtt"));
  } catch (const kelvra::hostkit::InputError& error) {
    throw SettingsError(error.what());
  }
}

RunSettings default_settings() {
  Json::Value root(Json::objectValue);
  root["appSetting"]["has_ac"] = "1";
  root["appSetting"]["has_dc"] = "1";
  root["appSetting"]["b_mode"] = "1";
  return parse_settings(root);
}

namespace {

// The devices of the settings, without the warnings.
RunSettings parse_devices(const Json::Value& root) {
  try {
    // Members beside "host" are the device's own settings, read by the device.
    JsonObjectReader top = JsonNode(root, "").object();
    if (auto app_setting = top.find("appSetting")) app_setting->object();
    Json::Value file_json = root;
    file_json.removeMember("host");
    file_json.removeMember("mqtt");
    file_json.removeMember("snmp");
    file_json.removeMember("modbus");
    file_json.removeMember("ups_server");

    DeviceSettings common;
    common.name = "power1";
    RunSettings settings;
    if (auto mqtt = top.find("mqtt")) settings.mqtt = read_mqtt(*mqtt);
    if (auto snmp = top.find("snmp")) settings.snmp = read_snmp_settings(*snmp);
    if (auto modbus = top.find("modbus")) settings.modbus = read_modbus_settings(*modbus);
    if (auto ups = top.find("ups_server")) settings.ups_server = read_ups_server_settings(*ups);
    std::optional<JsonNode> host_node = top.find("host");
    if (!host_node) {
      common.device_json = file_json;
      settings.devices.push_back(common);
      return settings;
    }
    JsonObjectReader host = host_node->object();
    apply_host_keys(host, common);
    apply_history_keys(host, settings.history);
    if (auto http = host.find("http")) settings.http = http->text();
    if (auto token_file = host.find("http_token_file"))
      settings.http_token_file = token_file->text();
    const Json::Value host_json = merge_app_setting(file_json, host);
    if (std::optional<JsonNode> entries = host.find("devices")) {
      if (!entries->value().isArray() || entries->value().empty()) {
        entries->fail("expected a non-empty array of device objects");
      }
      const std::vector<JsonNode> items = entries->array();
      for (std::size_t i = 0; i < items.size(); ++i) {
        JsonObjectReader entry = items[i].object();
        DeviceSettings device = common;
        device.name = "power" + std::to_string(i + 1);
        device.data_id = common.data_id + static_cast<std::uint32_t>(i);
        apply_host_keys(entry, device);
        if (auto unit = entry.find("modbus_unit"))
          settings.modbus.units[device.name] = read_modbus_unit(*unit);
        device.device_json = merge_app_setting(host_json, entry);
        entry.finish();
        settings.devices.push_back(std::move(device));
      }
    } else {
      common.device_json = host_json;
      settings.devices.push_back(common);
    }
    host.finish();
    check_distinct(settings);
    assign_modbus_units(settings.devices, settings.modbus);
    return settings;
  } catch (const SettingsError&) {
    throw;
  } catch (const kelvra::hostkit::InputError& error) {
    throw SettingsError(error.what());
  }
}

}  // namespace

RunSettings parse_settings(const Json::Value& root) {
  RunSettings settings = parse_devices(root);
  const bool several = settings.devices.size() > 1;
  for (std::size_t i = 0; i < settings.devices.size(); ++i) {
    const DeviceSettings& device = settings.devices[i];
    const std::string context = several ? "host.devices[" + std::to_string(i) + "]." : "host.";
    const Json::Value& app = device.device_json["appSetting"];
    const std::string app_context = several ? device.name + ": appSetting." : "appSetting.";
    if (app.isObject()) check_app_settings(app, app_context, settings.warnings);
    check_rule_names(device, context, settings.warnings);
  }
  if (!settings.devices.front().device_json.isMember("appSetting")) {
    settings.notes.push_back(
        "no \"appSetting\": the device polls the AC distribution and the rectifiers, not the DC "
        "distribution (has_ac 1, has_dc 0), with the supply-loss rule (b_mode 1)");
  }
  return settings;
}

RunSettings load_settings_file(const std::string& path) {
  try {
    return parse_settings(
        kelvra::hostkit::read_json_file(path, kSettingsLimits, "the settings file"));
  } catch (const SettingsError& error) {
    throw SettingsError(path + ": " + error.what());
  } catch (const kelvra::hostkit::InputError& error) {
    throw SettingsError(error.what());
  }
}

void refuse_warnings(const RunSettings& settings) {
  if (settings.warnings.empty()) return;
  std::string text = "--strict: ";
  for (std::size_t i = 0; i < settings.warnings.size(); ++i) {
    text += (i ? "; " : "") + settings.warnings[i];
  }
  throw SettingsError(text);
}

void override_port(RunSettings& settings, const std::string& port) {
  if (port.empty())
    throw SettingsError("--port: empty; leave it out to poll the built-in simulator");
  try {
    serial::parse_port_address(port);
  } catch (const kelvra::hostkit::InputError& error) {
    throw SettingsError(std::string("--port: ") + error.what());
  }
  for (const DeviceSettings& device : settings.devices) {
    if (device.port.empty() || device.port != settings.devices.front().port) {
      if (settings.devices.size() == 1) break;
      std::string names;
      for (const DeviceSettings& each : settings.devices) {
        names += (names.empty() ? "" : ", ") + each.name;
      }
      throw SettingsError("--port: " + std::to_string(settings.devices.size()) +
                          " devices are configured (" + names +
                          ") and they do not share one port; give each its port in the settings");
    }
  }
  for (DeviceSettings& device : settings.devices) device.port = port;
}

}  // namespace kelvra::run
