#include "history/aggregates.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "record/kelvra_419_fields.h"

namespace kelvra::history {
namespace {

constexpr std::uint8_t kWidthMask = 0x3f;
constexpr std::uint8_t kCountFollows = 0x40;
constexpr std::uint8_t kGapFollows = 0x80;
constexpr std::size_t kMaxIndex = 255;

// f32 bits mapped so that unsigned order is float order.
std::uint32_t ordered_bits(float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
}

float from_ordered_bits(std::uint32_t ordered) {
  const std::uint32_t bits = (ordered & 0x80000000u) ? ordered & 0x7fffffffu : ~ordered;
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void put_float(std::vector<std::uint8_t>& out, float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

int bit_width(std::uint32_t value) {
  int width = 0;
  while (width < 32 && (value >> width) != 0) ++width;  // a shift by 32 is undefined
  return width;
}

// Reads a payload front to back, never past its end.
class PayloadReader {
 public:
  PayloadReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ == size_; }
  bool byte(std::uint8_t& out) {
    if (at_ >= size_) return false;
    out = data_[at_++];
    return true;
  }
  // Little-endian, `count` bytes (at most 8).
  bool bytes_le(std::size_t count, std::uint64_t& out) {
    if (count > size_ - at_) return false;
    out = 0;
    for (std::size_t i = 0; i < count; ++i)
      out |= static_cast<std::uint64_t>(data_[at_ + i]) << (8 * i);
    at_ += count;
    return true;
  }
  bool leb128(std::uint32_t& out) {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 35; shift += 7) {
      std::uint8_t next = 0;
      if (!byte(next)) return false;
      value |= static_cast<std::uint64_t>(next & 0x7f) << shift;
      if (!(next & 0x80)) {
        if (value > 0xffffffffu) return false;
        out = static_cast<std::uint32_t>(value);
        return true;
      }
    }
    return false;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// One field of a payload into `fields`; false when malformed.
bool decode_field(PayloadReader& in, std::uint32_t rounds, std::size_t& next_index,
                  AggregateFields& fields) {
  std::uint8_t head = 0;
  if (!in.byte(head)) return false;
  const int width = head & kWidthMask;
  if (width > 32) return false;
  std::uint8_t gap = 0;
  if ((head & kGapFollows) && !in.byte(gap)) return false;
  const std::size_t index = next_index + gap;
  if (index > kMaxIndex) return false;
  std::uint32_t count = rounds;
  if ((head & kCountFollows) && !in.leb128(count)) return false;
  if (count == 0) return false;
  std::uint64_t min_bits = 0;
  std::uint64_t deltas = 0;
  if (!in.bytes_le(4, min_bits) ||
      !in.bytes_le((2 * static_cast<std::size_t>(width) + 7) / 8, deltas))
    return false;
  const std::uint64_t mask = width == 32 ? 0xffffffffu : (std::uint64_t{1} << width) - 1;
  float min_value = 0;
  const auto min_word = static_cast<std::uint32_t>(min_bits);
  std::memcpy(&min_value, &min_word, sizeof min_value);
  if (!std::isfinite(min_value)) return false;
  const std::uint64_t min_ordered = ordered_bits(min_value);
  const std::uint64_t mean_ordered = min_ordered + (deltas & mask);
  const std::uint64_t max_ordered = min_ordered + ((deltas >> width) & mask);
  if (mean_ordered > max_ordered || max_ordered > ordered_bits(std::numeric_limits<float>::max()))
    return false;
  FieldAccumulator field;
  field.count = count;
  field.min = min_value;
  field.max = from_ordered_bits(static_cast<std::uint32_t>(max_ordered));
  field.sum =
      static_cast<double>(from_ordered_bits(static_cast<std::uint32_t>(mean_ordered))) * count;
  fields[index] = field;
  next_index = index + 1;
  return true;
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

std::vector<std::uint8_t> encode_aggregate(const AggregateFields& fields, std::uint32_t rounds) {
  std::vector<std::uint8_t> out;
  std::size_t next_index = 0;
  for (const auto& [index, field] : fields) {
    if (field.count == 0 || index > kMaxIndex || index < next_index) continue;
    const auto min_value = static_cast<float>(field.min);
    const auto max_value = static_cast<float>(std::max(field.max, field.min));
    const std::uint32_t min_ordered = ordered_bits(min_value);
    const std::uint32_t max_ordered = ordered_bits(max_value);
    const std::uint32_t mean_ordered = std::clamp(
        ordered_bits(static_cast<float>(field.sum / field.count)), min_ordered, max_ordered);
    const int width = bit_width(max_ordered - min_ordered);
    const std::size_t gap = index - next_index;
    out.push_back(static_cast<std::uint8_t>(width | (field.count != rounds ? kCountFollows : 0) |
                                            (gap != 0 ? kGapFollows : 0)));
    if (gap != 0) out.push_back(static_cast<std::uint8_t>(gap));
    if (field.count != rounds) {
      for (std::uint32_t count = field.count;; count >>= 7) {
        out.push_back(static_cast<std::uint8_t>((count & 0x7f) | (count > 0x7f ? 0x80 : 0)));
        if (count <= 0x7f) break;
      }
    }
    put_float(out, min_value);
    const std::uint64_t deltas = (mean_ordered - min_ordered) |
                                 static_cast<std::uint64_t>(max_ordered - min_ordered) << width;
    for (int shift = 0; shift < 2 * width; shift += 8)
      out.push_back(static_cast<std::uint8_t>(deltas >> shift));
    next_index = index + 1;
  }
  return out;
}

std::optional<AggregateFields> decode_aggregate(const std::uint8_t* payload, std::size_t size,
                                                std::uint32_t rounds) {
  PayloadReader in(payload, size);
  AggregateFields fields;
  std::size_t next_index = 0;
  while (!in.done()) {
    if (!decode_field(in, rounds, next_index, fields)) return std::nullopt;
  }
  return fields;
}

std::optional<FieldAccumulator> aggregate_field(const std::vector<std::uint8_t>& payload,
                                                std::uint32_t rounds, std::size_t wanted) {
  const auto fields = decode_aggregate(payload.data(), payload.size(), rounds);
  if (!fields) return std::nullopt;
  const auto found = fields->find(wanted);
  if (found == fields->end()) return std::nullopt;
  return found->second;
}

std::optional<AggregateFields> decode_schema3_aggregate(const std::vector<std::uint8_t>& payload,
                                                        std::uint32_t rounds) {
  AggregateFields fields;
  std::size_t at = 0;
  while (at < payload.size()) {
    if (at + 2 > payload.size()) return std::nullopt;
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
    FieldAccumulator field;
    field.count = count;
    field.min = float_at(payload, at);
    const double mean = values == 1 ? field.min : float_at(payload, at + 4);
    field.max = values == 1 ? field.min : float_at(payload, at + 8);
    field.sum = mean * count;
    at += 4 * values;
    if (count > 0 && std::isfinite(field.min) && std::isfinite(field.max) && std::isfinite(mean))
      fields[index].merge(field);
  }
  return fields;
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
  AggregateRow row{device.first,
                   device.second,
                   minute.minute_ms,
                   minute.rounds,
                   encode_aggregate(minute.fields, minute.rounds),
                   0};
  minute.rounds = 0;
  minute.fields.clear();
  return row;
}

}  // namespace kelvra::history
