#include <algorithm>

#include <gtest/gtest.h>

#include "station/alarm_engine.h"

namespace {

struct Step {
  const char* key;
  const char* text;
  const char* detail;
  bool state;
  const char* expected;  // "raised", "cleared" or "" for no event
  const char* instance = "";
  const char* label = "";
};

TEST(AlarmEngine, RaisesOnTrueAndClearsOnFalseOncePerChange) {
  const std::string id = "419415001";
  const Step steps[] = {
      {"PowerOff", "输入电源中断告警", "输入电源中断告警", false, ""},  // never active: nothing
      {"PowerOff", "输入电源中断告警", "输入电源中断告警", true, "raised"},
      {"PowerOff", "输入电源中断告警", "输入电源中断告警", true, ""},
      // Same key and id, another text: an alarm of its own.
      {"PowerOff", "other", "x", true, "raised"},
      // The detail text follows the values; the alarm stays the same one.
      {"220600120010", "电压过高", "ua1:290", true, "raised"},
      {"220600120010", "电压过高", "ua1:291", true, ""},
      {"PowerOff", "输入电源中断告警", "输入电源中断告警", false, "cleared"},
      {"PowerOff", "输入电源中断告警", "输入电源中断告警", false, ""},
      {"220600120010", "电压过高", "ua1:230", false, "cleared"},
      // Every AC input reports under one key: the input number makes the instance.
      {"p40_44_1", "第1路交流输入-停电", "模块告警", true, "raised", "p40_44_1_1",
       "AC input 1 mains failure"},
      {"p40_44_1", "第2路交流输入-停电", "模块告警", true, "raised", "p40_44_1_2",
       "AC input 2 mains failure"},
      {"p40_44_1", "第2路交流输入-停电", "模块告警", false, "cleared", "p40_44_1_2",
       "AC input 2 mains failure"},
      {"KELVRA_DC_4", "电池1温度高", "电池温度过高告警", true, "raised", "KELVRA_DC_4",
       "battery 1 temperature high"},
  };
  kelvra::station::AlarmEngine engine;
  for (const Step& step : steps) {
    const std::string key = step.key, text = step.text, detail = step.detail;
    const AlarmReport report{2, key, id, detail, text, step.state, 100};
    const auto event = engine.report("power1", report, 1765188000000);
    if (std::string(step.expected).empty()) {
      EXPECT_FALSE(event) << step.key << " " << step.detail;
      continue;
    }
    ASSERT_TRUE(event) << step.key << " " << step.detail;
    EXPECT_EQ(event->raised, std::string(step.expected) == "raised");
    EXPECT_EQ(event->device, "power1");
    EXPECT_EQ(event->time_ms, 1765188000000);
    EXPECT_EQ(event->level, 2);
    EXPECT_EQ(event->key, step.key);
    EXPECT_EQ(event->alarm_id, id);
    EXPECT_EQ(event->name, step.detail);
    EXPECT_EQ(event->text, step.text);
    EXPECT_EQ(event->seq, 100u);
    if (*step.instance != '\0') {
      const auto states = engine.states();
      const auto state = std::find_if(states.begin(), states.end(),
                                      [&](const auto& each) { return each.key == step.instance; });
      ASSERT_NE(state, states.end()) << step.instance;
      EXPECT_EQ(state->label, step.label);
      EXPECT_EQ(state->active, step.state);
    }
  }
  EXPECT_EQ(engine.active(),
            (std::vector<std::string>{"电池1温度高", "other", "第1路交流输入-停电"}));
}

}  // namespace
