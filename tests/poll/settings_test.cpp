// Device settings from the host's JSON configuration, and their diagnostic lines.
#include <gtest/gtest.h>

#include <climits>

#include <json/reader.h>

#include "device/settings_text.h"
#include "tests/poll/poll_responses.h"

namespace {

using namespace poll_testing;

Json::Value parse(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, value)) << text;
  return value;
}

// The members the settings steer, for whole-state comparison.
struct Switches {
  bool has_ac, has_dc;
  int no_dc_number;
  bool has_a, has_b, has_c;
  int dc_i_adjust, b_mode;
  bool operator==(const Switches& o) const {
    return has_ac == o.has_ac && has_dc == o.has_dc && no_dc_number == o.no_dc_number &&
           has_a == o.has_a && has_b == o.has_b && has_c == o.has_c &&
           dc_i_adjust == o.dc_i_adjust && b_mode == o.b_mode;
  }
};
std::ostream& operator<<(std::ostream& os, const Switches& s) {
  return os << "ac " << s.has_ac << " dc " << s.has_dc << " no_dc_number " << s.no_dc_number
            << " abc " << s.has_a << s.has_b << s.has_c << " dc_i_adjust " << s.dc_i_adjust
            << " b_mode " << s.b_mode;
}
Switches switches_of(const kelvra_419& d) {
  return {d.has_ac_, d.has_dc_, d.no_dc_number_, d.has_a_,
          d.has_b_,  d.has_c_,  d.dc_i_adjust_,  d.b_mode_};
}
const Switches kDefaults{true, false, -1, true, true, true, 1, 1};

// Applies settings and returns what was printed.
std::string apply(PolledDevice& polled, const std::string& json) {
  bool result = false;
  const std::string out =
      testing_support::capture_stdout([&] { result = polled.device.InitSetting(parse(json)); });
  EXPECT_TRUE(result) << json;
  return out;
}

TEST(TextToInt, ReadsLikeAtoiAndSaturates) {
  struct Case {
    const char* text;
    int value;
  };
  const Case cases[] = {
      {"1", 1},
      {"0", 0},
      {"-1", -1},
      {"+3", 3},
      {" \t\n\v\f\r42", 42},
      {"12abc", 12},
      {"007", 7},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {" - 5", 0},
      {"1.9", 1},
      {"true", 0},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"99999999999999999999999999", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-2147483649", INT_MIN},
      {"-99999999999999999999999999", INT_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(text_to_int(c.text), c.value) << '"' << c.text << '"';
}

TEST(Settings, EachKeyUnderAppSetting) {
  struct Case {
    const char* json;
    Switches expected;
  };
  const Case cases[] = {
      {R"({})", kDefaults},
      {R"({"other": {"has_ac": "0"}})", kDefaults},
      {R"({"appSetting": "has_ac"})", kDefaults},
      {R"({"appSetting": ["0", "1"]})", kDefaults},
      {R"({"appSetting": null})", kDefaults},
      {R"({"appSetting": {"has_ac": "0", "has_dc": "1"}})",
       {false, true, -1, true, true, true, 1, 1}},
      {R"({"appSetting": {"no_dc_number": "2"}})", {true, false, 2, true, true, true, 1, 1}},
      {R"({"appSetting": {"no_dc_number": "0"}})", {true, false, 0, true, true, true, 1, 1}},
      {R"({"appSetting": {"has_a": "0", "has_b": "7", "has_c": "zero"}})",
       {true, false, -1, false, true, false, 1, 1}},
      {R"({"appSetting": {"dc_i_adjust": "-1"}})", {true, false, -1, true, true, true, -1, 1}},
      {R"({"appSetting": {"dc_i_adjust": "99999999999"}})",
       {true, false, -1, true, true, true, INT_MAX, 1}},
      {R"({"appSetting": {"b_mode": "2"}})", {true, false, -1, true, true, true, 1, 2}},
      // Numbers and booleans convert through their text form: "true" reads as 0.
      {R"({"appSetting": {"has_dc": 1, "has_ac": true, "dc_i_adjust": 2.7}})",
       {false, true, -1, true, true, true, 2, 1}},
      // Null, object and array values count as absent.
      {R"({"appSetting": {"has_ac": null, "has_dc": {"v": "1"}, "b_mode": ["3"],
           "no_dc_number": [], "dc_i_adjust": {}}})",
       kDefaults},
  };
  for (const Case& c : cases) {
    PolledDevice polled;
    apply(polled, c.json);
    EXPECT_EQ(switches_of(polled.device), c.expected) << c.json;
    EXPECT_EQ(polled.host.calls.back(), "init_setting") << c.json;
  }
}

