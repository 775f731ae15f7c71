// `send` of each poll command, decoded by the plug-in's decoders, and the refusal of control
// commands without leave.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fieldtools/send_one.h"
#include "hostkit/json_output.h"
#include "sim/simulator_server.h"
#include "station/console.h"
#include "tests/line/bench_fixture.h"

namespace {

using namespace std::chrono_literals;
using kelvra::fieldtools::SendRequest;

class SendTest : public ::testing::Test {
 protected:
  SendTest()
      : server_(bench_testing::quiet_simulator(*kelvra::sim::builtin_scenario("normal")),
                {"", dir_.file("tty")}, nullptr) {
    server_.start();
    port_ = std::make_unique<kelvra::fieldtools::CommandPort>(dir_.file("tty"), 9600, nullptr);
  }

  kelvra::fieldtools::SendResult send(std::uint8_t cid1, std::uint8_t cid2,
                                      std::vector<std::uint8_t> info = {},
                                      bool allow_control = false) {
    SendRequest request;
    request.cid1 = cid1;
    request.cid2 = cid2;
    request.info = std::move(info);
    request.allow_control = allow_control;
    request.timeout = 2000ms;
    return kelvra::fieldtools::send_one(*port_, request);
  }
  std::uint64_t answered() {
    return server_.with_simulator(
        [](kelvra::sim::Simulator& sim) { return sim.commands_answered(); });
  }

  bench_testing::TempDir dir_;
  kelvra::sim::SimulatorServer server_;
  std::unique_ptr<kelvra::fieldtools::CommandPort> port_;
};

std::map<std::string, std::string> field_map(const kelvra::fieldtools::SendResult& result) {
  std::map<std::string, std::string> fields;
  for (const auto& field : result.fields)
    fields[field.name] = kelvra::hostkit::json_text(field.value);
  return fields;
}

TEST_F(SendTest, DecodesEachPollAnswerIntoRecordFields) {
  struct Case {
    std::uint8_t cid1;
    std::uint8_t cid2;
    std::vector<std::uint8_t> info;
    const char* unit;                                // every field listed lies in this group
    std::map<std::string, std::string> some_fields;  // values as JSON
    const char* text_line;                           // one of them as the text lists it
  };
  const Case cases[] = {
      {0x40,
       0x41,
       {0x01},
       "ac.",
       {{"ac.channel_count", "2"}, {"ac.channel[0].a", "230.0"}, {"ac.channel[1].f", "50.0"}},
       "ac.channel[1].f = 50"},
      {0x40,
       0x43,
       {0x01},
       "ac.",
       {{"ac.airlock_count", "0"}, {"ac.p40_43_count", "4"}},
       "ac.p40_43_count = 4"},
      {0x40,
       0x44,
       {0x01},
       "ac.",
       {{"ac.channel[1].p40_44_count", "3"},
        {"ac.channel[1].f_state", "0"},
        {"ac.extra_state[2]", "0"}},
       "ac.channel[1].p40_44_count = 3"},
      {0x41,
       0x41,
       {},
       "rc.",
       {{"rc.group_value", "53.5"}, {"rc.channel_count", "6"}, {"rc.channel[5].value", "10.0"}},
       "rc.group_value = 53.5"},
      {0x41,
       0x43,
       {},
       "rc.",
       {{"rc.channel[5].p41_43_count", "1"}, {"rc.channel[5].switch_state[2]", "0"}},
       "rc.channel[5].p41_43_count = 1"},
      {0x41,
       0x44,
       {},
       "rc.",
       {{"rc.channel[5].alarm_state", "0"}, {"rc.channel[5].p41_44_count", "0"}},
       "rc.channel[5].alarm_state = 0"},
      {0x42,
       0x41,
       {},
       "dc.",
       {{"dc.out_v", "53.5"}, {"dc.out_i", "40.0"}, {"dc.p_count", "6"}, {"dc.p[5]", "25.0"}},
       "dc.out_i = 40"},
      {0x42,
       0x44,
       {},
       "dc.",
       {{"dc.alert_m_count", "4"}, {"dc.alert_p_count", "11"}},
       "dc.alert_p_count = 11"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cid1) + "/" + std::to_string(c.cid2));
    const auto result = send(c.cid1, c.cid2, c.info);
    ASSERT_TRUE(result.exchange.answer);
    EXPECT_EQ(result.exchange.answer->code, 0x00);
    const auto fields = field_map(result);
    for (const auto& [name, value] : c.some_fields) {
      ASSERT_EQ(fields.count(name), 1u) << name;
      EXPECT_EQ(fields.at(name), value) << name;
    }
    for (const auto& [name, value] : fields) {
      EXPECT_EQ(name.rfind(c.unit, 0), 0u) << name << " is not decoded from this answer";
    }
    const Json::Value json = kelvra::fieldtools::result_json(result);
    EXPECT_EQ(json["fields"].size(), fields.size());
    const std::string text = kelvra::fieldtools::result_text(result);
    EXPECT_NE(text.find("\n" + std::string(c.text_line) + "\n"), std::string::npos) << text;
  }
}

