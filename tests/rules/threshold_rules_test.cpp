#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/rules/rules_fixture.h"

namespace {

using rules_testing::kThresholdKeys;
using rules_testing::RecordedDevice;
using rules_testing::set_input;

const std::string kVoltsExample = "ua1:229.5 ub1:230 uc1:228.7 ua2:0 ub2:0 uc2:0";
const std::string kSupplyLoss = "输入电源中断告警";

void run_generic(kelvra_419& device) {
  device.rules_testing::GenericRules::RunCheckThreshold();
}

// Mode 2 with every group fitted, level 1 for all eight keys and the example's thresholds.
void configure_example(kelvra_419& device) {
  device.b_mode_ = 2;
  device.has_dc_ = true;
  for (const auto& key : kThresholdKeys) device.threshold_levels_[key] = 1;
  device.threshold_values_["220600160010"] = 55.0f;
  device.threshold_values_["220600170010"] = 45.0f;
  device.threshold_values_["210600320010"] = 47.0f;
  device.threshold_values_["210600330010"] = 45.0f;
  device.threshold_values_["210600340010"] = 57.5f;
  set_input(device, 0, 229.5f, 230.0f, 228.7f, 50.0f);
  set_input(device, 1, 0.0f, 0.0f, 0.0f, 0.0f);
  device.data_.dc.out_v.set(53.52f);
}

std::vector<std::string> example_lines(const std::string& volts, const std::string& held) {
  const std::vector<std::string> names = {
      "001#48V直流系统交流输入电压过高告警", "001#48V直流系统交流输入电压过低告警",
      "001#48V直流系统交流输入停电告警",     "001#48V直流系统交流输入频率过高告警",
      "001#48V直流系统交流输入频率过低告警", "48V直流系统直流总电压过低告警",
      "48V直流系统直流总电压超低告警",       "直流总电压过高告警"};
  const std::vector<std::string> details = {volts,        volts,        volts,        "f1:50 f2:0",
                                            "f1:50 f2:0", "53.5200005", "53.5200005", "53.5200005"};
  std::vector<std::string> out;
  for (std::size_t i = 0; i < 8; ++i) {
    out.push_back("1|" + kThresholdKeys[i] + "|" + kThresholdKeys[i] + "|" + details[i] + "|" +
                  names[i] + "|" + held[i] + "|1");
  }
  return out;
}

TEST(GenericRules, WorkedExampleMakesEightCallsInTableOrder) {
  struct Case {
    const char* what;
    std::function<void(kelvra_419&)> change;
    std::string volts;
    std::string held;  // condition of rules 1..8
  };
  const std::vector<Case> cases = {
      {"as given", [](kelvra_419&) {}, kVoltsExample, "00000000"},
      {"input 1 phase C at 290", [](kelvra_419& d) { d.data_.ac.channel[0].c.set(290.0f); },
       "ua1:229.5 ub1:230 uc1:290 ua2:0 ub2:0 uc2:0", "10000000"},
      {"input 1 at 100 on all phases",
       [](kelvra_419& d) { set_input(d, 0, 100.0f, 100.0f, 100.0f, 50.0f); },
       "ua1:100 ub1:100 uc1:100 ua2:0 ub2:0 uc2:0", "01100000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordedDevice rd;
    configure_example(rd.device);
    c.change(rd.device);
    run_generic(rd.device);
    EXPECT_EQ(rules_testing::lines(rd.host), example_lines(c.volts, c.held));
  }
}

TEST(GenericRules, ModeAndGroupGates) {
  struct Case {
    const char* what;
    std::function<void(kelvra_419&)> setup;
    std::vector<std::string> expected;
  };
  const std::string loss_held =
      "1|PowerOff|419415001|" + kSupplyLoss + "|" + kSupplyLoss + "|1|100";
  const std::string loss_clear =
      "1|PowerOff|419415001|" + kSupplyLoss + "|" + kSupplyLoss + "|0|100";
  const auto all_levels = [](kelvra_419& d, int level) {
    for (const auto& key : kThresholdKeys) d.threshold_levels_[key] = level;
  };
  const std::vector<Case> cases = {
      {"mode 0",
       [&](kelvra_419& d) {
         d.b_mode_ = 0;
         all_levels(d, 1);
       },
       {}},
      {"mode 3",
       [&](kelvra_419& d) {
         d.b_mode_ = 3;
         all_levels(d, 1);
       },
       {}},
      {"mode 4",
       [&](kelvra_419& d) {
         d.b_mode_ = 4;
         all_levels(d, 1);
       },
       {}},
      {"mode 1 without AC unit", [](kelvra_419& d) { d.has_ac_ = false; }, {}},
      {"mode 1 with every level configured reports only the supply-loss rule",
       [&](kelvra_419& d) { all_levels(d, 3); },
       {loss_held}},
      {"mode 1 with no input received holds", [](kelvra_419&) {}, {loss_held}},
      {"mode 1 without fitted phases does not hold",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 1;
         d.has_a_ = d.has_b_ = d.has_c_ = false;
       },
       {loss_clear}},
      {"mode 1, input 1 down and input 2 up",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 2;
         set_input(d, 1, 230.0f, 230.0f, 230.0f);
       },
       {loss_clear}},
      {"mode 1, fitted phase A exactly 120",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 1;
         set_input(d, 0, 120.0f, 230.0f, 230.0f);
       },
       {loss_held}},
      {"mode 1, input with a NaN phase is not up",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 1;
         set_input(d, 0, 230.0f, std::numeric_limits<float>::quiet_NaN(), 230.0f);
       },
       {loss_held}},
      {"mode 1, count 1 ignores input 2",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 1;
         set_input(d, 1, 230.0f, 230.0f, 230.0f);
       },
       {loss_held}},
      // Record bytes where a third channel block would begin hold 230.0 as phase A; a count above
      // two must evaluate the two stored inputs only.
      {"mode 1, count 3 evaluates the two stored inputs",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 3;
         d.has_b_ = d.has_c_ = false;
         d.data_.rc.group_value.set(230.0f);
       },
       {loss_held}},
      {"mode 1, count 255 with input 2 up",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 255;
         set_input(d, 1, 230.0f, 230.0f, 230.0f);
       },
       {loss_clear}},
      {"mode 2 with DC unit absent reports no DC rule",
       [&](kelvra_419& d) {
         d.b_mode_ = 2;
         all_levels(d, 1);
         d.has_ac_ = false;
         d.has_dc_ = false;
       },
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordedDevice rd;
    c.setup(rd.device);
    const auto levels_before = rd.device.threshold_levels_;
    const auto values_before = rd.device.threshold_values_;
    run_generic(rd.device);
    EXPECT_EQ(rules_testing::lines(rd.host), c.expected);
    if (rd.device.b_mode_ != 2) {
      EXPECT_EQ(rd.device.threshold_levels_, levels_before);
      EXPECT_EQ(rd.device.threshold_values_, values_before);
    }
  }
}

