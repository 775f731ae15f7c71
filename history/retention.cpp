#include "history/retention.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

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

  // The oldest rows of any kind while the data is larger than `limit_bytes`: raw records first,
  // past them the oldest aggregates, then the oldest events.
  void by_size(std::int64_t limit_bytes, std::int64_t now_ms, int& budget) {
    while (budget > 0 && used_bytes() > limit_bytes) {
      int deleted = delete_oldest_record_group(std::nullopt);
      if (deleted == 0) deleted = delete_older("aggregates", "minute_ms", now_ms + kDayMs, 500);
      for (const char* table : kEventTables) {
        if (deleted == 0) deleted = delete_older(table, "time_ms", now_ms + kDayMs, 500);
      }
      if (deleted == 0) break;
      budget -= deleted;
    }
  }

 private:
  Database& db_;
  const std::function<void(std::int64_t)>& chain_ended_;
};

}  // namespace

bool retention_step(Database& db, const HistoryOptions& options, std::int64_t now_ms,
                    const std::function<void(std::int64_t device)>& chain_ended) {
  if (!options.keep_days && !options.max_db_mb && options.keep_events_days <= 0 &&
      options.keep_aggregate_days <= 0) {
    return false;
  }
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
  if (options.keep_aggregate_days > 0) {
    budget -=
        retention.delete_older("aggregates", "minute_ms",
                               now_ms - options.keep_aggregate_days * kDayMs, std::max(budget, 1));
  }
  if (options.max_db_mb) {
    retention.by_size(static_cast<std::int64_t>(*options.max_db_mb) * 1024 * 1024, now_ms, budget);
  }
  transaction.commit();
  return budget <= 0;
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