TEST_F(SendTest, OtherCommandsAreShownUndecoded) {
  const auto result = send(0x41, 0x50);
  ASSERT_TRUE(result.exchange.answer);
  EXPECT_EQ(result.exchange.answer->code, 0x04);
  EXPECT_TRUE(result.fields.empty());
  const std::string text = kelvra::fieldtools::result_text(result);
  EXPECT_EQ(text.substr(0, 53), "answer: VER 20 ADR 01 CID1 41 RTN 04 LENID 0 INFO -; ");
  EXPECT_NE(text.find("\nRTN 04: CID2 invalid: the equipment does not know this command\n"),
            std::string::npos)
      << text;
}

TEST(SendAnswers, EveryReturnCodeIsExplained) {
  const kelvra::frame::Frame command{0x20, 1, 0x42, 0x41, {}};
  const struct {
    std::uint8_t ver;
    std::uint8_t rtn;
    const char* meaning;
  } cases[] = {
      {0x20, 0x00, "normal"},
      {0x21, 0x01, "VER error: the equipment answers in VER 21; try --ver 0x21"},
      {0x20, 0x01, "VER error: the equipment takes another VER; try --ver with its VER"},
      {0x20, 0x02, "CHKSUM error: the command arrived damaged"},
      {0x20, 0x03, "LCHKSUM error: the command's LENID arrived damaged"},
      {0x20, 0x04, "CID2 invalid: the equipment does not know this command"},
      {0x20, 0x05, "command format error: the INFO is not what it expects"},
      {0x20, 0x06, "invalid data: a value in the INFO is out of range"},
      {0x20, 0x07, "not a known code"},
      {0x20, 0x80, "the maker's own code"},
  };
  for (const auto& c : cases) {
    const kelvra::frame::Frame answer{c.ver, 1, 0x42, c.rtn, {}};
    EXPECT_EQ(kelvra::fieldtools::rtn_meaning(command, answer), c.meaning) << int(c.rtn);
  }
}

TEST_F(SendTest, ControlCommandsAreRefusedWithoutLeave) {
  struct Case {
    std::uint8_t cid1;
    std::uint8_t cid2;
    std::vector<std::uint8_t> info;
    const char* refusal;
  };
  const Case cases[] = {
      {0x41,
       0x4E,
       {1, 2, 3, 4, 5, 6, 7},
       "41/4E is a control command and changes the equipment: give --allow-control to send it"},
      {0x42,
       0x48,
       {0xDC, 0x00, 0x00, 0x5C, 0x42},
       "42/48 is a control command and changes the equipment: give --allow-control to send it"},
      {0x41,
       0x45,
       {0x20, 0x01},
       "41/45 is a control command and changes the equipment: give --allow-control to send it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusal);
    try {
      send(c.cid1, c.cid2, c.info);
      ADD_FAILURE() << "sent without --allow-control";
    } catch (const kelvra::fieldtools::SendRefused& refused) {
      EXPECT_STREQ(refused.what(), c.refusal);
    }
  }
  EXPECT_EQ(answered(), 0u) << "nothing reached the equipment";

  const auto allowed = send(0x42, 0x48, {0xDC, 0x00, 0x00, 0x5C, 0x42}, true);
  ASSERT_TRUE(allowed.exchange.answer);
  EXPECT_EQ(allowed.exchange.answer->code, 0x00);
  EXPECT_TRUE(allowed.fields.empty());
  const auto setpoints = server_.with_simulator(
      [](kelvra::sim::Simulator& sim) { return sim.equipment().dc_setpoints; });
  EXPECT_EQ(setpoints.at(0xDC), 55.0f);
}

}  // namespace

namespace {

TEST(SendArguments, CodesAndInfoAreHex) {
  struct Case {
    const char* text;
    int code;  // -1: refused
  };
  const Case codes[] = {{"41", 0x41}, {"0x4E", 0x4E}, {"0X4e", 0x4E}, {"ff", 0xFF}, {"4", -1},
                        {"041", -1},  {"0x", -1},     {"g1", -1},     {"", -1},     {"0x411", -1}};
  for (const Case& c : codes) {
    SCOPED_TRACE(c.text);
    if (c.code < 0) {
      try {
        kelvra::fieldtools::parse_code("CID1", c.text);
        ADD_FAILURE() << "taken";
      } catch (const kelvra::fieldtools::SendRefused& refused) {
        EXPECT_EQ(std::string(refused.what()).rfind("CID1: ", 0), 0u) << refused.what();
      }
    } else {
      EXPECT_EQ(kelvra::fieldtools::parse_code("CID1", c.text), c.code);
    }
  }
  EXPECT_EQ(kelvra::fieldtools::parse_info(""), std::vector<std::uint8_t>{});
  EXPECT_EQ(kelvra::fieldtools::parse_info("dc00005C42"),
            (std::vector<std::uint8_t>{0xDC, 0x00, 0x00, 0x5C, 0x42}));
  EXPECT_EQ(kelvra::fieldtools::parse_info("01 02"), (std::vector<std::uint8_t>{0x01, 0x02}));
  for (const char* bad : {"0", "0g", "0 1", "0x01"}) {
    EXPECT_THROW(kelvra::fieldtools::parse_info(bad), kelvra::fieldtools::SendRefused) << bad;
  }
  EXPECT_EQ(kelvra::fieldtools::parse_info(std::string(4094, 'A')).size(), 2047u);
  EXPECT_THROW(kelvra::fieldtools::parse_info(std::string(4096, 'A')),
               kelvra::fieldtools::SendRefused);
}

}  // namespace
