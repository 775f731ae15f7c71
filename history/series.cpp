#include "history/series.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "history/aggregates.h"
#include "history/series_fields.h"
#include "history/stored_records.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::history {
namespace {

// Accumulated values by bucket start (UTC ms, a multiple of the step).
using Buckets = std::map<std::int64_t, FieldAccumulator>;

// The buckets [from, to) that minute aggregates answer for one device: with a step of whole
// minutes, those inside [since, until) and inside the minutes the device has aggregates of; an
// empty span otherwise.
std::pair<std::int64_t, std::int64_t> aggregate_span(Database& db, std::int64_t device,
                                                     std::int64_t since, std::int64_t until,
                                                     std::int64_t step) {
  if (step % kMinuteMs != 0) return {until, until};
  Statement span(db, "SELECT min(minute_ms), max(minute_ms) FROM aggregates WHERE device = ?1");
  span.bind(1, device);
  if (!span.step() || span.is_null(0)) return {until, until};
  const std::int64_t oldest = span.integer(0);
  const std::int64_t newest = span.integer(1);
  span.reset();
  const std::int64_t from = floor_to(std::max(since, oldest) + step - 1, step);
  const std::int64_t to = floor_to(std::min(until, newest + kMinuteMs), step);
  return to > from ? std::make_pair(from, to) : std::make_pair(until, until);
}

void aggregate_series(Database& db, std::int64_t device, std::size_t field, std::int64_t from,
                      std::int64_t to, std::int64_t step, Buckets& buckets) {
  Statement minutes_in(db,
                       "SELECT minute_ms, count, payload FROM aggregates WHERE device = ?1 AND "
                       "minute_ms >= ?2 AND minute_ms < ?3");
  minutes_in.bind(1, device).bind(2, from).bind(3, to);
  while (minutes_in.step()) {
    const auto found = aggregate_field(minutes_in.blob(2),
                                       static_cast<std::uint32_t>(minutes_in.integer(1)), field);
    if (found) buckets[floor_to(minutes_in.integer(0), step)].merge(*found);
  }
}

// The live records of the device with since <= time < until, each into its bucket.
void raw_series(Database& db, const std::string& path, std::int64_t device, std::size_t field,
                std::int64_t since, std::int64_t until, std::int64_t step, Buckets& buckets) {
  if (until <= since) return;
  Statement range(db,
                  "SELECT min(id), max(id) FROM records WHERE device = ?1 AND time_ms >= ?2 AND "
                  "time_ms < ?3");
  range.bind(1, device).bind(2, since).bind(3, until);
  if (!range.step() || range.is_null(0)) return;
  const std::int64_t first = range.integer(0);
  const std::int64_t last = range.integer(1);
  range.reset();
  PresenceCache presence;
  for_each_stored_record(db, path, device, first, last,
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
                             if (std::isfinite(value)) buckets[floor_to(time_ms, step)].add(value);
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
    std::string names;
    for (const std::string& name : layout.names) names += (names.empty() ? "" : ", ") + name;
    throw HistoryError(path, "no series \"" + field + "\"; the series are " + names);
  }
  if (step < 1) throw HistoryError(path, "a series step is at least 1 ms");
  if (until <= since) return {};
  constexpr std::int64_t kMaxPoints = 1000000;
  const std::int64_t points = (until - 1 - floor_to(since, step)) / step + 1;
  if (points > kMaxPoints) {
    throw HistoryError(path, std::to_string(points) + " points asked for; at most " +
                                 std::to_string(kMaxPoints) + ": take a longer step");
  }
  Buckets buckets;
  Statement devices(db, "SELECT id FROM devices WHERE name = ?1");
  devices.bind(1, device);
  std::vector<std::int64_t> ids;
  while (devices.step()) ids.push_back(devices.integer(0));
  for (std::int64_t id : ids) {
    // Bucket-aligned, so every bucket comes from aggregates alone or from raw records alone.
    const auto [from, to] = aggregate_span(db, id, since, until, step);
    raw_series(db, path, id, found->second, since, from, step, buckets);
    aggregate_series(db, id, found->second, from, to, step, buckets);
    raw_series(db, path, id, found->second, to, until, step, buckets);
  }
  std::vector<SeriesPoint> series;
  for (const auto& [start, bucket] : buckets) {
    series.push_back(
        SeriesPoint{start, bucket.min, bucket.sum / bucket.count, bucket.max, bucket.count});
  }
  return series;
}

}  // namespace kelvra::history
