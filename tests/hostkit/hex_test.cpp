// The hex rule every command shares: pairs of digits, blanks only between pairs.
#include "hostkit/hex.h"

#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ParseHex, PairsWithBlanksBetweenBytesOnly) {
  const struct {
    const char* text;
    std::optional<Bytes> bytes;
  } cases[] = {
      {"", Bytes{}},
      {" \t\r\n", Bytes{}},
      {"00", Bytes{0x00}},
      {"aBcD", Bytes{0xAB, 0xCD}},
      {"fF00", Bytes{0xFF, 0x00}},
      {" 01 \t02 ", Bytes{0x01, 0x02}},
      {"0102\r\n0304\n", Bytes{0x01, 0x02, 0x03, 0x04}},
      {"0", std::nullopt},      // odd count
      {"012", std::nullopt},    // odd count
      {"01 2", std::nullopt},   // lone digit at the end
      {"0 1", std::nullopt},    // a blank inside a pair
      {"0\n1", std::nullopt},   // a line end inside a pair
      {"x0", std::nullopt},     // not a digit
      {"0x01", std::nullopt},   // no prefix
      {"01,02", std::nullopt},  // no other separator
      {"0g", std::nullopt},
      {"01\v02", std::nullopt},  // only space, tab, CR and LF are blanks
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kelvra::hostkit::parse_hex(c.text), c.bytes) << '"' << c.text << '"';
  }
}

TEST(ToHex, LowerCaseWithoutSeparatorsAndReadBackByParseHex) {
  const std::uint8_t bytes[] = {0x00, 0xAB, 0x0F, 0xF0, 0x9C};
  EXPECT_EQ(kelvra::hostkit::to_hex(bytes, sizeof bytes), "00ab0ff09c");
  EXPECT_EQ(kelvra::hostkit::to_hex(bytes, 0), "");
  EXPECT_EQ(kelvra::hostkit::parse_hex(kelvra::hostkit::to_hex(bytes, sizeof bytes)),
            Bytes(bytes, bytes + sizeof bytes));
}

}  // namespace
