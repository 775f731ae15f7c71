#include "history/tiers.h"

namespace kelvra::history {

int tier_keep_days(std::size_t tier, const HistoryOptions& options) {
  return tier + 1 == kTierCount ? options.keep_aggregate_days : kTiers[tier].keep_days;
}

}  // namespace kelvra::history
