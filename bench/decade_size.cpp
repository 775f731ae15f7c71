// How the decade is built, fast and with the real sizes:
//  - The last kStoreDays go through the real HistoryStore on a simulated clock with the run's
//    defaults (raw records 3 days, retention steps as the store schedules them), so the raw
//    records, the minute rows and the roll-ups of those days are the store's own.
//  - The years before are written in bulk as the roll-ups would have left them at the end: hourly
//    rows for all of them, 15-minute rows for the last year, minute rows for the last 30 days.
//    Each minute is aggregated from 20 rounds of the same readings and noise as the store phase,
//    encoded and decoded as stored, and merged into its 15-minute and hourly buckets the way the
//    roll-up merges decoded rows; so every row's payload is the size the roll-up writes.
//  - Events: an alarm raised and cleared a day and a link lost and back a week, over the year
//    the events are kept.
#include "bench/decade_size.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "bench/plant_records.h"
#include "history/aggregates.h"
#include "history/history_store.h"
#include "history/row_writer.h"
#include "history/schema.h"
#include "history/series_fields.h"
#include "history/sqlite.h"
#include "history/tiers.h"
#include "hostkit/local_time.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::bench {
namespace {

using namespace kelvra::history;

constexpr std::int64_t kDayMs = 24 * 3600 * 1000;
constexpr std::int64_t kRoundMs = 3000;
constexpr std::int64_t kDecadeDays = 3653;
constexpr std::int64_t kStoreDays = 4;
constexpr int kRoundsPerMinute = static_cast<int>(kMinuteMs / kRoundMs);
constexpr float kNoise = 0.5f;  // every reading's standard deviation, round to round

// Normal noise from a table indexed by xorshift: billions of samples in seconds.
class Noise {
 public:
  Noise() : table_(4096) {
    std::mt19937 random(1);
    std::normal_distribution<float> normal(0, kNoise);
    for (float& value : table_) value = normal(random);
  }
  float next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return table_[state_ & 4095];
  }

 private:
  std::vector<float> table_;
  std::uint32_t state_ = 2463534242u;
};

// The plant's steady record as its bytes.
std::vector<std::uint8_t> steady_record_bytes() {
  const kelvra_419_Data_t record = steady_record();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
  return {bytes, bytes + sizeof record};
}

