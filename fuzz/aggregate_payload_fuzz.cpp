// Aggregate payload decoder fuzz target: the input is a row's rounds (u16 LE) and its payload.
// Whatever decodes holds fields with a count and min <= mean <= max, all finite, and encodes to a
// payload that decodes to the same fields.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "history/aggregates.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

float mean_of(const kelvra::history::FieldAccumulator& field) {
  return static_cast<float>(field.sum / field.count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto rounds = static_cast<std::uint32_t>(data[0] | data[1] << 8);
  // Exactly sized, so that a read past the payload is caught.
  const std::size_t payload_size = size - 2;
  const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[payload_size]);
  std::copy(data + 2, data + size, exact.get());
  const auto fields = kelvra::history::decode_aggregate(exact.get(), payload_size, rounds);
  if (!fields) return 0;
  for (const auto& [index, field] : *fields) {
    check(index <= 255 && field.count > 0);
    check(std::isfinite(field.min) && std::isfinite(field.max));
    check(field.min <= mean_of(field) && mean_of(field) <= field.max);
  }
  const auto coded = kelvra::history::encode_aggregate(*fields, rounds);
  const auto again = kelvra::history::decode_aggregate(coded.data(), coded.size(), rounds);
  check(again && again->size() == fields->size());
  for (const auto& [index, field] : *fields) {
    const auto& other = again->at(index);
    check(other.count == field.count && other.min == field.min && other.max == field.max &&
          mean_of(other) == mean_of(field));
  }
  return 0;
}
