#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "sim/scenario.h"
#include "sim/simulator.h"

namespace kelvra::sim {
namespace {

TEST(SimScenario, RefusesBadFieldsNamingThem) {
  struct Case {
    const char* json;
    const char* named;
  } cases[] = {
      {R"({"equipment": {"rectifiers": 300}})", "equipment.rectifiers"},
      {R"({"equipment": {"ac_input": 1}})", "equipment.ac_input"},
      {R"({"equipmnet": {}})", "equipmnet"},
      {R"({"initial": {"ac3.phase_a": 0}})", "initial.ac3.phase_a"},
      {R"({"initial": {"ac1.phase_d": 0}})", "initial.ac1.phase_d"},
      {R"({"initial": {"dc1.mains_alarm": 0}})", "initial.dc1.mains_alarm"},
      {R"({"initial": {"ups1.voltage": 0}})", "initial.ups1.voltage"},
      {R"({"initial": {"voltage": 0}})", "initial.voltage"},
      {R"({"initial": {"ac1.mains_alarm": 256}})", "initial.ac1.mains_alarm"},
      {R"({"initial": {"ac1.mains_alarm": "0xE0x"}})", "initial.ac1.mains_alarm"},
      {R"({"initial": {"dc1.voltage": null}})", "initial.dc1.voltage"},
      {R"({"initial": {"dc1.user7": 1}})", "initial.dc1.user7"},
      {R"({"timeline": [{"at": 1, "set": {}}, {"at": "soon", "set": {}}]})", "timeline[1].at"},
      {R"({"timeline": [{"at": 1, "set": {"rect0.value": 1}}]})", "timeline[0].set.rect0.value"},
      {R"({"timeline": [{"at": 1}]})", "timeline[0].set"},
      {R"({"timeline": [{"at": 1, "sett": {}}]})", "timeline[0].sett"},
      {R"({"faults": {"noise": 0.1}})", "faults.noise"},
      {R"({"faults": {"echo": 2}})", "faults.echo"},
      {R"({"equipment": {"rectifiers": 18446744073709551615}})", "equipment.rectifiers"},
      {R"({"initial": {"ac1.mains_alarm": 18446744073709551615}})", "initial.ac1.mains_alarm"},
      {R"({"initial": {"dc1.voltage": 1e39}})", "initial.dc1.voltage"},
  };
  for (const auto& c : cases) {
    try {
      parse_scenario(c.json, "test");
      ADD_FAILURE() << "accepted: " << c.json;
    } catch (const ScenarioError& error) {
      EXPECT_NE(std::string::npos, std::string(error.what()).find(c.named))
          << error.what() << " does not name " << c.named;
    }
  }
  EXPECT_THROW(parse_scenario("{\"timeline\": [", "test"), ScenarioError);
}

TEST(SimScenario, BadFilesAreRefusedNamingTheFileAndTheProblem) {
  const std::string base =
      ::testing::TempDir() + "kelvra-scenario-" + std::to_string(getpid()) + "-";
  const auto write = [&base](const char* name, const std::string& content) {
    const std::string path = base + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  };
  const std::string huge = write("huge.json", "");
  ASSERT_EQ(truncate(huge.c_str(), 50 << 20), 0);  // 50 MiB of holes: refused before reading

  struct Case {
    std::string path;
    std::string message;
  } cases[] = {
      {"/nonexistent.json",
       "/nonexistent.json: cannot read the scenario file: No such file or directory"},
      {huge, huge + ": cannot read the scenario file: larger than 1048576 bytes (52428800)"},
      {"/dev/zero", "/dev/zero: cannot read the scenario file: larger than 1048576 bytes"},
      {write("deep.json",
             [] {
               std::string deep;
               for (int i = 0; i < 100000; ++i) deep += "{\"a\":";
               return deep;
             }()),
       base + "deep.json: nested deeper than 32 levels"},
      {write("text.json", "mains off at 10 s"),
       base + "text.json: not valid JSON: * Line 1, Column 1\n"
              "  Syntax error: value, object or array expected.\n"
              "* Line 1, Column 2\n"
              "  Extra non-whitespace after JSON value."},
      {write("two.json", R"({"timeline": []} {"timeline": []})"),
       base + "two.json: not valid JSON: * Line 1, Column 18\n"
              "  Extra non-whitespace after JSON value."},
      {write("list.json", R"([{"at": 1, "set": {}}])"),
       base + "list.json: top level: expected an object"},
  };
  for (const Case& c : cases) {
    try {
      load_scenario_file(c.path);
      ADD_FAILURE() << "accepted: " << c.path;
    } catch (const ScenarioError& error) {
      EXPECT_EQ(error.what(), c.message);
    }
  }
  for (const char* name : {"huge.json", "deep.json", "text.json", "two.json", "list.json"}) {
    std::remove((base + name).c_str());
  }
}

TEST(SimScenario, SetsFieldsOfPresentUnits) {
  const Scenario scenario = parse_scenario(R"({
    "equipment": {"ac_inputs": 1, "rectifiers": 3, "dc_units": 2, "dc_format": 1},
    "initial": {"ac*.phase_b": null, "ac2.phase_a": 1, "ac1.mains_alarm": "0xE0",
                "rect*.value": 7.5, "rect2.switch3": 9, "dc2.battery3_hot": 2,
                "dc1.user6": 12.5, "ac.extra_state2": 4}
  })",
                                           "test");
  EXPECT_EQ(DcFormat::kSingleUnit, scenario.dc_format);
  Equipment e = make_equipment(scenario.shape);
  int written = 0;
  for (const FieldSetting& setting : scenario.initial) written += apply(setting, e);
  EXPECT_EQ(1 + 0 + 1 + 3 + 1 + 1 + 1 + 1, written);  // ac2 is absent
  EXPECT_FALSE(e.ac.inputs[0].phase_b);
  EXPECT_EQ(kAcMainsFailed, e.ac.inputs[0].user_alarms[1]);
  EXPECT_FLOAT_EQ(7.5f, e.rectifiers.modules[2].value);
  EXPECT_EQ(9, e.rectifiers.modules[1].switch_states[2]);
  EXPECT_EQ(2, e.dc[1].user_alarms[kDcBattery3Hot]);
  EXPECT_FLOAT_EQ(12.5f, *e.dc[0].user_floats[5]);
  EXPECT_EQ(4, e.ac.extra_states[1]);
}

