#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "bench_fixture.h"
#include "run/settings.h"

namespace {

using kelvra::run::parse_settings;
using kelvra::station::SettingsError;

Json::Value json_of(const std::string& text) {
  Json::Value value;
  Json::Reader().parse(text, value);
  return value;
}

TEST(BenchSettings, DefaultsPollOneDeviceWithTheSupplyLossRule) {
  const auto settings = kelvra::run::default_settings();
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
    EXPECT_EQ(device->serial.parity, kelvra::serial::Parity::kEven);
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

TEST(BenchSettings, HistoryRetentionKeysOfTheHostObject) {
  const auto defaults = parse_settings(json_of("{}")).history;
  EXPECT_EQ(defaults.keep_days, 3);
  EXPECT_FALSE(defaults.max_db_mb);
  EXPECT_EQ(defaults.keep_events_days, 365);
  EXPECT_EQ(defaults.keep_aggregate_days, 3650);
  const auto given = parse_settings(json_of(R"({"host": {"keep_days": 30, "max_db_mb": "200",
      "keep_events_days": 730, "keep_aggregate_days": 1, "commit_interval_s": 30}})"))
                         .history;
  EXPECT_EQ(given.keep_days, 30);
  EXPECT_EQ(given.max_db_mb, 200);
  EXPECT_EQ(given.keep_events_days, 730);
  EXPECT_EQ(given.keep_aggregate_days, 1);
  EXPECT_EQ(given.commit_interval_s, 30);
}

TEST(BenchSettings, HttpServerKeysAreTheRunsOwn) {
  const auto settings = parse_settings(
      json_of(R"({"host": {"http": "0.0.0.0:9000", "http_token_file": "/etc/kelvra/token"}})"));
  EXPECT_EQ(settings.http, "0.0.0.0:9000");
  EXPECT_EQ(settings.http_token_file, "/etc/kelvra/token");
  EXPECT_EQ(parse_settings(json_of("{}")).http, "");
  const auto snmp = parse_settings(json_of(
      R"({"snmp": {"agentx": "tcp:127.0.0.1:705", "enterprise_oid": "1.3.6.1.4.1.9.4294967295"}})"));
  EXPECT_EQ(snmp.snmp.agentx, "tcp:127.0.0.1:705");
  EXPECT_EQ(snmp.snmp.enterprise_oid,
            (std::vector<std::uint32_t>{1, 3, 6, 1, 4, 1, 9, 4294967295u}));
}

TEST(BenchSettings, ErrorsNameTheField) {
  struct Case {
    const char* json;
    const char* message;
  } cases[] = {
      {R"([])", "top level: expected an object"},
      {R"({"appSetting": "1"})", "appSetting: expected an object"},
      {R"({"host": 3})", "host: expected an object"},
      {R"({"host": {"adress": 1}})", "host.adress: unknown member"},
      {R"({"host": {"address": 255}})", "host.address: expected a number from 1 to 254, got 255"},
      {R"({"host": {"address": "0x1G"}})",
       "host.address: expected a number from 1 to 254, got \"0x1G\""},
      {R"({"host": {"ver": 34}})", "host.ver: expected a number from 0x20 to 0x21, got 0x22"},
      {R"({"host": {"parity": "mark"}})", "host.parity: expected none, odd or even, got \"mark\""},
      {R"({"host": {"port": 5}})", "host.port: expected a text"},
      {R"({"host": {"threshold_values": {"k": "high"}}})",
       "host.threshold_values.k: expected a number within the range of a float"},
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
      // Numbers beyond what the fields hold are refused, not converted.
      {R"({"host": {"baud": 18446744073709551615}})",
       "host.baud: expected one of the rates 50 75 110 134 150 200 300 600 1200 1800 2400 4800 "
       "9600 19200 38400 57600 115200 230400 460800 500000 576000 921600 1000000 1152000 "
       "2000000 3000000 3500000 4000000, got \"18446744073709551615\""},
      {R"({"host": {"data_id": -9223372036854775808}})",
       "host.data_id: expected a number from 0 to 4294967295, got -9223372036854775808"},
      {R"({"host": {"poll_interval_ms": 1e300}})",
       "host.poll_interval_ms: expected a whole number from 10 to 3600000"},
      {R"({"host": {"threshold_values": {"k": 1e39}}})",
       "host.threshold_values.k: expected a number within the range of a float"},
      {R"({"host": {"keep_days": 0}})", "host.keep_days: expected a number from 1 to 36500, got 0"},
      {R"({"host": {"commit_interval_s": 3601}})",
       "host.commit_interval_s: expected a number from 1 to 3600, got 3601"},
      {R"({"host": {"max_db_mb": "big"}})",
       "host.max_db_mb: expected a number from 1 to 1000000, got \"big\""},
      {R"({"host": {"devices": [{"keep_events_days": 30}]}})",
       "host.devices[0].keep_events_days: unknown member"},
      {R"({"host": {"http": 8080}})", "host.http: expected a text"},
      {R"({"host": {"http_token_file": true}})", "host.http_token_file: expected a text"},
      // The HTTP server is the run's, not a device's.
      {R"({"host": {"devices": [{"http": "127.0.0.1:8080"}]}})",
       "host.devices[0].http: unknown member"},
      {R"({"ups_server": {"low_battery_v": 39.9}})",
       "ups_server.low_battery_v: expected volts from 40 to 56"},
      {R"({"ups_server": {"low_battery_v": 56.01}})",
       "ups_server.low_battery_v: expected volts from 40 to 56"},
      {R"({"ups_server": {"users": "mon secret"}})", "ups_server.users: unknown member"},
      {R"({"host": {"comm_lost_level": 11}})",
       "host.comm_lost_level: expected a number from 0 to 10, got 11"},
      {R"({"host": {"comm_lost_after_ms": 99}})",
       "host.comm_lost_after_ms: expected a number from 100 to 86400000, got 99"},
      {R"({"host": {"set_value_max": "60"}})",
       "host.set_value_max: expected a number of volts from 0 to 1000"},
      {R"({"host": {"set_value_min": 55, "set_value_max": 50}})",
       "host.set_value_min: 55 lies above set_value_max 50"},
      {R"({"snmp": {"agentx": ""}})", "snmp.agentx: expected a socket path or tcp:HOST:PORT"},
      {R"({"snmp": {"agent": "/var/agentx/master"}})", "snmp.agent: unknown member"},
      {R"({"snmp": {"enterprise_oid": "1.3.6.1.4.1.x"}})",
       "snmp.enterprise_oid: expected a dotted object identifier such as 1.3.6.1.4.1.32473.419, "
       "got \"1.3.6.1.4.1.x\""},
      {R"({"snmp": {"enterprise_oid": "3.1"}})",
       "snmp.enterprise_oid: expected a dotted object identifier such as 1.3.6.1.4.1.32473.419, "
       "got \"3.1\""},
      {R"({"snmp": {"enterprise_oid": "1.3.4294967296"}})",
       "snmp.enterprise_oid: expected a dotted object identifier such as 1.3.6.1.4.1.32473.419, "
       "got \"1.3.4294967296\""},
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

TEST(BenchSettings, BadFilesAreRefusedNamingTheFileAndTheProblem) {
  bench_testing::TempDir dir;
  const auto write = [&dir](const char* name, const std::string& content) {
    std::ofstream(dir.file(name), std::ios::binary) << content;
    return dir.file(name);
  };
  const std::string huge = dir.file("huge.json");
  std::ofstream{huge};
  ASSERT_EQ(truncate(huge.c_str(), 50 << 20), 0);  // 50 MiB of holes: refused before reading

  struct Case {
    std::string path;
    std::string message;  // after "PATH: "
  } cases[] = {
      {"/nonexistent/settings.json", "cannot read the settings file: No such file or directory"},
      {dir.file(""), "cannot read the settings file: Is a directory"},
      {huge, "cannot read the settings file: larger than 1048576 bytes (52428800)"},
      {"/dev/zero", "cannot read the settings file: larger than 1048576 bytes"},
      {write("line.json", "{\"a\": \"" + std::string(10 << 20, 'x') + "\"}"),
       "cannot read the settings file: larger than 1048576 bytes (10485769)"},
      {write("empty.json", ""),
       "not valid JSON: * Line 1, Column 1\n"
       "  Syntax error: value, object or array expected."},
      {write("binary.json", std::string("\x7f"
                                        "ELF\x02\x01\x00",
                                        7)),
       "not valid JSON: * Line 1, Column 1\n"
       "  Syntax error: value, object or array expected.\n"
       "* Line 1, Column 2\n"
       "  Extra non-whitespace after JSON value."},
      {write("deep.json", std::string(100000, '[') + std::string(100000, ']')),
       "nested deeper than 32 levels"},
      {write("trailing.json", R"({"host": {}} {})"),
       "not valid JSON: * Line 1, Column 14\n  Extra non-whitespace after JSON value."},
      {write("device.json", R"({"host": {"devices": [{"address": 2}, {"adress": 3}]}})"),
       "host.devices[1].adress: unknown member"},
      {write("array.json", "[1, 2]"), "top level: expected an object"},
      {write("ver.json", R"({"host": {"ver": "0x20x"}})"),
       "host.ver: expected a number from 0x20 to 0x21, got \"0x20x\""},
  };
  for (const Case& c : cases) {
    try {
      kelvra::run::load_settings_file(c.path);
      ADD_FAILURE() << c.path << " was taken";
    } catch (const SettingsError& error) {
      EXPECT_EQ(error.what(), c.path + ": " + c.message);
    }
  }
}

}  // namespace

namespace {

using kelvra::run::default_settings;
using kelvra::run::override_port;
using kelvra::run::refuse_warnings;
using kelvra::run::RunSettings;

TEST(BenchSettings, MistakesTheDeviceReadsSilentlyAreWarned) {
  struct Case {
    const char* json;
    std::vector<std::string> warnings;
  } cases[] = {
      {R"({"appSetting": {"has_dc": "1", "has_ac": 1, "b_mode": "-1"}})", {}},
      {R"({"appSetting": {"has_dc": "yes"}})",
       {R"(appSetting.has_dc: "yes" reads as 0: DC distribution off)"}},
      {R"({"appSetting": {"has_dc": true}})",
       {"appSetting.has_dc: true reads as 0: DC distribution off"}},
      {R"({"appSetting": {"has_ac": "1x"}})",
       {R"(appSetting.has_ac: "1x" reads as 1: AC distribution on)"}},
      {R"({"appSetting": {"b_mode": "2.5"}})",
       {R"(appSetting.b_mode: "2.5" reads as 2: rule set (1 supply loss, 2 thresholds, 3 neither))"}},
      {R"({"appSetting": {"has_dc": ""}})",
       {R"(appSetting.has_dc: "" reads as 0: DC distribution off)"}},
      {R"({"appSetting": {"has_dc": {"on": 1}}})",
       {"appSetting.has_dc: not a text; the device takes it as absent"}},
      {R"({"appSetting": {"hasdc": "1"}})",
       {"appSetting.hasdc: unknown key; the device never reads it"}},
      {R"({"appSetting": {"has_dc": "1"}, "host": {"threshold_levels": {"210600320010": 2,
          "dc_low": 2}, "threshold_values": {"dc.out_v": 45}, "analog_signals": ["dc.out_v",
          "dc.volts"]}})",
       {"host.threshold_levels.dc_low: no rule or analog signal has this key; the device never "
        "reads it",
        R"(host.analog_signals: "dc.volts" is no field of the record; it is never reported)"}},
      {R"({"appSetting": {"has_dc": "1"}, "host": {"devices": [{"name": "a"},
          {"name": "b", "appSetting": {"has_ac": "no"}}]}})",
       {R"(b: appSetting.has_ac: "no" reads as 0: AC distribution off)"}},
  };
  for (const Case& c : cases) {
    const RunSettings settings = parse_settings(json_of(c.json));
    EXPECT_EQ(settings.warnings, c.warnings) << c.json;
    EXPECT_TRUE(settings.notes.empty()) << c.json;
    if (c.warnings.empty()) {
      EXPECT_NO_THROW(refuse_warnings(settings));
      continue;
    }
    try {
      refuse_warnings(settings);
      ADD_FAILURE() << c.json << " passed --strict";
    } catch (const SettingsError& error) {
      std::string all;
      for (const std::string& warning : c.warnings) all += (all.empty() ? "" : "; ") + warning;
      EXPECT_EQ(std::string(error.what()), "--strict: " + all) << c.json;
    }
  }
}

