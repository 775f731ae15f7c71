#include "history/retention.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "history/aggregates.h"
#include "history/tiers.h"

namespace kelvra::history {
namespace {

constexpr std::int64_t kDayMs = 24 * 60 * 60 * 1000;
// Rows deleted after one commit, at most: small steps that never hold up polling.
constexpr int kRetentionBudget = 500;
// Control request ids are kept as long as the events they guard against repeating.
const char* const kEventTables[] = {"alarm_events", "comm_events", "control_events", "control_ids"};

class Retention {
 public:
  Retention(Database& db, const std::function<void(std::int64_t)>& chain_ended)
      : db_(db), chain_ended_(chain_ended) {}

  // Deletes the oldest record's group (it and the deltas that follow up to the device's next
  // whole record); returns the rows deleted, 0 when there are none (or none all older).
  int delete_oldest_record_group(std::optional<std::int64_t> older_than_ms) {
    Statement oldest(db_,
                     "SELECT id, device, time_ms FROM records WHERE id = (SELECT min(id) FROM "
                     "records)");
    if (!oldest.step()) return 0;
    const std::int64_t id = oldest.integer(0);
    const std::int64_t device = oldest.integer(1);
    const std::int64_t time_ms = oldest.integer(2);
    oldest.reset();
    if (older_than_ms && time_ms >= *older_than_ms) return 0;
    Statement next_whole(db_,
                         "SELECT min(id) FROM records WHERE device = ?1 AND id > ?2 AND whole = 1");
    const auto next = next_whole.bind(1, device).bind(2, id).single_integer();
    const std::int64_t end = next.value_or(std::numeric_limits<std::int64_t>::max());
    // By age, a group goes only when all of it is older than the cutoff.
    if (older_than_ms) {
      // By the group's positions: SQLite would take max(time_ms) from the device's time index.
      Statement newest(db_,
                       "SELECT max(time_ms) FROM records INDEXED BY records_by_device WHERE "
                       "device = ?1 AND id >= ?2 AND id < ?3");
      if (newest.bind(1, device).bind(2, id).bind(3, end).single_integer().value_or(0) >=
          *older_than_ms) {
        return 0;
      }
    }
    Statement erase(db_, "DELETE FROM records WHERE device = ?1 AND id >= ?2 AND id < ?3");
    erase.bind(1, device).bind(2, id).bind(3, end).run();
    const int deleted = db_.changes();
    if (!next) chain_ended_(device);
    return deleted;
  }

  // The oldest rows by time, found through the table's time index.
  int delete_older(const char* table, const char* time_column, std::int64_t cutoff_ms, int limit) {
    Statement erase(db_, std::string("DELETE FROM ") + table + " WHERE id IN (SELECT id FROM " +
                             table + " WHERE " + time_column + " < ?1 ORDER BY " + time_column +
                             " LIMIT ?2)");
    erase.bind(1, cutoff_ms).bind(2, static_cast<std::int64_t>(limit)).run();
    return db_.changes();
  }

  std::int64_t used_bytes() {
    Statement statement(db_,
                        "SELECT ((SELECT page_count FROM pragma_page_count()) - "
                        "(SELECT freelist_count FROM pragma_freelist_count())) * "
                        "(SELECT page_size FROM pragma_page_size())");
    return statement.single_integer().value_or(0);
  }

  // Raw record groups older than the cutoff, within the budget.
  void by_age(std::int64_t cutoff_ms, int& budget) {
    while (budget > 0) {
      const int deleted = delete_oldest_record_group(cutoff_ms);
      if (deleted == 0) break;
      budget -= deleted;
    }
  }

  // The oldest rows of any kind while the data and `incoming_bytes` more would be larger than
  // `limit_bytes`: raw records first, then aggregates finest tier first, then events.
  void by_size(std::int64_t limit_bytes, std::int64_t incoming_bytes, std::int64_t now_ms,
               int& budget) {
    while (budget > 0 && used_bytes() + incoming_bytes > limit_bytes) {
      int deleted = delete_oldest_record_group(std::nullopt);
      for (std::size_t tier = 0; tier < kTierCount && deleted == 0; ++tier) {
        deleted = delete_oldest_aggregates(tier, 100);
      }
      for (const char* table : kEventTables) {
        if (deleted == 0) deleted = delete_older(table, "time_ms", now_ms + kDayMs, 500);
      }
      if (deleted == 0) break;
      budget -= deleted;
    }
  }