TEST(SimScenario, MainsFailureRaisesAndClears) {
  auto scenario = builtin_scenario("mains-failure");
  ASSERT_TRUE(scenario);
  SimulatorConfig config;
  config.scenario = *scenario;
  Simulator sim(config, nullptr);
  const auto input = [&](std::size_t i) { return sim.equipment().ac.inputs.at(i); };
  sim.advance(9.9);
  EXPECT_EQ(0, input(1).user_alarms[1]);
  sim.advance(10.0);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(kAcMainsFailed, input(i).user_alarms[1]);
    EXPECT_EQ(0.0f, input(i).phase_a.value_or(-1));
    EXPECT_EQ(0.0f, input(i).phase_c.value_or(-1));
  }
  sim.advance(30.0);
  EXPECT_EQ(0, input(0).user_alarms[1]);
  EXPECT_LT(120.0f, input(0).phase_b.value_or(0));
}

TEST(SimScenario, BuiltinsParseAndChangeAlarmBytes) {
  struct Case {
    const char* name;
    double at;
    std::size_t dc_alarm_byte;
    std::uint8_t value;
  } cases[] = {
      {"battery-low", 10, kDcBattery1Low, 1},
      {"discharge", 6, kDcBattery1Low, 1},
      {"lvd", 20, kDcLvd1, 0xF0},
      {"fuse", 10, kDcFuse1, 3},
  };
  for (const auto& c : cases) {
    auto scenario = builtin_scenario(c.name);
    ASSERT_TRUE(scenario) << c.name;
    SimulatorConfig config;
    config.scenario = *scenario;
    Simulator sim(config, nullptr);
    sim.advance(c.at);
    EXPECT_EQ(c.value, sim.equipment().dc[0].user_alarms[c.dc_alarm_byte]) << c.name;
    sim.advance(60);
    EXPECT_EQ(0, sim.equipment().dc[0].user_alarms[c.dc_alarm_byte]) << c.name;
  }
  EXPECT_TRUE(builtin_scenario("normal"));
  EXPECT_FALSE(builtin_scenario("flood"));
}

}  // namespace
}  // namespace kelvra::sim
