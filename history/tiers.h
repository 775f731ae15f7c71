// The aggregate tiers: each a bucket step and how long its rows are kept, finest first. Each tier
// is rolled up from the one before it before that one's rows expire; raw records feed the first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "history/history_types.h"

namespace kelvra::history {

struct Tier {
  const char* name;
  std::int64_t step_ms;
  int keep_days;  // the last tier's keep is HistoryOptions::keep_aggregate_days
};

// Tier numbers are positions in this table; the aggregates table stores them.
constexpr Tier kTiers[] = {
    {"minute", 60 * 1000, 30},
    {"15 minutes", 15 * 60 * 1000, 365},
    {"hour", 60 * 60 * 1000, 3650},
};
constexpr std::size_t kTierCount = sizeof kTiers / sizeof kTiers[0];

// Days a tier's rows are kept under `options`.
int tier_keep_days(std::size_t tier, const HistoryOptions& options);

}  // namespace kelvra::history