// Mode 2, AC group only, every AC level 1, frequency thresholds 55 and 45 unless a case clears
// them; each case reports the five AC rule states.
TEST(GenericRules, VoltageAndFrequencyConditions) {
  struct Case {
    const char* what;
    std::function<void(kelvra_419&)> setup;
    std::string held;  // rules 1..5
  };
  const auto all = [](kelvra_419& d, float v) {
    set_input(d, 0, v, v, v, 50.0f);
    set_input(d, 1, v, v, v, 50.0f);
  };
  const std::vector<Case> cases = {
      {"count 1, second block zero, input 1 normal",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 1;
         set_input(d, 0, 230.0f, 230.0f, 230.0f, 50.0f);
       },
       "00000"},
      {"count 1, input 1 at 150 on phase C",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 1;
         set_input(d, 0, 100.0f, 100.0f, 150.0f, 50.0f);
       },
       "01000"},
      {"count 1, input 1 just below 150",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 1;
         set_input(d, 0, 149.9f, 149.9f, 149.9f, 50.0f);
       },
       "01100"},
      {"count 1 reads the second block as left by an earlier response",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 1;
         set_input(d, 0, 230.0f, 230.0f, 230.0f, 50.0f);
         set_input(d, 1, 100.0f, 100.0f, 100.0f, 50.0f);
       },
       "01000"},
      {"input 2 phase B exactly 280",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.data_.ac.channel[1].b.set(280.0f);
       },
       "00000"},
      {"input 2 phase B at 280.5",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.data_.ac.channel[1].b.set(280.5f);
       },
       "10000"},
      {"unfitted phase B at 280.5",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.has_b_ = false;
         d.data_.ac.channel[1].b.set(280.5f);
       },
       "00000"},
      {"unfitted phase B at 100 is ignored by rule 2",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.has_b_ = false;
         d.data_.ac.channel[0].b.set(100.0f);
       },
       "00000"},
      {"unfitted phase B at 230 still counts for rule 3",
       [&](kelvra_419& d) {
         all(d, 100.0f);
         d.has_b_ = false;
         d.data_.ac.channel[0].b.set(230.0f);
       },
       "01000"},
      {"a fitted phase at 0.0",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.data_.ac.channel[0].a.set(0.0f);
       },
       "00000"},
      {"a fitted phase at 0.01",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.data_.ac.channel[0].a.set(0.01f);
       },
       "00000"},
      {"a fitted phase at 150",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.data_.ac.channel[1].c.set(150.0f);
       },
       "00000"},
      {"a fitted phase at 0.02",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.data_.ac.channel[1].c.set(0.02f);
       },
       "01000"},
      {"a NaN phase satisfies no voltage rule",
       [&](kelvra_419& d) {
         all(d, 100.0f);
         d.data_.ac.channel[0].a.set(std::numeric_limits<float>::quiet_NaN());
       },
       "01000"},
      {"no frequency threshold: over holds for any frequency above 0",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.threshold_values_.clear();
         d.data_.ac.channel[0].f.set(0.0f);
         d.data_.ac.channel[1].f.set(0.001f);
       },
       "00010"},
      {"no frequency threshold: voltages and frequencies at 0",
       [](kelvra_419& d) { d.threshold_values_.clear(); }, "00100"},
      {"no frequency threshold: low frequency never holds",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.threshold_values_.clear();
         d.data_.ac.channel[0].f.set(0.5f);
       },
       "00010"},
      {"frequency exactly at the thresholds",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.threshold_values_["220600160010"] = 50.0f;
         d.threshold_values_["220600170010"] = 50.0f;
       },
       "00000"},
      {"input 2 frequency over and input 1 under",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.data_.ac.channel[0].f.set(44.0f);
         d.data_.ac.channel[1].f.set(56.0f);
       },
       "00011"},
      {"frequency at 0.01 is below the floor",
       [&](kelvra_419& d) {
         all(d, 230.0f);
         d.data_.ac.channel[0].f.set(0.01f);
         d.data_.ac.channel[1].f.set(0.0f);
       },
       "00000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordedDevice rd;
    rd.device.b_mode_ = 2;
    for (int i = 0; i < 5; ++i) rd.device.threshold_levels_[kThresholdKeys[i]] = 1;
    rd.device.threshold_values_["220600160010"] = 55.0f;
    rd.device.threshold_values_["220600170010"] = 45.0f;
    c.setup(rd.device);
    run_generic(rd.device);
    std::vector<std::string> expected;
    for (int i = 0; i < 5; ++i) expected.push_back(kThresholdKeys[i] + "=" + c.held[i]);
    EXPECT_EQ(rules_testing::states(rd.host), expected);
  }
}

