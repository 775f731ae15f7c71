#include "history/series.h"

#include <algorithm>
#include <cmath>

#include "history/aggregates.h"
#include "history/series_fields.h"
#include "history/stored_records.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::history {
namespace {

std::optional<std::int64_t> single_integer(Database& db, const std::string& sql, std::int64_t first,
                                           std::optional<std::int64_t> second = std::nullopt,
                                           std::optional<std::int64_t> third = std::nullopt) {
  Statement statement(db, sql);
  statement.bind(1, first);
  if (second) statement.bind(2, *second);
  if (third) statement.bind(3, *third);
  return statement.single_integer();
}

void aggregate_series(Database& db, std::int64_t device, std::size_t field, std::int64_t since,
                      std::int64_t until, std::int64_t step, std::vector<FieldAccumulator>& buckets,
                      std::int64_t bucket_origin) {
  Statement minutes_in(db,
                       "SELECT minute_ms, count, payload FROM aggregates WHERE device = ?1 AND "
                       "minute_ms >= ?2 AND minute_ms < ?3");
  minutes_in.bind(1, device).bind(2, since).bind(3, until);
  while (minutes_in.step()) {
    const auto found = aggregate_field(minutes_in.blob(2),
                                       static_cast<std::uint32_t>(minutes_in.integer(1)), field);
    if (!found) continue;
    buckets[static_cast<std::size_t>((minutes_in.integer(0) - bucket_origin) / step)].merge(*found);
  }
}

void raw_series(Database& db, const std::string& path, std::int64_t device, std::size_t field,
                std::int64_t since, std::int64_t until, std::int64_t step,
                std::vector<FieldAccumulator>& buckets, std::int64_t bucket_origin) {
  const char* range = " FROM records WHERE device = ?1 AND time_ms >= ?2 AND time_ms < ?3";
  const auto first =
      single_integer(db, std::string("SELECT min(id)") + range, device, since, until);
  const auto last = single_integer(db, std::string("SELECT max(id)") + range, device, since, until);
  if (!first || !last) return;
  PresenceCache presence;
  for_each_stored_record(
      db, path, device, *first, *last,
      [&](std::int64_t, std::int64_t time_ms, bool restored,
          const std::vector<std::uint8_t>& bytes) {
        // Restored records repeat older data: a series counts live rounds only.
        if (restored || time_ms < since || time_ms >= until ||
            bytes.size() != record::kRecordSize) {
          return;
        }
        for (const PresentField& present : presence.of(bytes)) {
          if (present.index != field) continue;
          const float value = float_at(bytes, present.offset);
          if (std::isfinite(value)) {
            buckets[static_cast<std::size_t>((time_ms - bucket_origin) / step)].add(value);
          }
        }
      });
}

}  // namespace

std::vector<SeriesPoint> read_series(Database& db, const std::string& path,
                                     const std::string& device, const std::string& field,
                                     std::int64_t since, std::int64_t until, std::int64_t step) {
  const SeriesLayout& layout = series_layout();
  const auto found = layout.index_of.find(field);
  if (found == layout.index_of.end()) {
    throw HistoryError(path, "no series \"" + field + "\" (see series_fields)");
  }
  if (step < 1) throw HistoryError(path, "a series step is at least 1 ms");
  if (until <= since) return {};
  constexpr std::int64_t kMaxPoints = 1000000;
  const std::int64_t points = (until - since - 1) / step + 1;
  if (points > kMaxPoints) {
    throw HistoryError(path, std::to_string(points) + " points asked for; at most " +
                                 std::to_string(kMaxPoints) + ": take a longer step");
  }
  std::vector<FieldAccumulator> buckets(static_cast<std::size_t>(points));
  Statement devices(db, "SELECT id FROM devices WHERE name = ?1");
  devices.bind(1, device);
  std::vector<std::int64_t> ids;
  while (devices.step()) ids.push_back(devices.integer(0));
  for (std::int64_t id : ids) {
    std::int64_t from = until;  // aggregates over [from, to)
    std::int64_t to = until;
    if (step >= kMinuteMs) {
      const auto oldest =
          single_integer(db, "SELECT min(minute_ms) FROM aggregates WHERE device = ?1", id);
      const auto newest =
          single_integer(db, "SELECT max(minute_ms) FROM aggregates WHERE device = ?1", id);
      if (oldest && newest) {
        from = *oldest;
        to = *newest + kMinuteMs;
      }
    } else {
      const auto oldest_raw =
          single_integer(db, "SELECT min(time_ms) FROM records WHERE device = ?1", id);
      from = since;
      to = oldest_raw ? *oldest_raw : until;
    }
    from = std::clamp(from, since, until);
    to = std::clamp(to, from, until);
    raw_series(db, path, id, found->second, since, from, step, buckets, since);
    aggregate_series(db, id, found->second, from, to, step, buckets, since);
    raw_series(db, path, id, found->second, to, until, step, buckets, since);
  }
  std::vector<SeriesPoint> series;
  for (std::size_t i = 0; i < buckets.size(); ++i) {
    const FieldAccumulator& bucket = buckets[i];
    if (bucket.count == 0) continue;
    series.push_back(SeriesPoint{since + static_cast<std::int64_t>(i) * step, bucket.min,
                                 bucket.sum / bucket.count, bucket.max, bucket.count});
  }
  return series;
}

}  // namespace kelvra::history
