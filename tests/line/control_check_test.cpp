// The host's check of control requests, over the device's own table.
#include <gtest/gtest.h>

#include "station/control_check.h"

namespace {

using kelvra::station::check_control;
using kelvra::station::device_control_table;
using kelvra::station::refusal_text;
using kelvra::station::SetValueRange;

struct Case {
  int code;
  const char* argument;
  bool refused;
  const char* words;
};

constexpr const char* kForceHint = ": nothing was sent (--force sends it)";

TEST(ControlCheck, RefusesWhatWouldDoHarmOrNothingInWords) {
  const std::string hint = kForceHint;
  const Case cases[] = {
      {310, R"({"signal_id":"006201","SetValue":"53.5"})", false, ""},
      {310, R"({"signal_id":"006202","SetValue":40})", false, ""},  // the range's ends count
      {310, R"({"signal_id":"006201","SetValue":"60.0"})", false, ""},
      {310, R"({"signal_id":"006201","SetValue":"+45."})", false, ""},
      {310, R"({"signal_id":"006201","SetValue":".5e2"})", true,
       R"(SetValue ".5e2" is not a decimal number; the device would send 0)"},
      {310, R"({"signal_id":"006201","SetValue":"abc"})", true,
       R"(SetValue "abc" is not a decimal number; the device would send 0)"},
      {310, R"({"signal_id":"006201","SetValue":""})", true,
       R"(SetValue "" is not a decimal number; the device would send 0)"},
      {310, R"({"signal_id":"006201","SetValue":"53.5V"})", true,
       R"(SetValue "53.5V" is not a decimal number; the device would send 0)"},
      {310, R"({"signal_id":"006201","SetValue":"nan"})", true,
       R"(SetValue "nan" is not a decimal number; the device would send 0)"},
      {310, R"({"signal_id":"006201","SetValue":"60.01"})", true,
       "SetValue 60.01 lies outside 40 to 60 V"},
      {310, R"({"signal_id":"006201","SetValue":-48})", true,
       "SetValue -48 lies outside 40 to 60 V"},
      {310, R"({"signal_id":"006201","SetValue":"1e999"})", true,
       R"(SetValue "1e999" is not a decimal number; the device would send 0)"},
      {310, R"({"signal_id":"006299","SetValue":"50"})", true,
       R"(no such signal "006299" (006201, 006202): nothing was sent)"},
      {310, R"({"SetValue":"50"})", true,
       R"(code 310 takes a JSON object such as {"signal_id":"006201","SetValue":"53.5"}: nothing was sent)"},
      {310, R"({"signal_id":"006201"})", true,
       R"(code 310 takes a JSON object such as {"signal_id":"006201","SetValue":"53.5"}: nothing was sent)"},
      {310, R"(["006201", "50"])", true,
       R"(code 310 takes a JSON object such as {"signal_id":"006201","SetValue":"53.5"}: nothing was sent)"},
      {300, "01020304050607", false, ""},
      {300, "010203040506", true, "code 300 takes 7 bytes, got 6: nothing was sent"},
      {300, "0102030405060708", true, "code 300 takes 7 bytes, got 8: nothing was sent"},
      {300, "", true, "code 300 takes 7 bytes, got 0: nothing was sent"},
      {300, "0102030405060", true,
       "code 300 takes its bytes in hex, e.g. 01020304050607: nothing was sent"},
      {300, "01020304050G07", true,
       "code 300 takes its bytes in hex, e.g. 01020304050607: nothing was sent"},
      {320, "419500201001", false, ""},
      {320, "419500602001", false, ""},
      {320, "41950020100", true, "no such command: nothing was sent"},
      {320, "", true, "no such command: nothing was sent"},
      {5, "", false, "code 5 reads back the last control outcome"},
      {0, "anything", false, "code 0 reads back the last control outcome"},
  };
  for (const Case& request : cases) {
    const auto verdict =
        check_control(request.code, request.argument, device_control_table(), SetValueRange{});
    EXPECT_EQ(verdict.refused, request.refused) << request.code << " " << request.argument;
    std::string words = request.words;
    const bool forceable = words.rfind("SetValue", 0) == 0;
    if (forceable) words += hint;
    EXPECT_EQ(verdict.refused ? refusal_text(verdict, true) : verdict.words, words)
        << request.code << " " << request.argument;
    if (forceable) {
      // HTTP and MQTT cannot force: their refusal says where forcing is possible instead.
      EXPECT_EQ(refusal_text(verdict, false),
                request.words + std::string(": nothing was sent (forcing is only possible on the "
                                            "host itself: kelvra-host control --force, through "
                                            "its control socket)"));
    }
  }
}

TEST(ControlCheck, RangeComesFromSettings) {
  const std::string argument = R"({"signal_id":"006201","SetValue":"26.5"})";
  EXPECT_TRUE(check_control(310, argument, device_control_table(), SetValueRange{}).refused);
  const auto in_range =
      check_control(310, argument, device_control_table(), SetValueRange{20.0, 30.0});
  EXPECT_FALSE(in_range.refused) << in_range.words;
  EXPECT_EQ(
      refusal_text(check_control(310, argument, device_control_table(), SetValueRange{27.0, 30.0}),
                   true),
      std::string("SetValue 26.5 lies outside 27 to 30 V") + kForceHint);
}

}  // namespace
