#include "history/series.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include "history/aggregates.h"
#include "history/series_fields.h"
#include "history/stored_records.h"
#include "history/tiers.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::history {
namespace {

// Accumulated values by bucket start (UTC ms, a multiple of the step).
using Buckets = std::map<std::int64_t, FieldAccumulator>;

// One device's span [since, until) read in time order, by ranges of the (device, time) indexes,
// into buckets, until the row budget is spent: then reading stops at the start of the next bucket,
// so every bucket read is whole. The bucket holding the span's start is always read whole.
class BudgetedSeries {
 public:
  BudgetedSeries(Database& db, const std::string& path, std::size_t field, std::int64_t since,
                 std::int64_t step, std::size_t max_rows)
      : db_(db),
        path_(path),
        field_(field),
        first_bucket_(floor_to(since, step)),
        step_(step),
        max_rows_(max_rows) {}

  // The tier that answers for one device: of the tiers whose step divides the series' step, the
  // finest whose rows reach back to `since`, else the one reaching back furthest; kTierCount
  // when none has rows.
  std::size_t tier_for(std::int64_t device, std::int64_t since) {
    if (!db_.has_column("aggregates", "tier")) return kTierCount;  // a reader of schema 3 or older
    std::size_t best = kTierCount;
    std::int64_t best_first = std::numeric_limits<std::int64_t>::max();
    for (std::size_t tier = 0; tier < kTierCount; ++tier) {
      if (step_ % kTiers[tier].step_ms != 0) continue;
      Statement oldest(db_, "SELECT min(start_ms) FROM aggregates WHERE device = ?1 AND tier = ?2");
      const auto first =
          oldest.bind(1, device).bind(2, static_cast<std::int64_t>(tier)).single_integer();
      if (!first) continue;
      if (*first <= since) return tier;
      if (*first < best_first) {
        best = tier;
        best_first = *first;
      }
    }
    return best;
  }

  // The buckets [from, to) that the tier answers for one device: those inside [since, until) and
  // inside the buckets the device has rows of in the tier; an empty span otherwise.
  std::pair<std::int64_t, std::int64_t> aggregate_span(std::int64_t device, std::size_t tier,
                                                       std::int64_t since, std::int64_t until) {
    if (tier >= kTierCount) return {until, until};
    // Two statements: SQLite answers a lone min() or max() from the key's end.
    Statement oldest(db_, "SELECT min(start_ms) FROM aggregates WHERE device = ?1 AND tier = ?2");
    Statement newest(db_, "SELECT max(start_ms) FROM aggregates WHERE device = ?1 AND tier = ?2");
    const auto tier_number = static_cast<std::int64_t>(tier);
    const auto first = oldest.bind(1, device).bind(2, tier_number).single_integer();
    const auto last = newest.bind(1, device).bind(2, tier_number).single_integer();
    if (!first || !last) return {until, until};
    const std::int64_t from = floor_to(std::max(since, *first) + step_ - 1, step_);
    const std::int64_t to = floor_to(std::min(until, *last + kTiers[tier].step_ms), step_);
    return to > from ? std::make_pair(from, to) : std::make_pair(until, until);
  }

  void aggregates(std::int64_t device, std::size_t tier, std::int64_t from, std::int64_t to) {
    if (stopped_ || to <= from) return;
    Statement buckets_in(db_,
                         "SELECT start_ms, count, payload FROM aggregates WHERE device = ?1 AND "
                         "tier = ?2 AND start_ms >= ?3 AND start_ms < ?4 ORDER BY start_ms");
    buckets_in.bind(1, device).bind(2, static_cast<std::int64_t>(tier)).bind(3, from).bind(4, to);
    while (buckets_in.step()) {
      if (stops_at(buckets_in.integer(0))) break;
      const auto found = aggregate_field(buckets_in.blob(2),
                                         static_cast<std::uint32_t>(buckets_in.integer(1)), field_);
      if (found) buckets_[floor_to(buckets_in.integer(0), step_)].merge(*found);
    }
    buckets_in.reset();
  }

