// Retention: deletes the oldest rows past the options' ages and size, a bounded step at a time,
// every row found through an index on its time or position.
#pragma once

#include <cstdint>
#include <functional>

#include "history/history_types.h"
#include "history/sqlite.h"

namespace kelvra::history {

// One step in its own transaction at `now_ms` (UTC): rolls up completed buckets into the coarser
// tiers (tiers.h), then deletes what is past its keep or the size limit. Records go a group at a
// time (a key frame and the deltas after it); `chain_ended(device)` is called when a device's last
// group went. True when the step used up its row budget: rows past the limits may remain.
bool retention_step(Database& db, const HistoryOptions& options, std::int64_t now_ms,
                    const std::function<void(std::int64_t device)>& chain_ended);

// Within the caller's transaction: deletes the oldest rows (raw records first, then aggregates
// finest tier first, then events) while the data and `incoming_bytes` more would be larger than
// `max_db_mb`. The database file grows past the limit only when nothing is left to delete.
void make_room(Database& db, int max_db_mb, std::int64_t incoming_bytes, std::int64_t now_ms,
               const std::function<void(std::int64_t device)>& chain_ended);

// When a retention step is due, on the store's wall clock (UTC ms): at the first flush, then once
// a minute, or once a second while the last step left rows behind (a backlog goes in bounded
// steps). A clock set back starts the minute afresh.
class RetentionSchedule {
 public:
  enum class State { never_run, caught_up, backlog };
  static constexpr std::int64_t kIntervalMs = 60 * 1000;
  static constexpr std::int64_t kBacklogIntervalMs = 1000;

  bool due(std::int64_t now_ms) const;
  // A step ran at `now_ms`; `budget_used_up` as retention_step returned.
  void stepped(std::int64_t now_ms, bool budget_used_up);
  State state() const { return state_; }

 private:
  State state_ = State::never_run;
  std::int64_t last_ms_ = 0;
};

}  // namespace kelvra::history
