// The "modbus" object and the devices' units: positions from 1 unless given, each unit once, and
// every mistake refused naming its field.
#include <gtest/gtest.h>
#include <json/reader.h>

#include "run/settings.h"

namespace {

Json::Value json_of(const std::string& text) {
  Json::Value value;
  Json::Reader().parse(text, value);
  return value;
}

TEST(ModbusSettings, UnitsArePositionsUnlessGiven) {
  const auto settings = kelvra::run::parse_settings(json_of(R"({
    "modbus": {"listen": "0.0.0.0:1502"},
    "host": {"devices": [{"address": 1}, {"address": 2, "modbus_unit": 7}, {"address": 3}]}})"));
  EXPECT_EQ(settings.modbus.listen, "0.0.0.0:1502");
  const std::map<std::string, std::uint8_t> units = {{"power1", 1}, {"power2", 7}, {"power3", 3}};
  EXPECT_EQ(settings.modbus.units, units);
}

TEST(ModbusSettings, ErrorsNameTheField) {
  const struct {
    const char* json;
    const char* message;
  } cases[] = {
      {R"({"modbus": {}})", "modbus.listen: missing"},
      {R"({"modbus": {"listen": "127.0.0.1:70000"}})",
       "modbus.listen: \"127.0.0.1:70000\": expected ADDR:PORT with a port 0 to 65535"},
      {R"({"modbus": {"listen": "plant:502"}})",
       "modbus.listen: \"plant:502\": \"plant\" is not an IP address"},
      {R"({"modbus": {"listen": "127.0.0.1:502", "units": 2}})", "modbus.units: unknown member"},
      {R"({"host": {"devices": [{"modbus_unit": 0}]}})",
       "host.devices[0].modbus_unit: expected a number from 1 to 247, got 0"},
      {R"({"host": {"devices": [{"address": 1, "modbus_unit": 2}, {"address": 2}]}})",
       "host.devices[1].modbus_unit: unit 2 is already power1's"},
  };
  for (const auto& c : cases) {
    try {
      kelvra::run::parse_settings(json_of(c.json));
      ADD_FAILURE() << c.json << " was taken";
    } catch (const kelvra::station::SettingsError& error) {
      EXPECT_STREQ(error.what(), c.message) << c.json;
    }
  }
}

}  // namespace