  // Completed buckets of each coarser tier out of the tier below, oldest first, each bucket once:
  // only buckets past the device's newest row of the tier are made, and inserting one that is
  // there already changes nothing. A bucket is complete `kSettleMs` per tier after its end.
  void roll_up(std::int64_t now_ms, int& budget) {
    for (std::int64_t device : devices()) {
      for (std::size_t tier = 1; tier < kTierCount; ++tier) {
        roll_up_tier(device, tier, now_ms - static_cast<std::int64_t>(tier) * kSettleMs, budget);
      }
    }
  }

  // Rows of each tier past its keep, once the next tier holds their buckets (the last tier's by
  // age alone).
  void expire_tiers(const HistoryOptions& options, std::int64_t now_ms, int& budget) {
    for (std::int64_t device : devices()) {
      for (std::size_t tier = 0; tier < kTierCount && budget > 0; ++tier) {
        const int keep_days = tier_keep_days(tier, options);
        if (keep_days <= 0) continue;
        std::int64_t cutoff = now_ms - keep_days * kDayMs;
        if (tier + 1 < kTierCount) {
          const auto covered = newest_start(device, tier + 1);
          if (!covered) continue;
          cutoff = std::min(cutoff, *covered + kTiers[tier + 1].step_ms - kTiers[tier].step_ms + 1);
        }
        budget -= delete_aggregates_before(device, tier, cutoff, std::max(budget, 1));
      }
    }
  }

 private:
  // After a bucket's end, how long each tier waits for the rows of the tier below to come in.
  static constexpr std::int64_t kSettleMs = 5 * 60 * 1000;

  std::vector<std::int64_t> devices() {
    Statement all(db_, "SELECT id FROM devices ORDER BY id");
    std::vector<std::int64_t> ids;
    while (all.step()) ids.push_back(all.integer(0));
    return ids;
  }

  std::optional<std::int64_t> newest_start(std::int64_t device, std::size_t tier) {
    Statement newest(db_, "SELECT max(start_ms) FROM aggregates WHERE device = ?1 AND tier = ?2");
    return newest.bind(1, device).bind(2, static_cast<std::int64_t>(tier)).single_integer();
  }

  std::optional<std::int64_t> first_start_from(std::int64_t device, std::size_t tier,
                                               std::int64_t from_ms) {
    Statement first(db_,
                    "SELECT min(start_ms) FROM aggregates WHERE device = ?1 AND tier = ?2 AND "
                    "start_ms >= ?3");
    return first.bind(1, device)
        .bind(2, static_cast<std::int64_t>(tier))
        .bind(3, from_ms)
        .single_integer();
  }

  // Buckets of `tier` ending at or before `complete_ms`, made from the rows of the tier below.
  void roll_up_tier(std::int64_t device, std::size_t tier, std::int64_t complete_ms, int& budget) {
    const std::int64_t step = kTiers[tier].step_ms;
    const auto newest = newest_start(device, tier);
    std::int64_t from = newest ? *newest + step : std::numeric_limits<std::int64_t>::min();
    Statement finer(db_,
                    "SELECT count, payload FROM aggregates WHERE device = ?1 AND tier = ?2 AND "
                    "start_ms >= ?3 AND start_ms < ?4");
    Statement insert(db_,
                     "INSERT INTO aggregates(device, tier, start_ms, count, payload) VALUES "
                     "(?1, ?2, ?3, ?4, ?5) ON CONFLICT DO NOTHING");
    while (budget > 0) {
      const auto next = first_start_from(device, tier - 1, from);
      if (!next) return;
      const std::int64_t bucket = floor_to(*next, step);
      if (bucket + step > complete_ms) return;
      finer.bind(1, device).bind(2, static_cast<std::int64_t>(tier - 1)).bind(3, bucket);
      finer.bind(4, bucket + step);
      std::uint32_t rounds = 0;
      AggregateFields fields;
      while (finer.step()) {
        const auto count = static_cast<std::uint32_t>(finer.integer(0));
        const std::vector<std::uint8_t> payload = finer.blob(1);
        rounds += count;
        const auto decoded = decode_aggregate(payload.data(), payload.size(), count);
        for (const auto& [index, field] : decoded.value_or(AggregateFields{}))
          fields[index].merge(field);
        --budget;
      }
      insert.bind(1, device).bind(2, static_cast<std::int64_t>(tier)).bind(3, bucket);
      insert.bind(4, static_cast<std::int64_t>(rounds)).bind(5, encode_aggregate(fields, rounds));
      insert.run();
      from = bucket + step;
    }
  }

