#include "line/settings.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <set>
#include <utility>

#include <json/reader.h>

#include "hostkit/input_file.h"

namespace kelvra::line {
namespace {

constexpr std::size_t kMaxSettingsFileBytes = 1024 * 1024;

const char* const kDeviceKeys[] = {
    "name",
    "port",
    "baud",
    "data_bits",
    "parity",
    "stop_bits",
    "address",
    "ver",
    "data_id",
    "response_timeout_ms",
    "poll_interval_ms",
    "threshold_levels",
    "threshold_values",
    "analog_signals",
    "appSetting",
};

long number_at(const Json::Value& value, const std::string& field, long min, long max) {
  if (value.isIntegral()) {
    if (!value.isInt64() || value.asInt64() < min || value.asInt64() > max) {
      throw SettingsError(
          field + ": expected a number from " + std::to_string(min) + " to " + std::to_string(max) +
          ", got " +
          (value.isInt64() ? std::to_string(value.asInt64()) : std::to_string(value.asUInt64())));
    }
    return static_cast<long>(value.asInt64());
  }
  if (value.isString()) return parse_bounded(field, value.asString(), min, max);
  throw SettingsError(field + ": expected a number");
}

std::string text_at(const Json::Value& value, const std::string& field) {
  if (!value.isString()) throw SettingsError(field + ": expected a text");
  return value.asString();
}

void reject_unknown(const Json::Value& object, const std::string& context, bool allow_devices) {
  for (const std::string& key : object.getMemberNames()) {
    bool known = allow_devices && (key == "devices" || key == "http" || key == "http_token_file");
    for (const char* allowed : kDeviceKeys) known = known || key == allowed;
    if (!known) throw SettingsError(context + "." + key + ": unknown setting");
  }
}

// Applies the "host" keys present in `object` (the host object or one device entry).
void apply_host_keys(const Json::Value& object, const std::string& context,
                     DeviceSettings& device) {
  const auto field = [&](const char* key) { return context + "." + key; };
  if (object.isMember("name")) device.name = text_at(object["name"], field("name"));
  if (object.isMember("port")) device.port = text_at(object["port"], field("port"));
  if (object.isMember("baud")) {
    device.serial.baud =
        static_cast<unsigned>(number_at(object["baud"], field("baud"), 50, 4000000));
  }
  if (object.isMember("data_bits")) {
    device.serial.data_bits =
        static_cast<unsigned>(number_at(object["data_bits"], field("data_bits"), 5, 8));
  }
  if (object.isMember("stop_bits")) {
    device.serial.stop_bits =
        static_cast<unsigned>(number_at(object["stop_bits"], field("stop_bits"), 1, 2));
  }
  if (object.isMember("parity")) {
    const std::string parity = text_at(object["parity"], field("parity"));
    if (parity == "none") {
      device.serial.parity = Parity::kNone;
    } else if (parity == "odd") {
      device.serial.parity = Parity::kOdd;
    } else if (parity == "even") {
      device.serial.parity = Parity::kEven;
    } else {
      throw SettingsError(field("parity") + ": expected none, odd or even, got \"" + parity + "\"");
    }
  }
  if (object.isMember("address")) {
    device.address =
        static_cast<std::uint8_t>(number_at(object["address"], field("address"), 1, 254));
  }
  if (object.isMember("ver")) {
    device.ver = static_cast<std::uint8_t>(number_at(object["ver"], field("ver"), 0x20, 0x21));
  }
  if (object.isMember("data_id")) {
    device.data_id =
        static_cast<std::uint32_t>(number_at(object["data_id"], field("data_id"), 0, 0xFFFFFFFF));
  }
  if (object.isMember("response_timeout_ms")) {
    device.response_timeout = std::chrono::milliseconds(
        number_at(object["response_timeout_ms"], field("response_timeout_ms"), 10, 60000));
  }
  if (object.isMember("poll_interval_ms")) {
    device.poll_interval = std::chrono::milliseconds(
        number_at(object["poll_interval_ms"], field("poll_interval_ms"), 10, 3600000));
  }
  if (object.isMember("threshold_levels")) {
    const Json::Value& levels = object["threshold_levels"];
    if (!levels.isObject()) throw SettingsError(field("threshold_levels") + ": expected an object");
    for (const std::string& key : levels.getMemberNames()) {
      device.threshold_levels[key] = static_cast<int>(
          number_at(levels[key], field("threshold_levels") + "." + key, -1000000, 1000000));
    }
  }
  if (object.isMember("threshold_values")) {
    const Json::Value& values = object["threshold_values"];
    if (!values.isObject()) throw SettingsError(field("threshold_values") + ": expected an object");
    for (const std::string& key : values.getMemberNames()) {
      if (!values[key].isNumeric() || std::fabs(values[key].asDouble()) > FLT_MAX) {
        throw SettingsError(field("threshold_values") + "." + key +
                            ": expected a number within the range of a float");
      }
      device.threshold_values[key] = values[key].asFloat();
    }
  }
  if (object.isMember("analog_signals")) {
    const Json::Value& names = object["analog_signals"];
    if (!names.isArray()) throw SettingsError(field("analog_signals") + ": expected an array");
    device.analog_signals.clear();
    for (Json::ArrayIndex i = 0; i < names.size(); ++i) {
      device.analog_signals.push_back(
          text_at(names[i], field("analog_signals") + "[" + std::to_string(i) + "]"));
    }
  }
}

// The file's object for one device: its own "appSetting" members override the file's.
Json::Value device_json_of(const Json::Value& root, const Json::Value& entry,
                           const std::string& context) {
  Json::Value merged = root;
  merged.removeMember("host");
  if (entry.isMember("appSetting")) {
    const Json::Value& own = entry["appSetting"];
    if (!own.isObject()) throw SettingsError(context + ".appSetting: expected an object");
    if (!merged["appSetting"].isObject()) merged["appSetting"] = Json::Value(Json::objectValue);
    for (const std::string& key : own.getMemberNames()) merged["appSetting"][key] = own[key];
  }
  return merged;
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

}  // namespace

long parse_bounded(const std::string& field, const std::string& text, long min, long max) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || number < min || number > max) {
    throw SettingsError(field + ": expected a number from " + std::to_string(min) + " to " +
                        std::to_string(max) + ", got \"" + text + "\"");
  }
  return number;
}

