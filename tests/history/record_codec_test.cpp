#include "history/record_codec.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using kelvra::history::decode_runs;
using kelvra::history::encode_runs;
using kelvra::history::RecordChainEncoder;
using Bytes = std::vector<std::uint8_t>;

TEST(RecordCodec, RunsEncodeToExactBytesAndBack) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::optional<Bytes> base;
    Bytes payload;
  };
  const Case cases[] = {
      {"empty", {}, std::nullopt, {}},
      {"all zeros", {0, 0, 0, 0}, std::nullopt, {0x04, 0x00}},
      {"literals only", {1, 2, 3}, std::nullopt, {0x00, 0x03, 1, 2, 3}},
      {"two zeros stay in the literal", {1, 0, 0, 2}, std::nullopt, {0x00, 0x04, 1, 0, 0, 2}},
      {"three zeros end it", {1, 0, 0, 0, 2}, std::nullopt, {0x00, 0x01, 1, 0x03, 0x01, 2}},
      {"trailing zeros", {5, 0, 0}, std::nullopt, {0x00, 0x01, 5, 0x02, 0x00}},
      {"varint of 200 zeros", Bytes(200, 0), std::nullopt, {0xC8, 0x01, 0x00}},
      {"delta of one byte", {1, 2, 3, 4}, Bytes{1, 2, 9, 4}, {0x02, 0x01, 0x0A, 0x01, 0x00}},
      {"delta of an equal record", {7, 7, 7}, Bytes{7, 7, 7}, {0x03, 0x00}},
  };
  for (const Case& c : cases) {
    const Bytes* base = c.base ? &*c.base : nullptr;
    EXPECT_EQ(encode_runs(c.bytes, base), c.payload) << c.name;
    EXPECT_EQ(decode_runs(c.payload, base), c.bytes) << c.name;
  }
}

TEST(RecordCodec, DamagedPayloadsAreRefused) {
  const Bytes base{1, 2, 3};
  EXPECT_EQ(decode_runs({0x00, 0x05, 1}, nullptr), std::nullopt);  // literals past the end
  EXPECT_EQ(decode_runs({0x80}, nullptr), std::nullopt);           // varint cut short
  EXPECT_EQ(decode_runs({0x00}, nullptr), std::nullopt);           // pair cut short
  EXPECT_EQ(decode_runs({0x02, 0x00}, &base), std::nullopt);       // shorter than its base
  EXPECT_EQ(decode_runs({0xFF, 0xFF, 0xFF, 0x7F, 0x00}, nullptr), std::nullopt);  // too long
}

TEST(RecordCodec, KeyFramesComeEveryIntervalAndOnANewSize) {
  struct Case {
    unsigned interval;
    std::vector<Bytes> records;
    std::vector<bool> whole;
  };
  const Case cases[] = {
      {3, {{1}, {2}, {3}, {4}, {5}}, {true, false, false, true, false}},
      {3, {{1}, {2}, {3, 3}, {4, 4}}, {true, false, true, false}},
      {0, {{1}, {2}}, {true, true}},
  };
  for (const Case& c : cases) {
    RecordChainEncoder chain(c.interval);
    std::vector<bool> whole;
    for (const Bytes& record : c.records) whole.push_back(chain.encode(record).whole);
    EXPECT_EQ(whole, c.whole) << "interval " << c.interval;
  }
}

}  // namespace
