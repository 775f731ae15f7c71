#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/rules/rules_fixture.h"

namespace {

using rules_testing::RecordedDevice;

const std::vector<std::string> kAcLines1 = {
    "1|p40_44_0|06001|模块告警|第1路交流输入-整流器输入主空开|",
    "1|p40_44_1|06001|模块告警|第1路交流输入-停电|",
    "1|p40_44_2|06001|模块告警|第1路交流输入-防雷器坏|",
};

const std::vector<std::string> kDcLines = {
    "2|KELVRA_DC_0|06079|一级低压脱离告警|第一级低压脱离开关动作，其后的负载被断电|",
    "2|KELVRA_DC_1|06080|二级低压脱离告警|第二级低压脱离开关动作，其后的负载被断电|",
    "2|KELVRA_DC_2|06007|负载熔丝故障告警|负载熔丝1故障告警|",
    "2|KELVRA_DC_3|06029|电池1电压低|其他告警|",
    "2|KELVRA_DC_4|06003|电池温度过高告警|电池1温度高|",
    "2|KELVRA_DC_5|06007|负载熔丝故障告警|负载熔丝2故障告警|",
    "2|KELVRA_DC_6|06001|电池2电压低|其他告警|",
    "2|KELVRA_DC_7|06003|电池温度过高告警|电池2温度高|",
    "2|KELVRA_DC_8|06007|负载熔丝故障告警|负载熔丝3故障告警|",
    "2|KELVRA_DC_9|06001|电池3电压低|其他告警|",
    "2|KELVRA_DC_10|06003|电池温度过高告警|电池3温度高|",
};

// Byte values that make each DC alarm of the table active, in row order.
const std::uint8_t kDcActive[11] = {0xF0, 0xF1, 3, 1, 2, 3, 1, 2, 3, 1, 2};

// Generic rules off (mode 0) so only the model's alarms are reported, numbered from 1.
void run_model(kelvra_419& device) {
  device.b_mode_ = 0;
  device.rule_seq_ = 1;
  device.RunCheckThreshold();
}

std::string with(const std::string& head, bool state, int seq) {
  return head + (state ? "1|" : "0|") + std::to_string(seq);
}

TEST(ModelAlarms, TextsKeysIdsAndNumbering) {
  RecordedDevice rd;
  rd.device.has_dc_ = true;
  rd.device.data_.ac.channel_count = 2;
  rd.device.data_.dc.alert_p_count = 11;
  run_model(rd.device);

  std::vector<std::string> expected;
  int seq = 1;
  for (const std::string& head : kAcLines1) expected.push_back(with(head, false, seq++));
  expected.push_back(
      with("1|p40_44_0|06001|模块告警|第2路交流输入-整流器输入主空开|", false, seq++));
  expected.push_back(with("1|p40_44_1|06001|模块告警|第2路交流输入-停电|", false, seq++));
  expected.push_back(with("1|p40_44_2|06001|模块告警|第2路交流输入-防雷器坏|", false, seq++));
  for (const std::string& head : kDcLines) expected.push_back(with(head, false, seq++));
  EXPECT_EQ(rules_testing::lines(rd.host), expected);
  EXPECT_EQ(rd.device.rule_seq_, 18);
}

TEST(ModelAlarms, WhichGroupsAreReported) {
  struct Case {
    const char* what;
    bool has_ac, has_dc;
    std::uint8_t channel_count, alert_p_count;
    int mode;
    std::vector<std::string> keys;
    std::vector<unsigned short> seqs;
  };
  const std::vector<std::string> ac_keys = {"p40_44_0", "p40_44_1", "p40_44_2"};
  const std::vector<std::string> dc_keys = {
      "KELVRA_DC_0", "KELVRA_DC_1", "KELVRA_DC_2", "KELVRA_DC_3", "KELVRA_DC_4", "KELVRA_DC_5",
      "KELVRA_DC_6", "KELVRA_DC_7", "KELVRA_DC_8", "KELVRA_DC_9", "KELVRA_DC_10"};
  const auto twice = [](std::vector<std::string> k) {
    const auto copy = k;
    k.insert(k.end(), copy.begin(), copy.end());
    return k;
  };
  const auto seqs = [](unsigned short from, unsigned short to) {
    std::vector<unsigned short> out;
    for (unsigned short s = from; s <= to; ++s) out.push_back(s);
    return out;
  };
  const std::vector<Case> cases = {
      {"DC only, numbered from 1", false, true, 2, 11, 0, dc_keys, seqs(1, 11)},
      {"two AC inputs, DC off", true, false, 2, 11, 0, twice(ac_keys), seqs(1, 6)},
      {"no AC input received", true, true, 0, 11, 0, dc_keys, seqs(1, 11)},
      {"DC count 10", true, true, 1, 10, 0, ac_keys, seqs(1, 3)},
      {"DC count 12", true, true, 1, 12, 0, ac_keys, seqs(1, 3)},
      {"AC count 3 evaluates the two stored inputs", true, false, 3, 0, 0, twice(ac_keys),
       seqs(1, 6)},
      {"AC count 255 evaluates the two stored inputs", true, false, 255, 0, 0, twice(ac_keys),
       seqs(1, 6)},
      {"mode 3 changes nothing", false, true, 0, 11, 3, dc_keys, seqs(1, 11)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordedDevice rd;
    rd.device.has_ac_ = c.has_ac;
    rd.device.has_dc_ = c.has_dc;
    rd.device.data_.ac.channel_count = c.channel_count;
    rd.device.data_.dc.alert_p_count = c.alert_p_count;
    rd.device.rule_seq_ = 1;
    rd.device.b_mode_ = c.mode;
    rd.device.RunCheckThreshold();
    std::vector<std::string> keys;
    std::vector<unsigned short> got_seqs;
    for (const auto& a : rd.host.alarms) {
      keys.push_back(a.key);
      got_seqs.push_back(a.seq);
    }
    EXPECT_EQ(keys, c.keys);
    EXPECT_EQ(got_seqs, c.seqs);
  }
}

TEST(ModelAlarms, AcAlarmBytesHoldOnlyTheirOwnValue) {
  struct Case {
    std::uint8_t bytes[3];
    std::string states;
  };
  const std::vector<Case> cases = {
      {{5, 0xE0, 0xE1}, "111"}, {{6, 0xE0, 0xE1}, "011"}, {{0xE0, 0xE1, 5}, "000"},
      {{5, 0, 0}, "100"},       {{0, 0xE0, 0}, "010"},    {{0, 0, 0xE1}, "001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.states);
    RecordedDevice rd;
    rd.device.data_.ac.channel_count = 2;
    // Input 1 keeps zero bytes; input 2 carries the case, with its received count left at 0.
    std::copy(c.bytes, c.bytes + 3, rd.device.data_.ac.channel[1].p40_44);
    run_model(rd.device);
    ASSERT_EQ(rd.host.alarms.size(), 6u);
    std::string states;
    for (std::size_t i = 3; i < 6; ++i) states += rd.host.alarms[i].state ? '1' : '0';
    EXPECT_EQ(states, c.states);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(rd.host.alarms[i].state);
  }
}

TEST(ModelAlarms, DcAlarmBytesHoldOnlyTheirOwnValue) {
  for (std::size_t row = 0; row < 11; ++row) {
    SCOPED_TRACE(row);
    RecordedDevice rd;
    rd.device.has_ac_ = false;
    rd.device.has_dc_ = true;
    rd.device.data_.dc.alert_p_count = 11;
    // Every byte holds the active value of the next row, so only row's own byte decides.
    for (std::size_t i = 0; i < 11; ++i) rd.device.data_.dc.alert_p[i] = kDcActive[(i + 1) % 11];
    rd.device.data_.dc.alert_p[row] = kDcActive[row];
    run_model(rd.device);
    ASSERT_EQ(rd.host.alarms.size(), 11u);
    // Neighbouring rows have different active values, so only row is active.
    for (std::size_t i = 0; i < 11; ++i) EXPECT_EQ(rd.host.alarms[i].state, i == row) << i;
  }
}

TEST(ModelAlarms, FollowTheGenericRulesInEveryRound) {
  RecordedDevice rd;
  rd.device.has_dc_ = true;
  rd.device.data_.ac.channel_count = 1;
  rd.device.data_.ac.channel[0].p40_44[1] = 0xE0;
  rd.device.data_.dc.alert_p_count = 11;
  rd.device.data_.dc.alert_p[1] = 0xF0;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    rd.host.alarms.clear();
    testing_support::capture_stdout([&] { rd.device.RoundDone(); });
    ASSERT_EQ(rd.host.alarms.size(), 15u);
    EXPECT_EQ(rules_testing::line(rd.host.alarms[0]),
              "1|PowerOff|419415001|输入电源中断告警|输入电源中断告警|1|100");
    EXPECT_EQ(rd.host.alarms[1].seq, 1);
    EXPECT_TRUE(rd.host.alarms[2].state);
    EXPECT_EQ(rd.host.alarms[5].key, "KELVRA_DC_1");
    EXPECT_FALSE(rd.host.alarms[5].state);
    EXPECT_EQ(rd.host.alarms[14].seq, 14);
    EXPECT_EQ(rd.device.rule_seq_, 15);
  }
}

TEST(ModelAlarms, SequenceNumberWrapsAt65536) {
  RecordedDevice rd;
  rd.device.b_mode_ = 0;
  rd.device.data_.ac.channel_count = 1;
  rd.device.rule_seq_ = 65535;
  rd.device.RunCheckThreshold();
  ASSERT_EQ(rd.host.alarms.size(), 3u);
  EXPECT_EQ(rd.host.alarms[0].seq, 65535);
  EXPECT_EQ(rd.host.alarms[1].seq, 0);
  EXPECT_EQ(rd.host.alarms[2].seq, 1);
}

}  // namespace
