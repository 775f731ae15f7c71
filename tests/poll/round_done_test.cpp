// Round completion: host calls in order, the threshold flag, the time stamp and the cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "tests/poll/poll_responses.h"

namespace {

using namespace poll_testing;
using Calls = std::vector<std::string>;

Bytes record_of(const kelvra_419& device) {
  return Bytes(device.record_bytes(), device.record_bytes() + kelvra_419::kRecordSize);
}

// The host calls other than the rule engine's alarm reports, which belong to the rules.
Calls without_alarms(const Calls& calls) {
  Calls out;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
               [](const std::string& c) { return c.rfind("alarm ", 0) != 0; });
  return out;
}

TEST(RoundDone, HostCallsInOrder) {
  PolledDevice polled;
  auto& device = polled.device;
  device.ao_signals_ = {"volt", "ghost", "amp"};
  device.ao_values_ = {{"volt", 1.5f}, {"amp", 2.5f}};
  device.rule_values_.resize(2);
  const std::string out = testing_support::capture_stdout([&] { device.RoundDone(); });

  // "ghost" has no value: neither report nor threshold check is made for it.
  EXPECT_EQ(
      without_alarms(polled.host.calls),
      (Calls{"publish 5535 763 false", "reset", "ao_report volt 1.5", "ao_threshold volt '' 1.5 1",
             "ao_report amp 2.5", "ao_threshold amp '' 2.5 1", "batch 2", "history 763"}));
  // Rule reports come after the reset and before the analog reports.
  const auto reset = std::find(polled.host.calls.begin(), polled.host.calls.end(), "reset");
  const auto first_report =
      std::find(polled.host.calls.begin(), polled.host.calls.end(), "ao_report volt 1.5");
  for (auto call = polled.host.calls.begin(); call != polled.host.calls.end(); ++call) {
    if (call->rfind("alarm ", 0) == 0) {
      EXPECT_TRUE(call > reset && call < first_report) << *call;
    }
  }
  EXPECT_NE(out.find("rvSize is 2\n"), std::string::npos) << out;
  EXPECT_TRUE(device.rule_values_.empty());
  EXPECT_EQ(device.rule_seq_, 1);
  EXPECT_EQ(device.data_valid_, 1);
  ASSERT_EQ(polled.host.published.size(), 1u);
  EXPECT_EQ(polled.host.published[0], record_of(device));
  EXPECT_EQ(polled.host.stored, polled.host.published);
}

TEST(RoundDone, EmptyRuleListStillGoesToTheBatchCheck) {
  PolledDevice polled;
  const std::string out = testing_support::capture_stdout([&] { polled.device.RoundDone(); });
  EXPECT_NE(out.find("rvSize is 0\n"), std::string::npos) << out;
  EXPECT_EQ(std::count(polled.host.calls.begin(), polled.host.calls.end(), "batch 0"), 1);
}

TEST(RoundDone, ThresholdChangedAccumulatesOverReportsAndBatch) {
  struct Case {
    bool ao_changed;
    bool batch_changed;
    bool expected;
  };
  const Case cases[] = {
      {false, false, false}, {true, false, true}, {false, true, true}, {true, true, true}};
  for (const Case& c : cases) {
    PolledDevice polled;
    polled.host.ao_report_result = c.ao_changed;
    polled.host.batch_result = c.batch_changed;
    polled.device.threshold_changed_ = true;  // a previous round's result is not carried over
    polled.device.ao_signals_ = {"a", "b"};
    polled.device.ao_values_ = {{"a", 1.0f}, {"b", 2.0f}};
    testing_support::capture_stdout([&] { polled.device.RoundDone(); });
    EXPECT_EQ(polled.device.threshold_changed_, c.expected)
        << c.ao_changed << " " << c.batch_changed;
    // A changed report never spares the calls after it.
    const Calls& calls = polled.host.calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "ao_report b 2"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "ao_threshold b '' 2 1"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "batch 0"), 1);
  }
}

TEST(RoundDone, RoundTimeHoldsTheHostTimeValueOfTheCompletion) {
  PolledDevice polled;
  const auto before = boost::posix_time::second_clock::local_time();
  testing_support::capture_stdout([&] { polled.device.RoundDone(); });
  const auto after = boost::posix_time::second_clock::local_time();
  const auto when = polled.device.last_round_time_;
  EXPECT_TRUE(before <= when && when <= after);
  const ttime expected = get_ttime(when);
  const Bytes published = polled.host.published.at(0);
  EXPECT_EQ(Bytes(published.begin() + 664, published.begin() + 671),
            Bytes(expected.begin(), expected.end()));
}

TEST(Cache, AcceptsExactly763Bytes) {
  for (std::size_t size : {0u, 762u, 764u}) {
    PolledDevice polled;
    polled.device.data_.dc.out_v.set(53.5f);
    const Bytes before = record_of(polled.device);
    EXPECT_FALSE(polled.device.LoadFromCache(std::string(size, '\x5A'))) << size;
    EXPECT_EQ(record_of(polled.device), before) << size;
    EXPECT_EQ(polled.device.data_valid_, 0) << size;
    EXPECT_TRUE(polled.host.calls.empty()) << size;
  }
  PolledDevice polled;
  EXPECT_FALSE(polled.device.LoadFromCache(nullptr, 763));
}

TEST(Cache, LoadedRecordIsARoundCompletedNow) {
  PolledDevice polled;
  polled.device.data_id_ = 9;
  std::string cache(763, '\0');
  for (std::size_t i = 0; i < cache.size(); ++i) cache[i] = char(i * 7 + 1);
  bool accepted = false;
  testing_support::capture_stdout([&] { accepted = polled.device.LoadFromCache(cache); });
  ASSERT_TRUE(accepted);
  EXPECT_EQ(polled.device.data_valid_, 1);

  // Everything is the cache's, its data id included, except the fresh time stamp.
  Bytes expected(cache.begin(), cache.end());
  const ttime stamp = get_ttime(polled.device.last_round_time_);
  std::copy(stamp.begin(), stamp.end(), expected.begin() + 664);
  ASSERT_EQ(polled.host.published.size(), 1u);
  EXPECT_EQ(polled.host.published[0], expected);
  EXPECT_EQ(polled.host.stored.at(0), expected);
  EXPECT_EQ(polled.device.data_.data_id.get(), 0x160F0801u);  // cache bytes 0..3: 01 08 0F 16

  // The next round waits its 2 seconds from the load.
  polled.host.sent.clear();
  EXPECT_FALSE(polled.device.RefreshStatus());
  EXPECT_EQ(polled.device.wait_time_, 10);
  EXPECT_TRUE(polled.host.sent.empty());
}

TEST(EndRound, CompletesThenIdlesAndResets) {
  PolledDevice polled;
  polled.device.has_ac_ = false;
  polled.complete_first_round();
  ASSERT_TRUE(polled.device.RefreshStatus());
  polled.host.calls.clear();
  bool result = true;
  testing_support::capture_stdout([&] { result = polled.answer(0x41, rect_analog_info(0)); });
  EXPECT_FALSE(result);
  EXPECT_EQ(polled.device.poll_state_, 10);
  EXPECT_FALSE(polled.device.IsProcessing());
  const Calls calls = without_alarms(polled.host.calls);
  EXPECT_EQ(calls, (Calls{"publish 5535 763 false", "reset", "batch 0", "history 763", "reset"}));
}

}  // namespace