TEST(Settings, LaterCallsKeepWhatTheyDoNotMention) {
  PolledDevice polled;
  apply(polled, R"({"appSetting": {"has_dc": "1", "no_dc_number": "2", "has_b": "0",
                                   "dc_i_adjust": "3", "b_mode": "2"}})");
  apply(polled, R"({"appSetting": {"has_ac": "0"}})");
  EXPECT_EQ(switches_of(polled.device), (Switches{false, true, 2, true, false, true, 3, 2}));
  // "-1" brings detection back.
  apply(polled, R"({"appSetting": {"no_dc_number": "-1"}})");
  EXPECT_EQ(polled.device.no_dc_number_, -1);
}

TEST(Settings, DataIdGoesIntoTheRecord) {
  PolledDevice polled;
  polled.device.Init({}, 0x0A0B0C0D, Json::Value());
  apply(polled, R"({"thresholdSetting": {}})");
  const Bytes expected = {0x0D, 0x0C, 0x0B, 0x0A};  // data_id, least significant byte first
  EXPECT_EQ(Bytes(polled.device.record_bytes(), polled.device.record_bytes() + 4), expected);
  // Everything else stays zero until a response is decoded.
  const Bytes rest(polled.device.record_bytes() + 4,
                   polled.device.record_bytes() + kelvra_419::kRecordSize);
  EXPECT_EQ(rest, Bytes(kelvra_419::kRecordSize - 4, 0));
}

TEST(Settings, NoAcWithDcStartsAtTheRectifiersAndPollsDc) {
  PolledDevice polled;
  apply(polled, R"({"appSetting": {"has_dc": "1", "has_ac": "0"}})");
  ASSERT_TRUE(polled.device.RefreshStatus());
  EXPECT_EQ(polled.host.sent, (std::vector<SentCommand>{kRectAnalog}));
  polled.answer(0x41, rect_analog_info(0));
  polled.answer(0x41, rect_switch_info(0));
  testing_support::capture_stdout([&] { polled.answer(0x41, rect_alarm_info(0)); });
  EXPECT_EQ(polled.host.sent.back(), kDcAnalog);
}

TEST(Settings, ThresholdSettingWalkLines) {
  struct Case {
    const char* name;
    const char* json;
    const char* lines;
  };
  const Case cases[] = {
      {"mode 3 with entries",
       R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
            "220600120020": {"NMAlarmID": "0406002", "SignalNumber": "2"},
            "220600120010": {"SignalName": "x", "NMAlarmID": "0406001", "ID": "12",
                             "SignalNumber": "1"},
            "220600120030": "not an entry",
            "220600120040": {"NMAlarmID": {"a": 1}, "ID": null}}})",
       "InitSetting 42 b_mode_:3\n"
       "here 1\n"
       "here 2\n"
       "here 220600120010\n"
       "mobile:220600120010:0406001;12;1; level:2 value:53.5\n"
       "here 220600120020\n"
       "42 ID is missing\n"
       "mobile:220600120020:0406002;;2; level:0 value:0\n"
       "here 220600120030\n"
       "here 220600120040\n"
       "42 NMAlarmID is missing\n"
       "42 ID is missing\n"
       "42 SignalNumber is missing\n"
       "mobile:220600120040:;;; level:0 value:0\n"},
      {"mode 3 without thresholdSetting", R"({"appSetting": {"b_mode": "3"}})",
       "InitSetting 42 b_mode_:3\nhere 1\n"},
      {"thresholdSetting an array",
       R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": [{"ID": "1"}]})",
       "InitSetting 42 b_mode_:3\nhere 1\nhere 2\n"},
      {"thresholdSetting a string", R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": "x"})",
       "InitSetting 42 b_mode_:3\nhere 1\nhere 2\n"},
      {"mode 2", R"({"appSetting": {"b_mode": "2"}, "thresholdSetting": {"1": {}}})",
       "InitSetting 42 b_mode_:2\n"},
      {"no b_mode", R"({"thresholdSetting": {"1": {}}})", ""},
  };
  for (const Case& c : cases) {
    PolledDevice polled;
    polled.device.data_id_ = 42;
    polled.device.threshold_levels_["220600120010"] = 2;
    polled.device.threshold_values_["220600120010"] = 53.5f;
    EXPECT_EQ(apply(polled, c.json), c.lines) << c.name;
  }
}

TEST(Settings, ThresholdWalkRunsWithAModeKeptFromBefore) {
  PolledDevice polled;
  apply(polled, R"({"appSetting": {"b_mode": "3"}})");
  EXPECT_EQ(apply(polled, R"({"appSetting": {"has_dc": "1"}})"), "here 1\n");
  EXPECT_EQ(apply(polled, R"({"thresholdSetting": {"7": {"NMAlarmID": "1", "ID": "2",
                                                         "SignalNumber": "3"}}})"),
            "here 1\nhere 2\nhere 7\nmobile:7:1;2;3; level:0 value:0\n");
  // Looking a key up leaves an entry of 0 behind.
  EXPECT_EQ(polled.device.threshold_levels_.count("7"), 1u);
  EXPECT_EQ(polled.device.threshold_values_.count("7"), 1u);
}

}  // namespace
