// The aggregate tiers on a fake clock: roll-ups exact and made once, finer rows expiring only once
// rolled up, series answered by the finest tier that reaches back far enough.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include "history/aggregates.h"
#include "history/history_reader.h"
#include "history/history_store.h"
#include "history/retention.h"
#include "history/row_writer.h"
#include "history/schema.h"
#include "history/series_fields.h"
#include "history/tiers.h"
#include "tests/line/bench_fixture.h"

namespace {

using namespace kelvra::history;
using bench_testing::TempDir;

constexpr std::int64_t kDayMs = 24 * 3600 * 1000;
constexpr std::int64_t kStart = 1767225600000;  // 2026-01-01 00:00 UTC
std::size_t out_v() {
  return series_layout().index_of.at("dc.out_v");
}

// One row of one field: `rounds` rounds of the values from `low` to `low + rounds - 1`.
AggregateRow row_of(std::size_t tier, std::int64_t start_ms, float low, std::uint32_t rounds) {
  AggregateFields fields;
  for (std::uint32_t i = 0; i < rounds; ++i) fields[out_v()].add(low + static_cast<float>(i));
  return {"power1", 1, start_ms, rounds, encode_aggregate(fields, rounds), tier};
}

struct Stored {
  std::int64_t start_ms;
  std::uint32_t count;
  double min, mean, max;
  bool operator==(const Stored& other) const {
    return start_ms == other.start_ms && count == other.count && min == other.min &&
           mean == other.mean && max == other.max;
  }
};

std::vector<Stored> tier_rows(Database& db, std::size_t tier) {
  Statement rows(db, "SELECT start_ms, count, payload FROM aggregates WHERE tier = ?1 ORDER BY 1");
  rows.bind(1, static_cast<std::int64_t>(tier));
  std::vector<Stored> found;
  while (rows.step()) {
    const auto count = static_cast<std::uint32_t>(rows.integer(1));
    const auto field = aggregate_field(rows.blob(2), count, out_v());
    EXPECT_TRUE(field);
    if (field)
      found.push_back({rows.integer(0), field->count, field->min, field->sum / count, field->max});
  }
  return found;
}

class Tiers : public ::testing::Test {
 protected:
  Tiers() : db_(dir_.file("h.db"), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    prepare_for_writing(db_, 64);
  }
  void write(const std::vector<AggregateRow>& rows) {
    Transaction transaction(db_);
    RowWriter writer(db_, 64);
    for (const AggregateRow& row : rows) writer.write(row);
    transaction.commit();
  }
  // Steps until one leaves nothing behind; the number of steps.
  int retain(std::int64_t now_ms) {
    int steps = 1;
    while (retention_step(db_, options_, now_ms, [](std::int64_t) {})) ++steps;
    return steps;
  }

