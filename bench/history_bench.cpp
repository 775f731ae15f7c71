// History figures, written fast with a simulated clock: bytes on disk per stored round for a
// steady plant and for one whose readings all change every round, the database after a simulated
// year with retention, and series latency over 1, 30 and 365 days.
//   kelvra_history_bench DIR [ROUND_SECONDS]   (default 3; a year at 3 s is 10.5 million rounds)
//   kelvra_history_bench --decade DIR          (one device's database after 10 years;
//   decade_size.h)
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "bench/decade_size.h"
#include "bench/plant_records.h"
#include "history/history_reader.h"
#include "history/history_store.h"
#include "hostkit/local_time.h"
#include "record/kelvra_419_fields.h"

namespace {

using kelvra::bench::jitter;
using kelvra::bench::stamp;
using kelvra::bench::steady_record;
using kelvra::history::HistoryOptions;
using kelvra::history::HistoryStore;
using kelvra::history::StoredRecord;

constexpr std::int64_t kDayMs = 24 * 3600 * 1000;

std::int64_t disk_bytes(const std::string& db) {
  std::int64_t total = 0;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    struct stat info {};
    if (::stat((db + suffix).c_str(), &info) == 0) total += info.st_size;
  }
  return total;
}

// Writes `rounds` rounds of one device `interval_ms` apart; returns the file's bytes after.
std::int64_t write_rounds(const std::string& db, std::int64_t& now, std::int64_t rounds,
                          std::int64_t interval_ms, bool changing, HistoryOptions options) {
  options.wall_clock = [&now] { return now; };
  // A commit per 100 rounds: far fewer syncs than a run makes, the same pages on disk.
  constexpr std::int64_t kRoundsPerCommit = 100;
  std::mt19937 random(1);
  kelvra_419_Data_t record = steady_record();
  {
    HistoryStore history(db, options);
    for (std::int64_t i = 0; i < rounds; ++i) {
      now += interval_ms;
      stamp(record, now);
      if (changing) jitter(record, random);
      StoredRecord stored;
      stored.device = "power1";
      stored.data_id = 1;
      stored.round_seconds = 0.412;
      stored.time_ms = now;
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
      stored.bytes.assign(bytes, bytes + sizeof record);
      history.add_record(stored);
      if (i % kRoundsPerCommit == 0) history.flush();
    }
  }
  return disk_bytes(db);
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kelvra_history_bench DIR [ROUND_SECONDS] | --decade DIR\n");
    return 2;
  }
  if (std::string(argv[1]) == "--decade") {
    if (argc != 3) {
      std::fprintf(stderr, "usage: kelvra_history_bench --decade DIR\n");
      return 2;
    }
    return kelvra::bench::decade_size(argv[2]);
  }
  const std::string dir = argv[1];
  const std::int64_t round_ms = (argc > 2 ? std::stoll(argv[2]) : 3) * 1000;
  std::filesystem::create_directories(dir);
  const std::int64_t start = *kelvra::hostkit::parse_local_time("2026-01-01");

  std::printf("%-44s %12s\n", "figure", "value");
  for (const bool changing : {false, true}) {
    const std::string db = dir + (changing ? "/changing.db" : "/steady.db");
    std::filesystem::remove(db);
    std::int64_t now = start;
    constexpr std::int64_t kRounds = 28800;  // a device-day at 3 s
    const std::int64_t bytes = write_rounds(db, now, kRounds, 3000, changing, {});
    std::printf("%-44s %12.1f\n",
                changing ? "bytes/round, every reading changing" : "bytes/round, steady plant",
                static_cast<double>(bytes) / kRounds);
    std::printf("%-44s %12.2f\n",
                changing ? "MB/device-day, every reading changing" : "MB/device-day, steady plant",
                static_cast<double>(bytes) / kRounds * (kDayMs / 3000) / 1e6);
  }

  // A year with raw records kept 30 days, events and aggregates their defaults.
  const std::string year = dir + "/year.db";
  std::filesystem::remove(year);
  std::int64_t now = start;
  HistoryOptions retention;
  retention.keep_days = 30;
  const auto written_at = std::chrono::steady_clock::now();
  const std::int64_t year_bytes =
      write_rounds(year, now, 365 * kDayMs / round_ms, round_ms, true, retention);
  std::printf("%-44s %12.1f  (rounds every %lld s, changing; written in %.0f s)\n",
              "MB after a year, --keep-days 30", static_cast<double>(year_bytes) / 1e6,
              static_cast<long long>(round_ms / 1000), milliseconds_since(written_at) / 1000);

  kelvra::history::HistoryReader history(year);
  struct Span {
    const char* name;
    std::int64_t days;
    std::int64_t step_ms;
  } spans[] = {{"series dc.out_v, 1 day, step 1 min", 1, 60000},
               {"series dc.out_v, 1 day, step 30 s (raw)", 1, 30000},
               {"series dc.out_v, 30 days, step 1 min", 30, 60000},
               {"series dc.out_v, 30 days, step 1 h", 30, 3600000},
               {"series dc.out_v, 365 days, step 1 h", 365, 3600000},
               {"series dc.out_v, 365 days, step 1 d", 365, kDayMs}};
  for (const Span& span : spans) {
    const auto asked_at = std::chrono::steady_clock::now();
    const auto points =
        history.series("power1", "dc.out_v", now - span.days * kDayMs, now, span.step_ms);
    std::printf("%-44s %9.1f ms  (%zu points)\n", span.name, milliseconds_since(asked_at),
                points.size());
  }
  return 0;
}
