// Minute aggregates of the series readings: per-device UTC-minute accumulation and its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "history/history_types.h"
#include "history/series_fields.h"

namespace kelvra::history {

constexpr std::int64_t kMinuteMs = 60 * 1000;

// The multiple of `step` at or below `value` (also for negative values).
std::int64_t floor_to(std::int64_t value, std::int64_t step);

// Running minimum, sum and maximum of one field.
struct FieldAccumulator {
  double min = std::numeric_limits<double>::infinity();
  double max = -std::numeric_limits<double>::infinity();
  double sum = 0;
  std::uint32_t count = 0;

  void add(double value);
  void merge(const FieldAccumulator& other);
};

// A minute's fields, each as (index u8, flags u8, [count u16 LE], min [, mean, max]): flag 1
// when min, mean and max are one value (only min follows), flag 2 when the field's count is not
// the minute's `rounds`.
std::vector<std::uint8_t> encode_aggregate(const std::map<std::size_t, FieldAccumulator>& fields,
                                           std::uint32_t rounds);

// The accumulator of field `wanted` out of a payload of `rounds` rounds; nullopt when it is not
// there or the payload is cut short.
std::optional<FieldAccumulator> aggregate_field(const std::vector<std::uint8_t>& payload,
                                                std::uint32_t rounds, std::size_t wanted);

// One closed minute of one device, as stored.
struct AggregateRow {
  std::string device;
  std::uint32_t data_id;
  std::int64_t minute_ms;
  std::uint32_t rounds;
  std::vector<std::uint8_t> payload;
};

// The minute being accumulated for each device; a minute closes when the device's first round of
// a later minute arrives, or at close_all. Restored records and records of another size are
// not counted.
class MinuteAggregator {
 public:
  std::optional<AggregateRow> add(const StoredRecord& record);
  std::vector<AggregateRow> close_all();

 private:
  struct Minute {
    std::int64_t minute_ms = 0;
    std::uint32_t rounds = 0;
    std::map<std::size_t, FieldAccumulator> fields;
    PresenceCache presence;
  };
  static AggregateRow close(const std::pair<std::string, std::uint32_t>& device, Minute& minute);

  std::map<std::pair<std::string, std::uint32_t>, Minute> minutes_;
};

}  // namespace kelvra::history
