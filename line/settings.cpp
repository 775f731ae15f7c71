#include "line/settings.h"

#include <cfloat>
#include <cmath>
#include <set>
#include <utility>

#include "hostkit/json_input.h"
#include "hostkit/serial_rates.h"

namespace kelvra::line {
namespace {

using kelvra::hostkit::JsonNode;
using kelvra::hostkit::JsonObjectReader;

constexpr kelvra::hostkit::JsonLimits kSettingsLimits{1024 * 1024, 32};

template <class T>
T integer_of(const JsonNode& node, const kelvra::hostkit::Bounds& bounds) {
  return static_cast<T>(node.integer(bounds));
}

// Applies the "host" keys present in `object` (the host object or one device entry).
void apply_host_keys(JsonObjectReader& object, DeviceSettings& device) {
  if (auto name = object.find("name")) device.name = name->text();
  if (auto port = object.find("port")) device.port = port->text();
  if (auto baud = object.find("baud")) {
    if (!baud->value().isString() && !baud->value().isIntegral()) {
      baud->fail("expected one of the rates " + kelvra::hostkit::serial_rates_text());
    }
    device.serial.baud = kelvra::hostkit::parse_serial_rate(baud->path(), baud->value().asString());
  }
  if (auto bits = object.find("data_bits")) {
    device.serial.data_bits = integer_of<unsigned>(*bits, kDataBitsBounds);
  }
  if (auto bits = object.find("stop_bits")) {
    device.serial.stop_bits = integer_of<unsigned>(*bits, kStopBitsBounds);
  }
  if (auto parity_node = object.find("parity")) {
    const std::string parity = parity_node->text();
    if (parity == "none") {
      device.serial.parity = Parity::kNone;
    } else if (parity == "odd") {
      device.serial.parity = Parity::kOdd;
    } else if (parity == "even") {
      device.serial.parity = Parity::kEven;
    } else {
      parity_node->fail("expected none, odd or even, got \"" + parity + "\"");
    }
  }
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

RunSettings default_settings() {
  Json::Value root(Json::objectValue);
  root["appSetting"]["has_ac"] = "1";
  root["appSetting"]["has_dc"] = "1";
  root["appSetting"]["b_mode"] = "1";
  return parse_settings(root);
}

RunSettings parse_settings(const Json::Value& root) {
  try {
    // Members beside "host" are the device's own settings, read by the device.
    JsonObjectReader top = JsonNode(root, "").object();
    if (auto app_setting = top.find("appSetting")) app_setting->object();
    Json::Value file_json = root;
    file_json.removeMember("host");

    DeviceSettings common;
    common.name = "power1";
    RunSettings settings;
    std::optional<JsonNode> host_node = top.find("host");
    if (!host_node) {
      common.device_json = file_json;
      settings.devices.push_back(common);
      return settings;
    }
    JsonObjectReader host = host_node->object();
    apply_host_keys(host, common);
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
    return settings;
  } catch (const SettingsError&) {
    throw;
  } catch (const kelvra::hostkit::InputError& error) {
    throw SettingsError(error.what());
  }
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

}  // namespace kelvra::line