TEST(BenchSettings, WithoutAppSettingTheUnitsPolledAreSaid) {
  const RunSettings settings = parse_settings(json_of(R"({"host": {"address": 2}})"));
  EXPECT_TRUE(settings.warnings.empty());
  ASSERT_EQ(settings.notes.size(), 1u);
  EXPECT_EQ(settings.notes[0],
            "no \"appSetting\": the device polls the AC distribution and the rectifiers, not the "
            "DC distribution (has_ac 1, has_dc 0), with the supply-loss rule (b_mode 1)");
  EXPECT_TRUE(default_settings().notes.empty());
}

TEST(BenchSettings, PortOverrideOnlyForDevicesSharingOnePort) {
  RunSettings one = default_settings();
  override_port(one, "/dev/ttyUSB0");
  EXPECT_EQ(one.devices[0].port, "/dev/ttyUSB0");

  RunSettings shared = parse_settings(
      json_of(R"({"host": {"port": "/dev/ttyS0", "devices": [{"address": 1}, {"address": 2}]}})"));
  override_port(shared, "/dev/ttyUSB1");
  EXPECT_EQ(shared.devices[0].port, "/dev/ttyUSB1");
  EXPECT_EQ(shared.devices[1].port, "/dev/ttyUSB1");

  for (
      const char* json :
      {R"({"host": {"devices": [{"name": "a"}, {"name": "b"}]}})",
       R"({"host": {"devices": [{"name": "a", "port": "/dev/x"}, {"name": "b", "port": "/dev/y"}]}})"}) {
    RunSettings separate = parse_settings(json_of(json));
    try {
      override_port(separate, "/dev/ttyUSB0");
      ADD_FAILURE() << json;
    } catch (const SettingsError& error) {
      EXPECT_STREQ(error.what(),
                   "--port: 2 devices are configured (a, b) and they do not share one port; give "
                   "each its port in the settings");
    }
  }
}

}  // namespace
