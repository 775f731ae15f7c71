#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "tests/rules/rules_fixture.h"

namespace {

using rules_testing::RecordedDevice;
using rules_testing::set_input;

// The answer to one query: its value, or the message of the std::out_of_range it threw.
struct Answer {
  bool refused = false;
  float value = 0.0f;
  std::string message;
  std::string printed;
};

Answer query(const kelvra_419& device, const std::string& key) {
  Answer answer;
  answer.printed = testing_support::capture_stdout([&] {
    try {
      answer.value = device.Get_Value(0, key);
    } catch (const std::out_of_range& refusal) {
      answer.refused = true;
      answer.message = refusal.what();
    }
  });
  return answer;
}

std::uint32_t bits(float value) {
  std::uint32_t out;
  std::memcpy(&out, &value, sizeof out);
  return out;
}

// Data valid, the last round `age` seconds ago by the local clock.
void completed_seconds_ago(kelvra_419& device, long age) {
  device.data_valid_ = 1;
  device.last_round_time_ =
      boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(age);
}

// Queries with the last round exactly `age` seconds old when the query reads the clock: repeated
// when the clock's second changed between setting the age and the query.
Answer query_aged(kelvra_419& device, long age, const std::string& key) {
  for (;;) {
    const auto before = boost::posix_time::second_clock::local_time();
    completed_seconds_ago(device, age);
    Answer answer = query(device, key);
    if (boost::posix_time::second_clock::local_time() == before) return answer;
  }
}

TEST(ValueQuery, RefusalsAndTheirOrder) {
  constexpr long kNoRound = -1000000;
  struct Case {
    const char* what;
    long age;  // seconds since the last round, or kNoRound
    std::string key;
    std::string message;  // empty: answered
  };
  const std::vector<Case> cases = {
      {"out_v before any round", kNoRound, "out_v", "数据未就绪"},
      {"ac before any round", kNoRound, "ac", "数据未就绪"},
      {"unknown key before any round", kNoRound, "xyz", "数据未就绪"},
      {"empty key before any round", kNoRound, "", "数据未就绪"},
      {"60 s old answers", 60, "out_v", ""},
      {"61 s old times out", 61, "out_v", "数据已超时"},
      {"a day old times out", 86400, "ac", "数据已超时"},
      {"unknown key on stale data times out", 61, "xyz", "数据已超时"},
      {"clock set back counts as fresh", -3600, "ac", ""},
      {"unknown key", 0, "dc", "不支持变量"},
      {"empty key", 0, "", "不支持变量"},
      {"other letter case", 0, "OUT_V", "不支持变量"},
      {"other letter case of ac", 0, "Ac", "不支持变量"},
      {"key with a trailing blank", 0, "ac ", "不支持变量"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordedDevice rd;
    const Answer answer =
        c.age == kNoRound ? query(rd.device, c.key) : query_aged(rd.device, c.age, c.key);
    EXPECT_EQ(answer.refused, !c.message.empty());
    EXPECT_EQ(answer.message, c.message);
    EXPECT_EQ(answer.printed, "in pmbuspower_419 Get_Value\n");
  }
}

TEST(ValueQuery, DataValidOtherThanOneIsNotReady) {
  RecordedDevice rd;
  completed_seconds_ago(rd.device, 0);
  rd.device.data_valid_ = 2;
  EXPECT_EQ(query(rd.device, "out_v").message, "数据未就绪");
}

TEST(ValueQuery, CacheReloadMakesDataReady) {
  RecordedDevice rd;
  kelvra_419_Data_t cached{};
  cached.dc.out_v.set(53.5f);
  const std::string bytes(reinterpret_cast<const char*>(&cached), sizeof cached);
  ASSERT_EQ(query(rd.device, "out_v").message, "数据未就绪");
  testing_support::capture_stdout([&] { ASSERT_TRUE(rd.device.LoadFromCache(bytes)); });
  const Answer answer = query(rd.device, "out_v");
  EXPECT_FALSE(answer.refused) << answer.message;
  EXPECT_EQ(answer.value, 53.5f);
}

TEST(ValueQuery, OutputVoltageIsReturnedBitForBit) {
  const std::vector<std::uint32_t> patterns = {
      0x42560000,  // 53.5
      0x80000000,  // -0.0
      0x7FC00001,  // NaN with a payload
      0xFF800000,  // -inf
      0x00000001,  // smallest subnormal
      0xBDCCCCCD,  // -0.1, the stored invalid marker
  };
  for (std::uint32_t pattern : patterns) {
    SCOPED_TRACE(pattern);
    RecordedDevice rd;
    completed_seconds_ago(rd.device, 1);
    std::memcpy(rd.device.data_.dc.out_v.bytes, &pattern, 4);
    const Answer answer = query(rd.device, "out_v");
    ASSERT_FALSE(answer.refused) << answer.message;
    EXPECT_EQ(bits(answer.value), pattern);
  }
}

TEST(ValueQuery, MainsLostIndicator) {
  struct Case {
    const char* what;
    std::function<void(kelvra_419&)> setup;
    float expected;
  };
  std::vector<Case> cases = {
      {"all six at 0", [](kelvra_419&) {}, 1.0f},
      {"all six just below 150",
       [](kelvra_419& d) {
         set_input(d, 0, 149.99f, 149.99f, 149.99f);
         set_input(d, 1, 149.99f, 149.99f, 149.99f);
       },
       1.0f},
      {"one input fitted, following input 1 alone",
       [](kelvra_419& d) {
         d.data_.ac.channel_count = 1;
         set_input(d, 0, 230.0f, 230.0f, 230.0f);
       },
       0.0f},
      {"a NaN phase",
       [](kelvra_419& d) { d.data_.ac.channel[1].b.set(std::numeric_limits<float>::quiet_NaN()); },
       0.0f},
      {"presence settings are not consulted",
       [](kelvra_419& d) {
         d.has_ac_ = false;
         d.has_a_ = false;
         d.data_.ac.channel[0].a.set(230.0f);
       },
       0.0f},
  };
  // Exactly 150.0 on any one of the six phases.
  for (int input = 0; input < 2; ++input) {
    for (int phase = 0; phase < 3; ++phase) {
      cases.push_back({"one phase at exactly 150",
                       [input, phase](kelvra_419& d) {
                         auto& channel = d.data_.ac.channel[input];
                         f32le* phases[3] = {&channel.a, &channel.b, &channel.c};
                         phases[phase]->set(150.0f);
                       },
                       0.0f});
    }
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(std::string(cases[i].what) + " #" + std::to_string(i));
    RecordedDevice rd;
    completed_seconds_ago(rd.device, 0);
    cases[i].setup(rd.device);
    const Answer answer = query(rd.device, "ac");
    ASSERT_FALSE(answer.refused) << answer.message;
    EXPECT_EQ(bits(answer.value), bits(cases[i].expected));
  }
}

TEST(ValueQuery, ChangesNothingInTheDevice) {
  RecordedDevice rd;
  completed_seconds_ago(rd.device, 61);
  rd.device.data_.dc.out_v.set(53.5f);
  const kelvra_419_Data_t before = rd.device.data_;
  const auto time_before = rd.device.last_round_time_;
  query(rd.device, "out_v");
  query(rd.device, "ac");
  EXPECT_EQ(std::memcmp(&before, &rd.device.data_, sizeof before), 0);
  EXPECT_EQ(rd.device.last_round_time_, time_before);
  EXPECT_EQ(rd.device.data_valid_, 1);
  EXPECT_TRUE(rd.host.calls.empty());
}

}  // namespace
