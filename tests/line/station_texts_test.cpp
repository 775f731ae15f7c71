// Texts the host derives for users: poll state names, field names and units, English glosses,
// serial rates.
#include <gtest/gtest.h>

#include "record/kelvra_419_fields.h"
#include "station/glosses.h"
#include "station/station.h"

namespace {

TEST(StationTexts, PollStatesAreNamedByTheCommandAwaited) {
  struct Case {
    int poll_state;
    int wait_time;
    bool exchange_open;
    const char* name;
  } cases[] = {
      {10, 0, false, "idle"},
      {0, 0, true, "waiting for 40/41"},
      {1, 0, true, "waiting for 40/43"},
      {2, 0, true, "waiting for 40/44"},
      {4, 0, true, "waiting for 41/41"},
      {5, 0, true, "waiting for 41/43"},
      {6, 0, true, "waiting for 41/44"},
      {7, 0, true, "waiting for 42/41"},
      {8, 0, true, "waiting for 42/44"},
      {5, 0, false, "idle"},  // a round abandoned after a timeout waits for nothing
      {300, 0, true, "control 300 in flight"},
      {310, 0, true, "control 310 in flight"},
      {310, 0, false, "idle"},  // answered
      {10, 320, true, "control 320 in flight"},
      {10, 10, true, "idle"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kelvra::station::poll_state_name(c.poll_state, c.wait_time, c.exchange_open), c.name)
        << c.poll_state << " " << c.wait_time << " " << c.exchange_open;
  }
}

TEST(StationTexts, EveryFieldHasAReadableNameAndItsUnit) {
  struct Case {
    const char* name;
    const char* label;
    const char* unit;
  } cases[] = {
      {"data_id", "data id", ""},
      {"ac.channel[1].f", "AC input 2 frequency", "Hz"},
      {"ac.channel[0].a", "AC input 1 phase A voltage", "V"},
      {"ac.channel[0].p40_41[3]", "AC input 1 extra value 4", ""},
      {"rc.group_value", "rectifier output voltage", "V"},
      {"rc.channel[39].value", "rectifier 40 output current", "A"},
      {"rc.channel[2].switch_state[1]", "rectifier 3 switch state 2", ""},
      {"dc.out_v", "DC output voltage", "V"},
      {"dc2.out_i", "DC unit 2 output current", "A"},
      {"dc.m[5]", "DC battery 6 current", "A"},
      {"round_time", "round time", ""},
  };
  for (const Case& c : cases) {
    const auto description = kelvra::record::describe_field(c.name);
    EXPECT_EQ(description.label, c.label) << c.name;
    EXPECT_EQ(description.unit, c.unit) << c.name;
  }
  // No field of a full record is left with its raw name.
  kelvra_419_Data_t record{};
  record.ac.channel_count = 2;
  record.rc.channel_count = 40;
  record.dc.m_count = 3;
  record.dc2.alert_m_count = 2;
  std::size_t fields = 0;
  kelvra::record::for_each_field(record, [&fields](const kelvra::record::FieldValue& field) {
    ++fields;
    EXPECT_NE(field.label, field.name) << field.name;
  });
  EXPECT_GT(fields, 200u);
}

TEST(StationTexts, EnglishGlossesKeepTheDevicesText) {
  EXPECT_EQ(kelvra::station::with_english_gloss("输入电源中断告警"),
            "输入电源中断告警 (input power supply interrupted)");
  EXPECT_EQ(kelvra::station::with_english_gloss("数据未就绪"), "数据未就绪 (data not ready)");
  EXPECT_EQ(kelvra::station::with_english_gloss("不支持变量"), "不支持变量 (unsupported variable)");
  EXPECT_EQ(kelvra::station::with_english_gloss("communication lost"), "communication lost");
  EXPECT_EQ(kelvra::station::english_gloss("48V直流系统直流总电压超低告警"),
            "48 V DC system: DC bus voltage very low");
}

}  // namespace
