#include "line/settings.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <utility>

#include <json/reader.h>

#include "device/pmbuspower_419.h"
#include "hostkit/input_file.h"
#include "record/kelvra_419_fields.h"

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
    "comm_lost_after_ms",
    "comm_lost_level",
    "set_value_min",
    "set_value_max",
    "threshold_levels",
    "threshold_values",
    "analog_signals",
    "appSetting",
};

// The rates a serial port can be set to.
constexpr unsigned kLineRates[] = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

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
    bool known = allow_devices && key == "devices";
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
        checked_baud(field("baud"), number_at(object["baud"], field("baud"), 50, 4000000));
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
  if (object.isMember("comm_lost_after_ms")) {
    device.comm_lost_after = std::chrono::milliseconds(
        number_at(object["comm_lost_after_ms"], field("comm_lost_after_ms"), 100, 86400000));
  }
  if (object.isMember("comm_lost_level")) {
    device.comm_lost_level =
        static_cast<int>(number_at(object["comm_lost_level"], field("comm_lost_level"), 0, 10));
  }
  for (const auto& [key, bound] :
       {std::pair<const char*, double*>{"set_value_min", &device.set_value_min},
        {"set_value_max", &device.set_value_max}}) {
    if (!object.isMember(key)) continue;
    const Json::Value& value = object[key];
    if (!value.isNumeric() || !std::isfinite(value.asDouble()) || value.asDouble() < 0 ||
        value.asDouble() > 1000) {
      throw SettingsError(field(key) + ": expected a number of volts from 0 to 1000");
    }
    *bound = value.asDouble();
  }
  if (device.set_value_min > device.set_value_max) {
    char text[96];
    std::snprintf(text, sizeof text, ": %g lies above set_value_max %g", device.set_value_min,
                  device.set_value_max);
    throw SettingsError(field("set_value_min") + text);
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

}  // namespace

unsigned checked_baud(const std::string& field, long baud) {
  for (const unsigned rate : kLineRates) {
    if (static_cast<long>(rate) == baud) return rate;
  }
  throw SettingsError(field + ": " + std::to_string(baud) +
                      " is not a rate a serial port can be set to (e.g. 9600, 19200, 115200)");
}

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

std::chrono::milliseconds comm_lost_after_default(const DeviceSettings& device) {
  return device.response_timeout * 3 + std::chrono::milliseconds(2000) + device.poll_interval;
}

std::chrono::milliseconds comm_lost_after(const DeviceSettings& device) {
  return device.comm_lost_after.value_or(comm_lost_after_default(device));
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
  const bool several = settings.devices.size() > 1;
  for (std::size_t i = 0; i < settings.devices.size(); ++i) {
    const DeviceSettings& device = settings.devices[i];
    const std::string context = several ? "host.devices[" + std::to_string(i) + "]." : "host.";
    const Json::Value& app = device.device_json["appSetting"];
    const std::string app_context = several ? device.name + ": appSetting." : "appSetting.";
    if (app.isObject()) {
      check_app_settings(app, app_context, settings.warnings);
    }
    check_rule_names(device, context, settings.warnings);
  }
  if (!root.isMember("appSetting") &&
      !settings.devices.front().device_json.isMember("appSetting")) {
    settings.notes.push_back(
        "no \"appSetting\": the device polls the AC distribution and the rectifiers, not the DC "
        "distribution (has_ac 1, has_dc 0), with the supply-loss rule (b_mode 1)");
  }
  return settings;
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