TEST(GenericRules, DcVoltageRulesTakeTheirLevelsAndThresholds) {
  struct Case {
    const char* what;
    std::vector<int> levels;  // rules 6, 7, 8
    float out_v;
    std::vector<std::string> expected;  // level|key=state
  };
  const std::vector<Case> cases = {
      {"levels 0, 2, 0 report rule 7 only", {0, 2, 0}, 44.0f, {"2|210600330010=1"}},
      {"negative level switches a rule on", {-1, 0, 0}, 53.5f, {"-1|210600320010=0"}},
      {"at the thresholds none holds",
       {1, 1, 1},
       47.0f,
       {"1|210600320010=0", "1|210600330010=0", "1|210600340010=0"}},
      {"below both low thresholds",
       {1, 1, 1},
       44.9f,
       {"1|210600320010=1", "1|210600330010=1", "1|210600340010=0"}},
      {"above the high threshold",
       {3, 3, 3},
       57.6f,
       {"3|210600320010=0", "3|210600330010=0", "3|210600340010=1"}},
      {"NaN satisfies none",
       {1, 1, 1},
       std::numeric_limits<float>::quiet_NaN(),
       {"1|210600320010=0", "1|210600330010=0", "1|210600340010=0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordedDevice rd;
    rd.device.b_mode_ = 2;
    rd.device.has_ac_ = false;
    rd.device.has_dc_ = true;
    for (int i = 0; i < 3; ++i) rd.device.threshold_levels_[kThresholdKeys[5 + i]] = c.levels[i];
    rd.device.threshold_values_["210600320010"] = 47.0f;
    rd.device.threshold_values_["210600330010"] = 45.0f;
    rd.device.threshold_values_["210600340010"] = 57.5f;
    rd.device.data_.dc.out_v.set(c.out_v);
    run_generic(rd.device);
    std::vector<std::string> got;
    for (const auto& a : rd.host.alarms) {
      got.push_back(std::to_string(a.level) + "|" + a.key + (a.state ? "=1" : "=0"));
    }
    EXPECT_EQ(got, c.expected);
  }
}

TEST(GenericRules, DetailTextsFollowTheFloatFormats) {
  struct Case {
    float value;
    std::string stream_text;   // V and F: six significant digits
    std::string lexical_text;  // D: nine significant digits
  };
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Case> cases = {
      {53.52f, "53.52", "53.5200005"},
      {53.5f, "53.5", "53.5"},
      {48.0f, "48", "48"},
      {1234567.0f, "1.23457e+06", "1234567"},
      {0.0f, "0", "0"},
      {-0.1f, "-0.1", "-0.100000001"},
      {inf, "inf", "inf"},
      {-inf, "-inf", "-inf"},
      {nan, "nan", "nan"},
      {-nan, "-nan", "-nan"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stream_text);
    RecordedDevice rd;
    rd.device.b_mode_ = 2;
    rd.device.has_dc_ = true;
    rd.device.threshold_levels_["220600120010"] = 1;
    rd.device.threshold_levels_["220600160010"] = 1;
    rd.device.threshold_levels_["210600340010"] = 1;
    set_input(rd.device, 0, c.value, 230.0f, 0.5f, c.value);
    set_input(rd.device, 1, 1.25f, c.value, 100000.0f, 49.99f);
    rd.device.data_.dc.out_v.set(c.value);
    run_generic(rd.device);
    ASSERT_EQ(rd.host.alarms.size(), 3u);
    EXPECT_EQ(rd.host.alarms[0].name, "ua1:" + c.stream_text + " ub1:230 uc1:0.5 ua2:1.25 ub2:" +
                                          c.stream_text + " uc2:100000");
    EXPECT_EQ(rd.host.alarms[1].name, "f1:" + c.stream_text + " f2:49.99");
    EXPECT_EQ(rd.host.alarms[2].name, c.lexical_text);
  }
}

// Absent keys read as 0 and are added to the host's maps as the conditions reach them.
TEST(GenericRules, MissingKeyLookupsAddExactlyTheKeysReached) {
  struct Case {
    const char* what;
    std::function<void(kelvra_419&)> setup;
    std::vector<std::string> level_keys;
    std::vector<std::string> value_keys;
  };
  const auto levels_on = [](kelvra_419& d) {
    for (const auto& key : kThresholdKeys) d.threshold_levels_[key] = 1;
  };
  const std::vector<std::string> all_keys_sorted = {"210600320010", "210600330010", "210600340010",
                                                    "220600120010", "220600130010", "220600140010",
                                                    "220600160010", "220600170010"};
  const std::vector<Case> cases = {
      {"nothing configured: every level key, no value key",
       [](kelvra_419&) {},
       all_keys_sorted,
       {}},
      {"DC unit absent: the AC level keys only",
       [](kelvra_419& d) { d.has_dc_ = false; },
       {"220600120010", "220600130010", "220600140010", "220600160010", "220600170010"},
       {}},
      {"frequencies 0: the low-frequency threshold is never reached",
       levels_on,
       all_keys_sorted,
       {"210600320010", "210600330010", "210600340010", "220600160010"}},
      {"input 2 frequency above the floor reaches the low-frequency threshold",
       [&](kelvra_419& d) {
         levels_on(d);
         d.data_.ac.channel[1].f.set(50.0f);
       },
       all_keys_sorted,
       {"210600320010", "210600330010", "210600340010", "220600160010", "220600170010"}},
      {"a rule switched off reads no threshold",
       [&](kelvra_419& d) {
         levels_on(d);
         d.threshold_levels_["220600160010"] = 0;
         d.threshold_levels_["210600330010"] = 0;
       },
       all_keys_sorted,
       {"210600320010", "210600340010"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordedDevice rd;
    rd.device.b_mode_ = 2;
    rd.device.has_dc_ = true;
    c.setup(rd.device);
    run_generic(rd.device);
    std::vector<std::string> level_keys, value_keys;
    for (const auto& entry : rd.device.threshold_levels_) level_keys.push_back(entry.first);
    for (const auto& entry : rd.device.threshold_values_) {
      value_keys.push_back(entry.first);
      EXPECT_EQ(entry.second, 0.0f) << entry.first;
    }
    EXPECT_EQ(level_keys, c.level_keys);
    EXPECT_EQ(value_keys, c.value_keys);
  }
}

TEST(GenericRules, RunOnEveryRoundCompletionAfterPublication) {
  RecordedDevice rd;
  rd.device.data_.ac.channel_count = 1;
  testing_support::capture_stdout([&] { rd.device.RoundDone(); });
  ASSERT_GE(rd.host.calls.size(), 3u);
  EXPECT_EQ(rd.host.calls[0], "publish 5535 763 false");
  EXPECT_EQ(rd.host.calls[1], "reset");
  EXPECT_EQ(rd.host.calls[2], "alarm PowerOff");
}

}  // namespace
