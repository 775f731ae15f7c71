// Retention: deletes the oldest rows past the options' ages and size, a bounded step at a time.
#pragma once

#include <cstdint>
#include <functional>

#include "history/history_types.h"
#include "history/sqlite.h"

namespace kelvra::history {

// One step in its own transaction at `now_ms` (UTC). Records go a group at a time (a key frame
// and the deltas after it); `chain_ended(device)` is called when a device's last group went.
void retention_step(Database& db, const HistoryOptions& options, std::int64_t now_ms,
                    const std::function<void(std::int64_t device)>& chain_ended);

}  // namespace kelvra::history
