#include "history/aggregates.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "record/kelvra_419_fields.h"

namespace kelvra::history {
namespace {

void put_float(std::vector<std::uint8_t>& out, double value) {
  const auto single = static_cast<float>(value);
  std::uint32_t bits = 0;
  std::memcpy(&bits, &single, sizeof bits);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

}  // namespace

std::int64_t floor_to(std::int64_t value, std::int64_t step) {
  const std::int64_t quotient = value / step;
  return (quotient * step > value ? quotient - 1 : quotient) * step;
}

void FieldAccumulator::add(double value) {
  min = std::min(min, value);
  max = std::max(max, value);
  sum += value;
  ++count;
}

void FieldAccumulator::merge(const FieldAccumulator& other) {
  min = std::min(min, other.min);
  max = std::max(max, other.max);
  sum += other.sum;
  count += other.count;
}

std::vector<std::uint8_t> encode_aggregate(const std::map<std::size_t, FieldAccumulator>& fields,
                                           std::uint32_t rounds) {
  std::vector<std::uint8_t> out;
  for (const auto& [index, field] : fields) {
    const bool constant = field.min == field.max;
    const bool own_count = field.count != rounds;
    out.push_back(static_cast<std::uint8_t>(index));
    out.push_back(static_cast<std::uint8_t>((constant ? 1 : 0) | (own_count ? 2 : 0)));
    if (own_count) {
      out.push_back(static_cast<std::uint8_t>(field.count));
      out.push_back(static_cast<std::uint8_t>(field.count >> 8));
    }
    put_float(out, field.min);
    if (!constant) {
      put_float(out, field.sum / field.count);
      put_float(out, field.max);
    }
  }
  return out;
}

std::optional<FieldAccumulator> aggregate_field(const std::vector<std::uint8_t>& payload,
                                                std::uint32_t rounds, std::size_t wanted) {
  std::size_t at = 0;
  while (at + 2 <= payload.size()) {
    const std::size_t index = payload[at];
    const std::uint8_t flags = payload[at + 1];
    at += 2;
    std::uint32_t count = rounds;
    if (flags & 2) {
      if (at + 2 > payload.size()) return std::nullopt;
      count = static_cast<std::uint32_t>(payload[at] | payload[at + 1] << 8);
      at += 2;
    }
    const std::size_t values = (flags & 1) ? 1 : 3;
    if (at + 4 * values > payload.size()) return std::nullopt;
    if (index == wanted) {
      FieldAccumulator field;
      field.count = count;
      field.min = float_at(payload, at);
      const double mean = values == 1 ? field.min : float_at(payload, at + 4);
      field.max = values == 1 ? field.min : float_at(payload, at + 8);
      field.sum = mean * count;
      return field;
    }
    at += 4 * values;
  }
  return std::nullopt;
}

std::optional<AggregateRow> MinuteAggregator::add(const StoredRecord& record) {
  if (record.restored || record.bytes.size() != record::kRecordSize) return std::nullopt;
  const std::pair<std::string, std::uint32_t> device{record.device, record.data_id};
  Minute& minute = minutes_[device];
  const std::int64_t minute_ms = floor_to(record.time_ms, kMinuteMs);
  std::optional<AggregateRow> closed;
  if (minute.rounds > 0 && minute.minute_ms != minute_ms) closed = close(device, minute);
  minute.minute_ms = minute_ms;
  ++minute.rounds;
  for (const PresentField& field : minute.presence.of(record.bytes)) {
    const float value = float_at(record.bytes, field.offset);
    if (std::isfinite(value)) minute.fields[field.index].add(value);
  }
  return closed;
}

std::vector<AggregateRow> MinuteAggregator::close_all() {
  std::vector<AggregateRow> closed;
  for (auto& [device, minute] : minutes_) {
    if (minute.rounds > 0) closed.push_back(close(device, minute));
  }
  return closed;
}

AggregateRow MinuteAggregator::close(const std::pair<std::string, std::uint32_t>& device,
                                     Minute& minute) {
  AggregateRow row{device.first, device.second, minute.minute_ms, minute.rounds,
                   encode_aggregate(minute.fields, minute.rounds)};
  minute.rounds = 0;
  minute.fields.clear();
  return row;
}

}  // namespace kelvra::history