  int delete_aggregates_before(std::int64_t device, std::size_t tier, std::int64_t cutoff_ms,
                               int limit) {
    Statement erase(db_,
                    "DELETE FROM aggregates WHERE device = ?1 AND tier = ?2 AND start_ms IN "
                    "(SELECT start_ms FROM aggregates WHERE device = ?1 AND tier = ?2 AND "
                    "start_ms < ?3 ORDER BY start_ms LIMIT ?4)");
    erase.bind(1, device).bind(2, static_cast<std::int64_t>(tier)).bind(3, cutoff_ms);
    erase.bind(4, static_cast<std::int64_t>(limit)).run();
    return db_.changes();
  }

  // Up to `limit` of the oldest rows of the tier, of the device whose oldest row is oldest.
  int delete_oldest_aggregates(std::size_t tier, int limit) {
    std::optional<std::pair<std::int64_t, std::int64_t>> oldest;  // (start, device)
    for (std::int64_t device : devices()) {
      Statement first(db_, "SELECT min(start_ms) FROM aggregates WHERE device = ?1 AND tier = ?2");
      const auto start =
          first.bind(1, device).bind(2, static_cast<std::int64_t>(tier)).single_integer();
      if (start && (!oldest || *start < oldest->first)) oldest = std::make_pair(*start, device);
    }
    if (!oldest) return 0;
    return delete_aggregates_before(oldest->second, tier, std::numeric_limits<std::int64_t>::max(),
                                    limit);
  }

  Database& db_;
  const std::function<void(std::int64_t)>& chain_ended_;
};

}  // namespace

bool retention_step(Database& db, const HistoryOptions& options, std::int64_t now_ms,
                    const std::function<void(std::int64_t device)>& chain_ended) {
  Retention retention(db, chain_ended);
  int budget = kRetentionBudget;
  Transaction transaction(db);
  if (options.keep_days) retention.by_age(now_ms - *options.keep_days * kDayMs, budget);
  if (options.keep_events_days > 0) {
    for (const char* table : kEventTables) {
      budget -= retention.delete_older(table, "time_ms", now_ms - options.keep_events_days * kDayMs,
                                       std::max(budget, 1));
    }
  }
  retention.roll_up(now_ms, budget);
  retention.expire_tiers(options, now_ms, budget);
  if (options.max_db_mb) {
    retention.by_size(static_cast<std::int64_t>(*options.max_db_mb) * 1024 * 1024, 0, now_ms,
                      budget);
  }
  transaction.commit();
  return budget <= 0;
}

void make_room(Database& db, int max_db_mb, std::int64_t incoming_bytes, std::int64_t now_ms,
               const std::function<void(std::int64_t device)>& chain_ended) {
  Retention retention(db, chain_ended);
  int unbounded = std::numeric_limits<int>::max();
  retention.by_size(static_cast<std::int64_t>(max_db_mb) * 1024 * 1024, incoming_bytes, now_ms,
                    unbounded);
}

bool RetentionSchedule::due(std::int64_t now_ms) const {
  const std::int64_t elapsed = now_ms - last_ms_;
  switch (state_) {
    case State::never_run:
      return true;
    case State::caught_up:
      return elapsed >= kIntervalMs || elapsed < 0;
    case State::backlog:
      return elapsed >= kBacklogIntervalMs || elapsed < 0;
  }
  return true;
}

void RetentionSchedule::stepped(std::int64_t now_ms, bool budget_used_up) {
  last_ms_ = now_ms;
  state_ = budget_used_up ? State::backlog : State::caught_up;
}

}  // namespace kelvra::history
