// Command sequences of poll rounds, as the host layer records them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "tests/poll/poll_responses.h"

namespace {

using namespace poll_testing;
using Sequence = std::vector<SentCommand>;

// The INFO the equipment answers each poll command with.
struct Answers {
  std::uint8_t ac_analog = 0, ac_switch = 0, ac_alarm = 0;
  std::uint8_t rect_analog = 0, rect_switch = 0, rect_alarm = 0;
  std::uint8_t dc_analog = 0, dc_alarm = 0;

  Bytes info_for(const SentCommand& c) const {
    switch (c.cid1 << 8 | c.cid2) {
      case 0x4041:
        return ac_analog_info(ac_analog);
      case 0x4043:
        return ac_switch_info(ac_switch);
      case 0x4044:
        return ac_alarm_info(ac_alarm);
      case 0x4141:
        return rect_analog_info(rect_analog);
      case 0x4143:
        return rect_switch_info(rect_switch);
      case 0x4144:
        return rect_alarm_info(rect_alarm);
      case 0x4241:
        return dc_analog_info_format1(dc_analog);
      default:
        return dc_alarm_info_format1(dc_alarm);
    }
  }
};

// Starts a round and answers every command the device sends until it sends no more.
Sequence run_round(PolledDevice& polled, const Answers& answers) {
  polled.host.sent.clear();
  if (!polled.device.RefreshStatus()) return {};
  for (std::size_t answered = 0; answered < polled.host.sent.size() && answered < 16; ++answered) {
    const SentCommand command = polled.host.sent[answered];
    polled.answer(command.cid1, answers.info_for(command));
  }
  return polled.host.sent;
}

PolledDevice& with_dc(PolledDevice& polled) {
  polled.device.has_dc_ = true;
  return polled;
}

TEST(PollSequence, FirstRoundSendsAllEightWhateverTheDataflags) {
  for (std::uint8_t flag : std::initializer_list<std::uint8_t>{0x00, 0x01, 0x10, 0x11}) {
    PolledDevice polled;
    Answers answers{flag, flag, flag, flag, flag, flag, flag, flag};
    const Sequence all = {kAcAnalog,   kAcSwitch,  kAcAlarm,  kRectAnalog,
                          kRectSwitch, kRectAlarm, kDcAnalog, kDcAlarm};
    EXPECT_EQ(run_round(with_dc(polled), answers), all) << "dataflag " << int(flag);
    EXPECT_EQ(polled.device.poll_state_, 10);
    EXPECT_EQ(polled.device.data_valid_, 1);
  }
}

TEST(PollSequence, LaterRoundsFollowTheDataflags) {
  struct Case {
    const char* name;
    Answers answers;
    Sequence expected;
  };
  const Case cases[] = {
      {"all clear", {}, {kAcAnalog, kRectAnalog, kDcAnalog}},
      {"AC 0x11, switch answer clear",
       {0x11, 0x00},
       {kAcAnalog, kAcSwitch, kRectAnalog, kDcAnalog}},
      {"AC 0x11, switch answer 0x01",
       {0x11, 0x01},
       {kAcAnalog, kAcSwitch, kAcAlarm, kRectAnalog, kDcAnalog}},
      {"AC 0x10, switch answer 0x01",
       {0x10, 0x01},
       {kAcAnalog, kAcSwitch, kAcAlarm, kRectAnalog, kDcAnalog}},
      {"AC 0x01 only", {0x01}, {kAcAnalog, kAcAlarm, kRectAnalog, kDcAnalog}},
      {"rectifier 0x01 only", {0, 0, 0, 0x01}, {kAcAnalog, kRectAnalog, kRectAlarm, kDcAnalog}},
      // The rectifier switch answer's own DATAFLAG does not call for the alarm command.
      {"rectifier 0x10, switch answer 0x01",
       {0, 0, 0, 0x10, 0x01},
       {kAcAnalog, kRectAnalog, kRectSwitch, kDcAnalog}},
      {"rectifier 0x11",
       {0, 0, 0, 0x11},
       {kAcAnalog, kRectAnalog, kRectSwitch, kRectAlarm, kDcAnalog}},
      {"DC 0x10 only", {0, 0, 0, 0, 0, 0, 0x10}, {kAcAnalog, kRectAnalog, kDcAnalog, kDcAlarm}},
      {"DC 0x01 only", {0, 0, 0, 0, 0, 0, 0x01}, {kAcAnalog, kRectAnalog, kDcAnalog, kDcAlarm}},
      {"DC 0x02 only", {0, 0, 0, 0, 0, 0, 0x02}, {kAcAnalog, kRectAnalog, kDcAnalog}},
  };
  for (const Case& c : cases) {
    PolledDevice polled;
    polled.complete_first_round();
    EXPECT_EQ(run_round(with_dc(polled), c.answers), c.expected) << c.name;
    EXPECT_EQ(polled.device.poll_state_, 10) << c.name;
  }
}

TEST(PollSequence, UnitsLeftOutAreNeverPolled) {
  PolledDevice no_ac;
  no_ac.device.has_ac_ = false;
  with_dc(no_ac);
  EXPECT_EQ(run_round(no_ac, {}),
            (Sequence{kRectAnalog, kRectSwitch, kRectAlarm, kDcAnalog, kDcAlarm}));
  no_ac.age_last_round();
  EXPECT_EQ(run_round(no_ac, {}), (Sequence{kRectAnalog, kDcAnalog}));

  PolledDevice no_dc;
  EXPECT_EQ(run_round(no_dc, {}),
            (Sequence{kAcAnalog, kAcSwitch, kAcAlarm, kRectAnalog, kRectSwitch, kRectAlarm}));
  EXPECT_EQ(no_dc.device.poll_state_, 10);
  no_dc.age_last_round();
  EXPECT_EQ(run_round(no_dc, {0, 0, 0, 0x11}),
            (Sequence{kAcAnalog, kRectAnalog, kRectSwitch, kRectAlarm}));
  no_dc.age_last_round();
  EXPECT_EQ(run_round(no_dc, {}), (Sequence{kAcAnalog, kRectAnalog}));
}

TEST(PollSequence, DcCommandsCarryTheInfoByteAtProtocol21Only) {
  PolledDevice polled;
  polled.device.protocol_ver_ = 0x21;
  const SentCommand dc_analog_21{0x42, 0x41, {0x01}};
  const SentCommand dc_alarm_21{0x42, 0x44, {0x01}};
  EXPECT_EQ(run_round(with_dc(polled), {}),
            (Sequence{kAcAnalog, kAcSwitch, kAcAlarm, kRectAnalog, kRectSwitch, kRectAlarm,
                      dc_analog_21, dc_alarm_21}));

  // The version in force when each command goes out decides.
  polled.age_last_round();
  polled.host.sent.clear();
  ASSERT_TRUE(polled.device.RefreshStatus());
  polled.answer(0x40, ac_analog_info(0));
  polled.device.protocol_ver_ = 0x20;
  polled.answer(0x41, rect_analog_info(0));
  EXPECT_EQ(polled.host.sent, (Sequence{kAcAnalog, kRectAnalog, kDcAnalog}));
}

// Runs fn with a fresh device whose last round ended `ago` seconds before now, retrying when the
// clock's second changes under it so the elapsed time is exactly `ago`.
template <class Fn>
void with_last_round_ago(int ago, Fn fn) {
  for (;;) {
    PolledDevice polled;
    const auto before = boost::posix_time::second_clock::local_time();
    polled.device.last_round_time_ = before - boost::posix_time::seconds(ago);
    polled.device.wait_time_ = 0;
    const bool started = polled.device.RefreshStatus();
    if (boost::posix_time::second_clock::local_time() != before) continue;
    fn(polled, started);
    return;
  }
}

TEST(PollSpacing, RoundsStartTwoSecondsAfterTheLastOrWhenTheClockWasSetBack) {
  struct Case {
    int ago;
    bool starts;
  };
  // Negative: the clock now stands before the last round; beyond 2 s that means it was set back.
  const Case cases[] = {{0, false},  {1, false},  {2, true},  {3, true},
                        {-1, false}, {-2, false}, {-3, true}, {-86400 * 3, true}};
  for (const Case& c : cases) {
    with_last_round_ago(c.ago, [&](PolledDevice& polled, bool started) {
      EXPECT_EQ(started, c.starts) << c.ago << " s";
      if (c.starts) {
        EXPECT_EQ(polled.host.sent, (Sequence{kAcAnalog})) << c.ago << " s";
        EXPECT_EQ(polled.device.wait_time_, 0) << c.ago << " s";
        EXPECT_EQ(polled.device.poll_state_, 0) << c.ago << " s";
      } else {
        EXPECT_TRUE(polled.host.sent.empty()) << c.ago << " s";
        EXPECT_EQ(polled.device.wait_time_, 10) << c.ago << " s";
      }
    });
  }
}

TEST(PollSpacing, HostDeclinesBeforeTheClockIsLookedAt) {
  PolledDevice polled;
  polled.host.refresh_result = false;
  EXPECT_FALSE(polled.device.RefreshStatus());
  EXPECT_TRUE(polled.host.sent.empty());
  EXPECT_EQ(polled.device.wait_time_, 0);
}

TEST(PollSpacing, NoAcMeansRoundsStartAtTheRectifiers) {
  PolledDevice polled;
  polled.device.has_ac_ = false;
  ASSERT_TRUE(polled.device.RefreshStatus());
  EXPECT_EQ(polled.host.sent, (Sequence{kRectAnalog}));
  EXPECT_EQ(polled.device.poll_state_, 4);
}

// Drives a first round up to and including the DC analog answer.
void answer_up_to_dc(PolledDevice& polled, const Bytes& dc_info) {
  polled.device.has_dc_ = true;
  ASSERT_TRUE(polled.device.RefreshStatus());
  polled.answer(0x40, ac_analog_info(0));
  polled.answer(0x40, ac_switch_info(0));
  polled.answer(0x40, ac_alarm_info(0));
  polled.answer(0x41, rect_analog_info(0));
  polled.answer(0x41, rect_switch_info(0));
  polled.answer(0x41, rect_alarm_info(0));
  ASSERT_EQ(polled.device.poll_state_, 7);
  polled.answer(0x42, dc_info);
}

float stored(const f32le& field) {
  return field.get();
}

TEST(DcFormat, DetectedFromTheFirstFourBytesBehindTheDataflag) {
  struct Case {
    const char* name;
    Bytes first_value;
    int format;
  };
  const Case cases[] = {{"48.0", kVolts48, 1},
                        {"40.0", kVolts40, 2},
                        {"60.0", kVolts60, 2},
                        {"0.0", kVolts0, 2},
                        {"NaN", kVoltsNaN, 2}};
  for (const Case& c : cases) {
    PolledDevice polled;
    answer_up_to_dc(polled, join({{0x00}, dc_analog_unit(c.first_value)}));
    EXPECT_EQ(polled.device.no_dc_number_, c.format) << c.name;
  }
}

TEST(DcFormat, StaysOnceDetected) {
  PolledDevice polled;
  answer_up_to_dc(polled, join({{0x00}, dc_analog_unit(kVolts48)}));
  ASSERT_EQ(polled.device.no_dc_number_, 1);
  polled.answer(0x42, dc_alarm_info_format1(0));
  polled.age_last_round();
  polled.device.RefreshStatus();
  polled.answer(0x40, ac_analog_info(0));
  polled.answer(0x41, rect_analog_info(0));
  polled.answer(0x42, join({{0x00}, dc_analog_unit(kVolts0)}));
  EXPECT_EQ(polled.device.no_dc_number_, 1);
  // Format 1 reads the unit from byte 7: out_v is the 0.0 just sent.
  EXPECT_EQ(stored(polled.device.data_.dc.out_v), 0.0f);
}

TEST(DcFormat, ConfiguredFormatIsNotDetected) {
  for (int configured : {0, 2}) {
    PolledDevice polled;
    polled.device.no_dc_number_ = configured;
    // A unit count of 1 then a unit whose voltage 48.0 would have meant format 1.
    answer_up_to_dc(polled, join({{0x00, 0x01}, dc_analog_unit(kVolts48)}));
    EXPECT_EQ(polled.device.no_dc_number_, configured);
    EXPECT_EQ(stored(polled.device.data_.dc.out_v), 48.0f) << configured;
  }
}

TEST(DcFormat, ResponseTooShortForTheFirstValueLeavesTheFormatUndecided) {
  PolledDevice polled;
  answer_up_to_dc(polled, {0x00, 0x00, 0x00, 0x56});  // DATAFLAG, three bytes
  EXPECT_EQ(polled.device.no_dc_number_, -1);
  EXPECT_EQ(polled.host.sent.back(), kDcAlarm);
}

TEST(DcFormat, Format2DecodesAsManyUnitsAsTheCountSaysUpToTwo) {
  struct Case {
    std::uint8_t units;
    float dc_volts;
    float dc2_volts;
    std::uint8_t dc2_state;
  };
  // Unit u's voltage bytes are 00 00 50+u 42: 52.0, 52.25, 52.5; dc2 stays zero unless decoded.
  const Case cases[] = {{1, 52.0f, 0.0f, 0x00}, {2, 52.0f, 52.25f, 0x71}, {3, 52.0f, 52.25f, 0x71}};
  for (const Case& c : cases) {
    PolledDevice polled;
    polled.device.no_dc_number_ = 2;
    // Two blocks follow whatever the count: a count of 1 leaves the second one unread.
    answer_up_to_dc(polled, dc_analog_info_format2(0, c.units, 2));
    EXPECT_EQ(polled.host.sent.back(), kDcAlarm);
    const std::string lines = testing_support::capture_stdout(
        [&] { polled.answer(0x42, dc_alarm_info_format2(0, c.units, 2)); });
    EXPECT_NE(
        lines.find("pmbuspower_419 PMBUSPOWER_42_44 dc_number:" + std::to_string(c.units) + "\n"),
        std::string::npos);
    const auto& record = polled.device.data_;
    EXPECT_EQ(stored(record.dc.out_v), c.dc_volts) << int(c.units);
    EXPECT_EQ(stored(record.dc2.out_v), c.dc2_volts) << int(c.units);
    EXPECT_EQ(record.dc.out_v_state, 0x70) << int(c.units);
    EXPECT_EQ(record.dc2.out_v_state, c.dc2_state) << int(c.units);
    EXPECT_EQ(polled.device.poll_state_, 10);
  }
}

TEST(DcFormat, Format2SecondUnitSkippedWhenTheFirstIsRefused) {
  PolledDevice polled;
  polled.device.no_dc_number_ = 2;
  // Unit count 2; the first unit announces three m floats but carries one.
  const Bytes info = {0x00, 0x02,               // DATAFLAG, unit count 2
                      0x00, 0x00, 0x50, 0x42,   // out_v 52.0
                      0x00, 0x00, 0x20, 0x41,   // out_i 10.0
                      0x03,                     // m count 3
                      0x00, 0x00, 0x80, 0x3F};  // one m float only
  answer_up_to_dc(polled, info);
  EXPECT_EQ(stored(polled.device.data_.dc.out_v), 52.0f);
  EXPECT_EQ(polled.device.data_.dc.m_count, 3);
  const Bytes untouched(sizeof polled.device.data_.dc2, 0);
  EXPECT_EQ(std::memcmp(&polled.device.data_.dc2, untouched.data(), untouched.size()), 0);
  EXPECT_EQ(polled.host.sent.back(), kDcAlarm);
}

TEST(PollDiagnostics, RectifierAndDcLines) {
  PolledDevice polled;
  polled.device.has_dc_ = true;
  polled.device.has_ac_ = false;
  ASSERT_TRUE(polled.device.RefreshStatus());
  const std::string rect =
      testing_support::capture_stdout([&] { polled.answer(0x41, rect_analog_info(0)); });
  EXPECT_NE(rect.find("41_43 16 vs 16\n"), std::string::npos) << rect;
  polled.answer(0x41, rect_switch_info(0));
  polled.answer(0x41, rect_alarm_info(0));
  const std::string dc =
      testing_support::capture_stdout([&] { polled.answer(0x42, dc_analog_info_format1(0)); });
  // Format 1 has no unit count: byte 7 is the voltage's first byte.
  EXPECT_NE(dc.find("pmbuspower_419 PMBUSPOWER_42_41 dc_number:0\n"), std::string::npos) << dc;
  const std::string alarm =
      testing_support::capture_stdout([&] { polled.answer(0x42, dc_alarm_info_format1(0)); });
  EXPECT_EQ(alarm.find("PMBUSPOWER_42_44"), std::string::npos) << alarm;
}

TEST(PollResponses, LengthBoundedByTheBytesReceived) {
  struct Case {
    const char* name;
    Bytes response;
    const char* line;
  };
  const Case cases[] = {
      // Length field claims 0x7FFF bytes of INFO; 16 arrived.
      {"overlong field", join({{0x20, 0x01, 0x41, 0x00, 0xFE, 0xFF}, rect_analog_info(0)}),
       "41_43 16 vs 16\n"},
      {"no INFO", {0x20, 0x01, 0x41, 0x00, 0x20, 0x00}, "41_43 0 vs -1\n"},
      {"header cut short", {0x20, 0x01, 0x41}, "41_43 0 vs -1\n"},
      // Field shorter than what arrived: only the declared 6 bytes are INFO.
      {"short field", join({{0x20, 0x01, 0x41, 0x00, 0x0C, 0x00}, rect_analog_info(0)}),
       "41_43 6 vs -1\n"},
  };
  for (const Case& c : cases) {
    PolledDevice polled;
    polled.device.has_ac_ = false;
    ASSERT_TRUE(polled.device.RefreshStatus());
    const std::string lines = testing_support::capture_stdout(
        [&] { testing_support::respond(polled.device, c.response); });
    EXPECT_NE(lines.find(c.line), std::string::npos) << c.name << ": " << lines;
    // First round: the switch command follows whatever the decoder said.
    EXPECT_EQ(polled.host.sent.back(), kRectSwitch) << c.name;
  }
}

TEST(PollResponses, RejectedAcAnalogLeavesNothingOutstandingAndPollingResumes) {
  PolledDevice polled;
  ASSERT_TRUE(polled.device.RefreshStatus());
  ASSERT_TRUE(polled.device.IsProcessing());
  // Channel count 1, then the channel block cut short.
  EXPECT_TRUE(polled.answer(0x40, {0x00, 0x01, 0x00, 0x00, 0x5C}));
  EXPECT_EQ(polled.host.sent, (Sequence{kAcAnalog}));
  EXPECT_EQ(polled.device.poll_state_, 0);
  EXPECT_FALSE(polled.device.IsProcessing());
  EXPECT_EQ(polled.device.data_valid_, 0);

  EXPECT_TRUE(polled.device.RefreshStatus());
  EXPECT_EQ(polled.host.sent, (Sequence{kAcAnalog, kAcAnalog}));
  EXPECT_TRUE(polled.device.IsProcessing());
}

TEST(PollResponses, OutsideThePollStatesOnlyMarkTheControlAnswered) {
  for (int state : {10, 3, 300, 310, -1}) {
    PolledDevice polled;
    polled.device.poll_state_ = state;
    const Bytes before(polled.device.record_bytes(),
                       polled.device.record_bytes() + kelvra_419::kRecordSize);
    EXPECT_FALSE(polled.answer(0x40, ac_analog_info(0x11))) << state;
    EXPECT_EQ(polled.device.control_result_, 1) << state;
    EXPECT_EQ(polled.device.poll_state_, state);
    EXPECT_TRUE(polled.host.sent.empty()) << state;
    EXPECT_EQ(
        Bytes(polled.device.record_bytes(), polled.device.record_bytes() + kelvra_419::kRecordSize),
        before)
        << state;
  }
}

}  // namespace