  TempDir dir_;
  Database db_;
  HistoryOptions options_;
};

TEST_F(Tiers, RollUpsAreExactAndMadeOnce) {
  // Two hours of minutes, minute m holding the rounds m and m + 1.
  std::vector<AggregateRow> minutes;
  for (int m = 0; m < 120; ++m) minutes.push_back(row_of(0, kStart + m * 60000, float(m), 2));
  write(minutes);
  const std::int64_t now = kStart + 2 * 3600000 + 10 * 60000;  // both hours settled
  retain(now);
  retain(now);  // a re-run, as after a restart, adds nothing
  std::vector<Stored> quarters;
  for (int q = 0; q < 8; ++q)
    quarters.push_back({kStart + q * 900000, 30, 15.0 * q, 15.0 * q + 7.5, 15.0 * q + 15});
  EXPECT_EQ(tier_rows(db_, 1), quarters);
  const std::vector<Stored> hours = {{kStart, 120, 0, 30, 60},
                                     {kStart + 3600000, 120, 60, 90, 120}};
  EXPECT_EQ(tier_rows(db_, 2), hours);
  EXPECT_EQ(tier_rows(db_, 0).size(), 120u);
}

TEST_F(Tiers, FinerRowsExpireOnlyOnceRolledUp) {
  // 3000 minutes: more than a step's budget, so rolling up and expiring take many steps.
  std::vector<AggregateRow> minutes;
  for (int m = 0; m < 3000; ++m) minutes.push_back(row_of(0, kStart + m * 60000, 1, 1));
  write(minutes);
  const std::int64_t now = kStart + 40 * kDayMs;  // every minute is past its 30 days
  int steps = 0;
  for (bool backlog = true; backlog; ++steps) {
    backlog = retention_step(db_, options_, now, [](std::int64_t) {});
    // Every minute's round is in a minute row or in the 15-minute rows, never in both.
    const auto quarters = tier_rows(db_, 1);
    const std::int64_t rolled_up_to = quarters.empty() ? 0 : quarters.back().start_ms + 900000;
    std::uint32_t rounds = 0;
    for (const Stored& quarter : quarters) rounds += quarter.count;
    for (const Stored& minute : tier_rows(db_, 0)) rounds += minute.start_ms >= rolled_up_to;
    ASSERT_EQ(rounds, 3000u) << "after step " << steps;
  }
  EXPECT_GT(steps, 2);
  EXPECT_TRUE(tier_rows(db_, 0).empty());
  EXPECT_EQ(tier_rows(db_, 1).size(), 200u);
  EXPECT_EQ(tier_rows(db_, 2).size(), 50u);
}

TEST_F(Tiers, SeriesAnswerFromTheFinestTierReachingBackFarEnough) {
  // Each tier's rows hold their own value: minutes the last day, quarters 10 days, hours 100 days.
  const std::int64_t now = kStart + 100 * kDayMs;
  std::vector<AggregateRow> rows;
  for (std::int64_t t = now - kDayMs; t < now; t += 60000) rows.push_back(row_of(0, t, 1, 1));
  for (std::int64_t t = now - 10 * kDayMs; t < now; t += 900000) rows.push_back(row_of(1, t, 2, 1));
  for (std::int64_t t = kStart; t < now; t += 3600000) rows.push_back(row_of(2, t, 3, 1));
  write(rows);
  struct Case {
    std::int64_t since_ms, step_ms;
    double value;
  } cases[] = {
      {now - kDayMs, 3600000, 1},       // minutes reach back a day
      {now - 5 * kDayMs, 3600000, 2},   // quarters, the finest reaching back 5 days
      {now - 50 * kDayMs, 3600000, 3},  // hours alone reach back 50 days
      {now - 50 * kDayMs, 900000, 2},   // hours do not divide 15 minutes: the quarters
      {now - 3600000, 60000, 1},
  };
  HistoryReader reader(db_, dir_.file("h.db"));
  for (const Case& c : cases) {
    const auto points = reader.series("power1", "dc.out_v", c.since_ms, now, c.step_ms);
    ASSERT_FALSE(points.empty()) << c.since_ms << " " << c.step_ms;
    EXPECT_EQ(points.front().mean, c.value)
        << (now - c.since_ms) / kDayMs << " days, step " << c.step_ms;
  }
}

TEST(TiersUpgrade, MinuteAggregatesOfSchema3AreRecodedAndDuplicatesMerged) {
  TempDir dir;
  const std::string path = dir.file("h.db");
  HistoryStore(path).add_record({0, "", "power1", 1, 0.25, std::vector<std::uint8_t>(763, 0)});
  // dc.out_v as schema 3 stored it: (index, flags, [count u16], min [, mean, max]).
  const auto payload = [](std::vector<std::uint8_t> head, std::vector<float> values) {
    std::vector<std::uint8_t> bytes = head;
    bytes.insert(bytes.begin(), static_cast<std::uint8_t>(out_v()));
    for (float value : values) {
      const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
      bytes.insert(bytes.end(), raw, raw + 4);
    }
    return bytes;
  };
  const std::int64_t minute = kStart;
  {
    Database db(path, SQLITE_OPEN_READWRITE);
    db.exec(
        "DROP TABLE aggregates; CREATE TABLE aggregates (id INTEGER PRIMARY KEY, device INTEGER "
        "NOT NULL, minute_ms INTEGER NOT NULL, count INTEGER NOT NULL, payload BLOB NOT NULL); "
        "PRAGMA user_version = 3;");
    Statement insert(db,
                     "INSERT INTO aggregates(device, minute_ms, count, payload) "
                     "VALUES (1, ?1, ?2, ?3)");
    insert.bind(1, minute).bind(2, std::int64_t{2}).bind(3, payload({0}, {1, 2, 3})).run();
    insert.bind(1, minute).bind(2, std::int64_t{1}).bind(3, payload({1}, {5})).run();
    insert.bind(1, minute + 60000).bind(2, std::int64_t{4}).bind(3, payload({3, 1, 0}, {7})).run();
  }
  HistoryStore history(path);
  const std::vector<SeriesPoint> expected = {{minute, 1, 3, 5, 3}, {minute + 60000, 7, 7, 7, 1}};
  EXPECT_EQ(history.series("power1", "dc.out_v", minute, minute + 120000, 60000), expected);
  Database db(path, SQLITE_OPEN_READONLY);
  Statement rows(db, "SELECT count(*) * 1000 + sum(count) * 10 + max(tier) FROM aggregates");
  EXPECT_EQ(rows.single_integer(), 2070);  // two rows of 3 and 4 rounds, both minutes
  EXPECT_EQ(db.user_version(), 4);
}

TEST(AggregatePayload, MovingReadingsTakeTenBytesAndMalformedBytesAreRefused) {
  AggregateFields fields;
  for (float value : {229.25f, 230.0f, 230.75f}) fields[0].add(value);  // one moving reading
  for (int round = 0; round < 3; ++round) fields[1].add(53.5f);         // one steady reading
  fields[9].add(-1.5f);                                                 // after a gap, own count
  const std::vector<std::uint8_t> payload = encode_aggregate(fields, 3);
  ASSERT_EQ(payload.size(), 10u + 5u + 7u);
  const auto decoded = decode_aggregate(payload.data(), payload.size(), 3);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size(), 3u);
  for (const auto& [index, field] : fields) {
    const FieldAccumulator& back = decoded->at(index);
    EXPECT_EQ(back.count, field.count);
    EXPECT_EQ(back.min, field.min);
    EXPECT_EQ(back.sum, field.sum);
    EXPECT_EQ(back.max, field.max);
  }
  // Cut anywhere inside a field, the payload is refused, never read past its end.
  for (std::size_t size = 1; size < payload.size(); ++size) {
    if (size == 10 || size == 15) continue;  // whole fields
    const std::vector<std::uint8_t> cut(payload.begin(), payload.begin() + std::ptrdiff_t(size));
    EXPECT_FALSE(decode_aggregate(cut.data(), cut.size(), 3)) << size;
  }
  const std::vector<std::uint8_t> malformed[] = {
      {33, 0, 0, 128, 63},               // a width past 32
      {0x40, 0, 0, 0, 128, 63},          // a count of 0
      {0x80, 255, 0, 0, 0, 128, 63, 0},  // an index past 255 next
      {0, 0, 0, 128, 127},               // an infinite minimum
  };
  for (const auto& bytes : malformed) EXPECT_FALSE(decode_aggregate(bytes.data(), bytes.size(), 3));
}

}  // namespace
