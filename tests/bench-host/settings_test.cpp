#include <gtest/gtest.h>
#include <json/reader.h>

#include "bench-host/settings.h"

namespace {

using kelvra::bench::parse_settings;
using kelvra::bench::SettingsError;

Json::Value json_of(const std::string& text) {
  Json::Value value;
  Json::Reader().parse(text, value);
  return value;
}

TEST(BenchSettings, DefaultsPollOneDeviceWithTheSupplyLossRule) {
  const auto settings = kelvra::bench::default_settings();
  ASSERT_EQ(settings.devices.size(), 1u);
  const auto& device = settings.devices[0];
  EXPECT_EQ(device.name, "power1");
  EXPECT_EQ(device.address, 1);
  EXPECT_EQ(device.ver, 0x20);
  EXPECT_EQ(device.serial.baud, 9600u);
  EXPECT_EQ(device.serial.data_bits, 8u);
  EXPECT_EQ(device.serial.stop_bits, 1u);
  EXPECT_EQ(device.device_json["appSetting"]["b_mode"].asString(), "1");
  EXPECT_EQ(device.device_json["appSetting"]["has_ac"].asString(), "1");
  EXPECT_EQ(device.device_json["appSetting"]["has_dc"].asString(), "1");
}

TEST(BenchSettings, HostObjectAndDevicesInheritAndOverride) {
  const auto settings = parse_settings(json_of(R"({
    "appSetting": {"has_dc": "1", "b_mode": "2"},
    "thresholdSetting": {"220600120010": {"ID": "1"}},
    "host": {"port": "/dev/ttyUSB0", "baud": "19200", "parity": "even", "ver": "0x21",
             "response_timeout_ms": 400, "threshold_levels": {"220600120010": 2},
             "threshold_values": {"210600320010": 47.5}, "analog_signals": ["dc.out_v"],
             "devices": [{"address": 1},
                         {"name": "east", "address": 2, "data_id": 9,
                          "appSetting": {"has_ac": "0"}}]}})"));
  ASSERT_EQ(settings.devices.size(), 2u);
  const auto& first = settings.devices[0];
  const auto& second = settings.devices[1];
  EXPECT_EQ(first.name, "power1");
  EXPECT_EQ(first.data_id, 1u);
  EXPECT_EQ(second.name, "east");
  EXPECT_EQ(second.data_id, 9u);
  for (const auto* device : {&first, &second}) {
    EXPECT_EQ(device->port, "/dev/ttyUSB0");
    EXPECT_EQ(device->serial.baud, 19200u);
    EXPECT_EQ(device->serial.parity, kelvra::bench::Parity::kEven);
    EXPECT_EQ(device->ver, 0x21);
    EXPECT_EQ(device->response_timeout.count(), 400);
    EXPECT_EQ(device->threshold_levels.at("220600120010"), 2);
    EXPECT_EQ(device->threshold_values.at("210600320010"), 47.5f);
    EXPECT_EQ(device->analog_signals, std::vector<std::string>{"dc.out_v"});
    EXPECT_FALSE(device->device_json.isMember("host"));
    EXPECT_TRUE(device->device_json.isMember("thresholdSetting"));
    EXPECT_EQ(device->device_json["appSetting"]["b_mode"].asString(), "2");
  }
  EXPECT_EQ(first.address, 1);
  EXPECT_EQ(second.address, 2);
  EXPECT_FALSE(first.device_json["appSetting"].isMember("has_ac"));
  EXPECT_EQ(second.device_json["appSetting"]["has_ac"].asString(), "0");
}

TEST(BenchSettings, ErrorsNameTheField) {
  struct Case {
    const char* json;
    const char* message;
  } cases[] = {
      {R"([])", "top level: expected an object"},
      {R"({"appSetting": "1"})", "appSetting: expected an object"},
      {R"({"host": 3})", "host: expected an object"},
      {R"({"host": {"adress": 1}})", "host.adress: unknown setting"},
      {R"({"host": {"address": 255}})", "host.address: expected a number from 1 to 254, got 255"},
      {R"({"host": {"address": "0x1G"}})",
       "host.address: expected a number from 1 to 254, got \"0x1G\""},
      {R"({"host": {"ver": 34}})", "host.ver: expected a number from 32 to 33, got 34"},
      {R"({"host": {"parity": "mark"}})", "host.parity: expected none, odd or even, got \"mark\""},
      {R"({"host": {"port": 5}})", "host.port: expected a text"},
      {R"({"host": {"threshold_values": {"k": "high"}}})",
       "host.threshold_values.k: expected a number"},
      {R"({"host": {"analog_signals": ["dc.out_v", 3]}})",
       "host.analog_signals[1]: expected a text"},
      {R"({"host": {"devices": []}})",
       "host.devices: expected a non-empty array of device objects"},
      {R"({"host": {"devices": [{"address": 1}, {"address": 300}]}})",
       "host.devices[1].address: expected a number from 1 to 254, got 300"},
      {R"({"host": {"port": "/dev/x", "devices": [{"address": 3}, {"address": 3}]}})",
       "host.devices[1].address: another device uses address 3 on /dev/x"},
      {R"({"host": {"devices": [{"data_id": 4}, {"data_id": 4}]}})",
       "host.devices[1].data_id: another device uses data id 4"},
      {R"({"host": {"devices": [{"appSetting": []}]}})",
       "host.devices[0].appSetting: expected an object"},
  };
  for (const Case& c : cases) {
    try {
      parse_settings(json_of(c.json));
      ADD_FAILURE() << c.json << " was taken";
    } catch (const SettingsError& error) {
      EXPECT_STREQ(error.what(), c.message) << c.json;
    }
  }
}

TEST(BenchSettings, UnreadableFileIsNamed) {
  try {
    kelvra::bench::load_settings_file("/nonexistent/settings.json");
    ADD_FAILURE();
  } catch (const SettingsError& error) {
    EXPECT_STREQ(error.what(), "/nonexistent/settings.json: cannot read the settings file");
  }
}

}  // namespace
