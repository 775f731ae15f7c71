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

// An aggregate row's fields, by index in series_fields().
using AggregateFields = std::map<std::size_t, FieldAccumulator>;

// The fields of a row of `rounds` rounds, in index order, each as: a head byte (bits 0-5 the width
// W, 0..32, of the two deltas; bit 6 a count follows; bit 7 an index gap follows), [the gap u8:
// index - previous index - 1, the first field's previous being -1], [the count, LEB128, when not
// `rounds`], min f32 LE, then mean - min and max - min in ordered float steps, W bits each, packed
// least significant first into ceil(2W / 8) bytes. W = 0 when min, mean and max are one value.
// Lossless for min, max and the mean rounded to f32; fields with no count or an index past 255 are
// left out.
std::vector<std::uint8_t> encode_aggregate(const AggregateFields& fields, std::uint32_t rounds);

// Every field of a payload of `rounds` rounds; nullopt when it is malformed (cut short, an index
// past 255, a width past 32, a value past the finite floats, a count of 0 or past 32 bits).
std::optional<AggregateFields> decode_aggregate(const std::uint8_t* payload, std::size_t size,
                                                std::uint32_t rounds);

// The accumulator of field `wanted` out of a payload; nullopt when it is not there or the payload
// is malformed.
std::optional<FieldAccumulator> aggregate_field(const std::vector<std::uint8_t>& payload,
                                                std::uint32_t rounds, std::size_t wanted);

// A schema 3 minute payload (fields as index u8, flags u8 (1: one value, 2: a count follows),
// [count u16 LE], min [, mean, max] f32 LE); nullopt when cut short.
std::optional<AggregateFields> decode_schema3_aggregate(const std::vector<std::uint8_t>& payload,
                                                        std::uint32_t rounds);

// One closed bucket of one device in one tier (0, minutes, for the rows the store writes).
struct AggregateRow {
  std::string device;
  std::uint32_t data_id;
  std::int64_t start_ms;  // the bucket's start, UTC ms
  std::uint32_t rounds;
  std::vector<std::uint8_t> payload;
  std::size_t tier = 0;
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
    AggregateFields fields;
    PresenceCache presence;
  };
  static AggregateRow close(const std::pair<std::string, std::uint32_t>& device, Minute& minute);

  std::map<std::pair<std::string, std::uint32_t>, Minute> minutes_;
};

}  // namespace kelvra::history