RunSettings default_settings() {
  Json::Value root(Json::objectValue);
  root["appSetting"]["has_ac"] = "1";
  root["appSetting"]["has_dc"] = "1";
  root["appSetting"]["b_mode"] = "1";
  return parse_settings(root);
}

RunSettings parse_settings(const Json::Value& root) {
  if (!root.isObject()) throw SettingsError("top level: expected an object");
  if (root.isMember("appSetting") && !root["appSetting"].isObject()) {
    throw SettingsError("appSetting: expected an object");
  }
  const Json::Value& host = root["host"];
  if (!host.isNull() && !host.isObject()) throw SettingsError("host: expected an object");

  DeviceSettings common;
  common.name = "power1";
  if (host.isObject()) {
    reject_unknown(host, "host", true);
    apply_host_keys(host, "host", common);
  }
  RunSettings settings;
  if (host.isMember("http")) settings.http = text_at(host["http"], "host.http");
  if (host.isMember("http_token_file")) {
    settings.http_token_file = text_at(host["http_token_file"], "host.http_token_file");
  }
  const Json::Value& entries = host.isObject() ? host["devices"] : Json::Value::nullSingleton();
  if (entries.isNull()) {
    common.device_json = device_json_of(root, host.isObject() ? host : Json::Value(), "host");
    settings.devices.push_back(common);
  } else {
    if (!entries.isArray() || entries.empty()) {
      throw SettingsError("host.devices: expected a non-empty array of device objects");
    }
    for (Json::ArrayIndex i = 0; i < entries.size(); ++i) {
      const std::string context = "host.devices[" + std::to_string(i) + "]";
      const Json::Value& entry = entries[i];
      if (!entry.isObject()) throw SettingsError(context + ": expected an object");
      reject_unknown(entry, context, false);
      DeviceSettings device = common;
      device.name = "power" + std::to_string(i + 1);
      device.data_id = common.data_id + i;
      apply_host_keys(entry, context, device);
      device.device_json = device_json_of(root, entry, context);
      settings.devices.push_back(std::move(device));
    }
  }
  check_distinct(settings);
  return settings;
}

RunSettings load_settings_file(const std::string& path) {
  std::string text;
  try {
    text = kelvra::hostkit::read_input_file(path, kMaxSettingsFileBytes);
  } catch (const kelvra::hostkit::InputFileError& error) {
    throw SettingsError(path + ": cannot read the settings file: " + error.what());
  }
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  Json::Value root;
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
  } catch (const Json::Exception& error) {
    errors = error.what();  // nesting beyond the reader's stack limit
  }
  if (!parsed) throw SettingsError(path + ": not valid JSON: " + errors);
  try {
    return parse_settings(root);
  } catch (const SettingsError& error) {
    throw SettingsError(path + ": " + error.what());
  }
}

}  // namespace kelvra::line
