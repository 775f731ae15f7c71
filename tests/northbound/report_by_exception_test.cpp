// Which readings of a round go out when reported by exception, on a fake record clock.
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "northbound/mqtt_messages.h"
#include "northbound/report_by_exception.h"

namespace {

using kelvra::northbound::ReportByException;

struct Step {
  std::int64_t made_ms;
  std::function<void(kelvra_419_Data_t&)> change;
  bool restart;  // a new session before this round
  bool full;
  std::string sent;  // "FIELD=PAYLOAD ..." in record order, then readings whose part went
};

TEST(ReportByException, ReadingsGoOutWhenTheyMoveCameOrWentAndTheWholeStateWhenDue) {
  kelvra_419_Data_t record;
  std::memset(&record, 0, sizeof record);
  record.dc.out_v.set(53.5f);
  record.dc.out_i.set(40);
  record.dc.m_count = 1;
  record.dc.m[0].set(-1.5f);
  const auto nothing = [](kelvra_419_Data_t&) {};
  const std::vector<Step> steps = {
      {0, nothing, false, true, "dc.out_v=53.5 dc.out_i=40 dc.m[0]=-1.5"},
      // Within the deadbands: 0.1 V by the table, 2 A set for the output current.
      {2000,
       [](kelvra_419_Data_t& r) {
         r.dc.out_v.set(53.45f);
         r.dc.out_i.set(41.9f);
       },
       false, false, ""},
      // Exactly one deadband from the value last sent, not from the round before.
      {4000,
       [](kelvra_419_Data_t& r) {
         r.dc.out_v.set(53.4f);
         r.dc.out_i.set(42);
       },
       false, false, "dc.out_v=53.4 dc.out_i=42"},
      {6000, [](kelvra_419_Data_t& r) { r.dc.m[0].set(NAN); }, false, false, "dc.m[0]=null"},
      {8000, [](kelvra_419_Data_t& r) { r.dc.m[0].set(-1.5f); }, false, false, "dc.m[0]=-1.5"},
      {10000, [](kelvra_419_Data_t& r) { r.dc.m_count = 0; }, false, false, "dc.m[0]=null"},
      {58000, nothing, false, false, ""},
      {60000, nothing, false, true, "dc.out_v=53.4 dc.out_i=42"},
      {62000, nothing, true, true, "dc.out_v=53.4 dc.out_i=42"},
      // The interval runs from the whole state the new session got.
      {121000, nothing, false, false, ""},
      {122000, nothing, false, true, "dc.out_v=53.4 dc.out_i=42"},
      // A clock set back sends the whole state and starts the interval again.
      {1000, nothing, false, true, "dc.out_v=53.4 dc.out_i=42"},
  };
  ReportByException report(std::chrono::seconds(60), {{"dc.out_i", 2.0}});
  for (const Step& step : steps) {
    step.change(record);
    if (step.restart) report.restart();
    const auto round = report.next(record, step.made_ms);
    std::string sent;
    for (const auto& [field, value] : round.readings) {
      sent += (sent.empty() ? "" : " ") + field + "=" + kelvra::northbound::reading_payload(value);
    }
    EXPECT_EQ(round.full, step.full) << step.made_ms;
    EXPECT_EQ(sent, step.sent) << step.made_ms;
  }
}

}  // namespace