void put_float(std::vector<std::uint8_t>& bytes, std::size_t offset, float value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// The series readings the record holds and their steady values.
struct Reading {
  PresentField field;
  float base;
};
std::vector<Reading> readings_of(const std::vector<std::uint8_t>& record) {
  PresenceCache presence;
  std::vector<Reading> readings;
  for (const PresentField& field : presence.of(record))
    readings.push_back({field, float_at(record, field.offset)});
  return readings;
}

// Every row the roll-ups leave of [first_ms, end_ms) at `now_ms`, written in one transaction.
void write_tiers_in_bulk(const std::string& path, std::int64_t first_ms, std::int64_t end_ms,
                         std::int64_t now_ms, const std::vector<Reading>& readings) {
  Database db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  prepare_for_writing(db, 64);
  Transaction transaction(db);
  RowWriter writer(db, 64);
  Noise noise;
  struct Bucket {
    std::uint32_t rounds = 0;
    AggregateFields fields;
  };
  Bucket buckets[kTierCount];
  const auto kept = [now_ms](std::size_t tier, std::int64_t start) {
    return start >= now_ms - kTiers[tier].keep_days * kDayMs || tier + 1 == kTierCount;
  };
  // A closed bucket of `tier`, stored as the store or a roll-up stores it, then merged upward.
  const auto close = [&](std::size_t tier, std::int64_t start) {
    Bucket& bucket = buckets[tier];
    const std::vector<std::uint8_t> payload = encode_aggregate(bucket.fields, bucket.rounds);
    if (kept(tier, start))
      writer.write(AggregateRow{"power1", 1, start, bucket.rounds, payload, tier});
    if (tier + 1 < kTierCount) {
      buckets[tier + 1].rounds += bucket.rounds;
      const auto stored = decode_aggregate(payload.data(), payload.size(), bucket.rounds);
      for (const auto& [index, field] : *stored) buckets[tier + 1].fields[index].merge(field);
    }
    bucket = Bucket{};
  };
  for (std::int64_t minute = first_ms; minute < end_ms; minute += kMinuteMs) {
    for (const Reading& reading : readings) {
      FieldAccumulator& field = buckets[0].fields[reading.field.index];
      for (int round = 0; round < kRoundsPerMinute; ++round) field.add(reading.base + noise.next());
    }
    buckets[0].rounds = kRoundsPerMinute;
    close(0, minute);
    const std::int64_t next = minute + kMinuteMs;
    for (std::size_t tier = 1; tier < kTierCount && next % kTiers[tier].step_ms == 0; ++tier)
      close(tier, next - kTiers[tier].step_ms);
  }
  for (std::int64_t day = now_ms - 365 * kDayMs; day < end_ms; day += kDayMs) {
    writer.write(AlarmEvent{day + 3600000, "power1", true, 1, "PowerOff", "419415001", "mains",
                            "mains failure", 1});
    writer.write(AlarmEvent{day + 3660000, "power1", false, 1, "PowerOff", "419415001", "mains",
                            "mains failure", 2});
    if ((day / kDayMs) % 7 == 0) {
      writer.write(CommEvent{day + 7200000, "/dev/ttyS0", "lost", "no answer"});
      writer.write(CommEvent{day + 7260000, "/dev/ttyS0", "back", ""});
    }
  }
  transaction.commit();
}

// The rounds up to `end_ms` through the store, every reading moved every round.
void write_through_store(const std::string& path, std::int64_t& now, std::int64_t end_ms,
                         const std::vector<Reading>& readings) {
  HistoryOptions options;
  options.keep_days = 3;  // the run's default
  options.wall_clock = [&now] { return now; };
  Noise noise;
  std::vector<std::uint8_t> bytes = steady_record_bytes();
  HistoryStore history(path, options);
  for (std::int64_t round = 0; now < end_ms; ++round) {
    now += kRoundMs;
    for (const Reading& reading : readings)
      put_float(bytes, reading.field.offset, reading.base + noise.next());
    StoredRecord stored;
    stored.device = "power1";
    stored.data_id = 1;
    stored.round_seconds = 0.412;
    stored.time_ms = now;
    stored.bytes = bytes;
    history.add_record(stored);
    // A commit per 100 rounds: far fewer syncs than a run makes, the same pages on disk.
    if (round % 100 == 0) history.flush();
  }
}

std::int64_t file_bytes(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

// Bytes of the pages of each kind of row (records, aggregates, events), from dbstat.
void print_parts(const std::string& path) {
  Database db(path, SQLITE_OPEN_READONLY);
  try {
    Statement parts(db,
                    "SELECT CASE WHEN tbl_name = 'records' THEN 'raw records' WHEN tbl_name = "
                    "'aggregates' THEN 'aggregates' WHEN tbl_name LIKE '%events' THEN 'events' "
                    "ELSE 'other' END AS part, sum(pgsize) FROM dbstat JOIN sqlite_master ON "
                    "dbstat.name = sqlite_master.name GROUP BY part ORDER BY part");
    while (parts.step())
      std::printf("%-44s %12lld\n", ("bytes, " + parts.text(0)).c_str(),
                  static_cast<long long>(parts.integer(1)));
  } catch (const HistoryError& error) {
    std::printf("no breakdown: %s\n", error.what());
  }
  for (std::size_t tier = 0; tier < kTierCount; ++tier) {
    Statement rows(db, "SELECT count(*), avg(length(payload)) FROM aggregates WHERE tier = ?1");
    rows.bind(1, static_cast<std::int64_t>(tier));
    if (rows.step())
      std::printf("%-44s %12lld  (payload %.1f bytes)\n",
                  (std::string("rows, ") + kTiers[tier].name).c_str(),
                  static_cast<long long>(rows.integer(0)), rows.real(1));
    rows.reset();
  }
  Statement records(db, "SELECT count(*), avg(length(payload)) FROM records");
  if (records.step())
    std::printf("%-44s %12lld  (payload %.1f bytes)\n", "rows, raw records",
                static_cast<long long>(records.integer(0)), records.real(1));
}

}  // namespace

int decade_size(const std::string& dir) {
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/decade.db";
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  const std::int64_t start = *hostkit::parse_local_time("2026-01-01");
  const std::int64_t first_ms = floor_to(start, kDayMs);
  const std::int64_t end_ms = first_ms + kDecadeDays * kDayMs;
  const std::int64_t store_from_ms = end_ms - kStoreDays * kDayMs;
  const std::vector<Reading> readings = readings_of(steady_record_bytes());
  std::printf("%-44s %12zu\n", "readings per round, all moving", readings.size());
  write_tiers_in_bulk(path, first_ms, store_from_ms, end_ms, readings);
  std::int64_t now = store_from_ms;
  write_through_store(path, now, end_ms, readings);
  print_parts(path);
  std::printf("decade_bytes_per_device %lld\n", static_cast<long long>(file_bytes(path)));
  return 0;
}

}  // namespace kelvra::bench
