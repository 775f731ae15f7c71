#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <vector>

#include "history/history_reader.h"
#include "history/history_store.h"
#include "tests/line/bench_fixture.h"

namespace kelvra::history {

void PrintTo(const SeriesPoint& point, std::ostream* out) {
  *out << "{" << point.time_ms << ", " << point.min << ", " << point.mean << ", " << point.max
       << ", " << point.count << "}";
}

}  // namespace kelvra::history

namespace {

using kelvra::history::HistoryOptions;
using kelvra::history::HistoryReader;
using kelvra::history::HistoryStore;
using kelvra::history::SeriesPoint;
using kelvra::history::StoredRecord;

constexpr std::size_t kDcOutV = 576;         // offset of dc.out_v, f32 LE
constexpr std::int64_t kT0 = 1800000000000;  // UTC ms, a multiple of 90 s and so of a minute
constexpr std::int64_t kS = 1000;

StoredRecord dc_out_v_at(std::int64_t time_ms, float volts, bool restored = false) {
  StoredRecord record;
  record.device = "power1";
  record.data_id = 1;
  record.bytes.assign(763, 0);
  std::memcpy(&record.bytes[kDcOutV], &volts, sizeof volts);
  record.restored = restored;
  record.time_ms = time_ms;
  return record;
}

// Buckets start at multiples of the step (UTC), each live record is counted once, and minute
// aggregates answer only whole-minute buckets inside the asked span that they cover.
TEST(HistorySeries, BucketsAreAlignedAndCountEachRecordOnce) {
  bench_testing::TempDir dir;
  {
    HistoryOptions options;
    options.wall_clock = [] { return kT0 + 200 * kS; };
    HistoryStore history(dir.file("h.db"), options);
    // Minute 0: 50, 52, 54 (and a restored 99); minute 1: 51, 53; minute 2: 55.
    for (const StoredRecord& record :
         {dc_out_v_at(kT0 + 5 * kS, 50), dc_out_v_at(kT0 + 15 * kS, 52),
          dc_out_v_at(kT0 + 25 * kS, 54), dc_out_v_at(kT0 + 35 * kS, 99, true),
          dc_out_v_at(kT0 + 65 * kS, 51), dc_out_v_at(kT0 + 75 * kS, 53),
          dc_out_v_at(kT0 + 125 * kS, 55)}) {
      history.add_record(record);
    }
  }  // closing the store closes the last minute's aggregate
  HistoryReader reader(dir.file("h.db"));
  struct Case {
    const char* name;
    std::int64_t since, until, step;
    std::vector<SeriesPoint> points;
  };
  const Case cases[] = {
      {"10 s from an unaligned start",
       kT0 + 3 * kS,
       kT0 + 180 * kS,
       10 * kS,
       {{kT0, 50, 50, 50, 1},
        {kT0 + 10 * kS, 52, 52, 52, 1},
        {kT0 + 20 * kS, 54, 54, 54, 1},
        {kT0 + 60 * kS, 51, 51, 51, 1},
        {kT0 + 70 * kS, 53, 53, 53, 1},
        {kT0 + 120 * kS, 55, 55, 55, 1}}},
      {"10 s from before the first record: the minute's aggregate is not counted again",
       kT0 - 60 * kS,
       kT0 + 20 * kS,
       10 * kS,
       {{kT0, 50, 50, 50, 1}, {kT0 + 10 * kS, 52, 52, 52, 1}}},
      {"1 min from mid-minute: the cut minute has no records after the start",
       kT0 + 30 * kS,
       kT0 + 180 * kS,
       60 * kS,
       {{kT0 + 60 * kS, 51, 52, 53, 2}, {kT0 + 120 * kS, 55, 55, 55, 1}}},
      {"1 min up to mid-minute: the cut minute from raw records",
       kT0,
       kT0 + 70 * kS,
       60 * kS,
       {{kT0, 50, 52, 54, 3}, {kT0 + 60 * kS, 51, 51, 51, 1}}},
      {"90 s is not whole minutes: raw records",
       kT0 + 10 * kS,
       kT0 + 180 * kS,
       90 * kS,
       {{kT0, 51, 52.5, 54, 4}, {kT0 + 90 * kS, 55, 55, 55, 1}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reader.series("power1", "dc.out_v", c.since, c.until, c.step), c.points) << c.name;
  }
}

}  // namespace