  // The live records of the device with since <= time < until, each into its bucket.
  void raw(std::int64_t device, std::int64_t since, std::int64_t until) {
    if (stopped_ || until <= since) return;
    Statement in_span(db_,
                      "SELECT id, time_ms FROM records WHERE device = ?1 AND time_ms >= ?2 AND "
                      "time_ms < ?3 ORDER BY time_ms");
    in_span.bind(1, device).bind(2, since).bind(3, until);
    std::set<std::int64_t> ids;
    while (in_span.step()) {
      if (stops_at(in_span.integer(1))) break;
      ids.insert(in_span.integer(0));
    }
    in_span.reset();
    PresenceCache presence;
    for_each_listed_record(db_, path_, device, ids,
                           [&](std::int64_t, std::int64_t time_ms, bool restored,
                               const std::vector<std::uint8_t>& bytes) {
                             // Restored records repeat older data: a series counts live rounds.
                             if (restored || bytes.size() != record::kRecordSize) return;
                             for (const PresentField& present : presence.of(bytes)) {
                               if (present.index != field_) continue;
                               const float value = float_at(bytes, present.offset);
                               if (std::isfinite(value))
                                 buckets_[floor_to(time_ms, step_)].add(value);
                             }
                           });
  }

  // Where reading stopped, a bucket start; nullopt while it has not.
  std::optional<std::int64_t> stopped() const { return stopped_; }
  const Buckets& buckets() const { return buckets_; }

 private:
  // True when the row at `time_ms` lies past the spent budget in a later bucket than the last row
  // read: reading stops at that bucket's start.
  bool stops_at(std::int64_t time_ms) {
    const std::int64_t bucket = floor_to(time_ms, step_);
    if (rows_ >= max_rows_ && bucket != last_bucket_ && bucket > first_bucket_) {
      stopped_ = bucket;
      return true;
    }
    ++rows_;
    last_bucket_ = bucket;
    return false;
  }

  Database& db_;
  const std::string& path_;
  std::size_t field_;
  std::int64_t first_bucket_;
  std::int64_t step_;
  std::size_t max_rows_;
  std::size_t rows_ = 0;
  std::int64_t last_bucket_ = std::numeric_limits<std::int64_t>::min();
  std::optional<std::int64_t> stopped_;
  Buckets buckets_;
};

std::size_t field_index(const std::string& path, const std::string& field) {
  const SeriesLayout& layout = series_layout();
  const auto found = layout.index_of.find(field);
  if (found != layout.index_of.end()) return found->second;
  std::string names;
  for (const std::string& name : layout.names) names += (names.empty() ? "" : ", ") + name;
  throw HistoryError(path, "no series \"" + field + "\"; the series are " + names);
}

}  // namespace

SeriesPart read_series_part(Database& db, const std::string& path, const std::string& device,
                            const std::string& field, std::int64_t since, std::int64_t until,
                            std::int64_t step, std::size_t max_rows) {
  const std::size_t index = field_index(path, field);
  if (step < 1) throw HistoryError(path, "a series step is at least 1 ms");
  if (until <= since) return {{}, until};
  constexpr std::int64_t kMaxPoints = 1000000;
  const std::int64_t points = (until - 1 - floor_to(since, step)) / step + 1;
  if (points > kMaxPoints) {
    throw HistoryError(path, std::to_string(points) + " points asked for; at most " +
                                 std::to_string(kMaxPoints) + ": take a longer step");
  }
  BudgetedSeries series(db, path, index, since, step, max_rows);
  Statement devices(db, "SELECT id FROM devices WHERE name = ?1");
  devices.bind(1, device);
  std::vector<std::int64_t> ids;
  while (devices.step()) ids.push_back(devices.integer(0));
  std::int64_t reached = until;
  for (std::int64_t id : ids) {
    // Bucket-aligned, so every bucket comes from aggregates alone or from raw records alone.
    const std::size_t tier = series.tier_for(id, since);
    const auto [from, to] = series.aggregate_span(id, tier, since, reached);
    series.raw(id, since, from);
    series.aggregates(id, tier, from, to);
    series.raw(id, to, reached);
    if (series.stopped()) reached = *series.stopped();
  }
  SeriesPart part{{}, reached};
  for (const auto& [start, bucket] : series.buckets()) {
    if (start >= reached) break;  // read for one device of the name but not for all
    part.points.push_back(
        SeriesPoint{start, bucket.min, bucket.sum / bucket.count, bucket.max, bucket.count});
  }
  return part;
}

std::vector<SeriesPoint> read_series(Database& db, const std::string& path,
                                     const std::string& device, const std::string& field,
                                     std::int64_t since, std::int64_t until, std::int64_t step) {
  return read_series_part(db, path, device, field, since, until, step,
                          std::numeric_limits<std::size_t>::max())
      .points;
}

}  // namespace kelvra::history
