// Bounded numbers and serial rates: what is taken, what is refused, and how the message reads.
#include "hostkit/bounds.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "hostkit/input_error.h"
#include "hostkit/serial_rates.h"

namespace {

using kelvra::hostkit::Bounds;
using kelvra::hostkit::InputError;

// The number, or the refusal's message.
std::string outcome(const Bounds& bounds, const std::string& text) {
  try {
    return std::to_string(kelvra::hostkit::parse_bounded("--opt", text, bounds));
  } catch (const InputError& error) {
    return error.what();
  }
}

TEST(ParseBounded, DecimalOrHexWithinTheBoundsOnly) {
  const Bounds address{1, 254};
  const Bounds ver{0x20, 0x21, true};
  const struct {
    Bounds bounds;
    const char* text;
    std::string expected;
  } cases[] = {
      {address, "1", "1"},
      {address, "254", "254"},
      {address, "0xFE", "254"},
      {address, "0", "--opt: expected a number from 1 to 254, got \"0\""},
      {address, "255", "--opt: expected a number from 1 to 254, got \"255\""},
      {address, "", "--opt: expected a number from 1 to 254, got \"\""},
      {address, "12x", "--opt: expected a number from 1 to 254, got \"12x\""},
      {address, " 12", "--opt: expected a number from 1 to 254, got \" 12\""},
      {address, "+12", "--opt: expected a number from 1 to 254, got \"+12\""},
      {{-10, 10}, "-10", "-10"},
      {{-10, 10}, "-11", "--opt: expected a number from -10 to 10, got \"-11\""},
      {address, "99999999999999999999",
       "--opt: expected a number from 1 to 254, got "
       "\"99999999999999999999\""},
      {ver, "0x20", "32"},
      {ver, "0x21", "33"},
      {ver, "33", "33"},
      {ver, "0x22", "--opt: expected a number from 0x20 to 0x21, got \"0x22\""},
      {ver, "0x1F", "--opt: expected a number from 0x20 to 0x21, got \"0x1F\""},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(c.bounds, c.text), c.expected) << c.text;
}

TEST(BoundsText, HexBoundsShowInHex) {
  EXPECT_EQ(kelvra::hostkit::bounds_text({1, 254}), "1..254");
  EXPECT_EQ(kelvra::hostkit::bounds_text(kelvra::hostkit::kProtocolVersionBounds), "0x20..0x21");
  EXPECT_EQ(kelvra::hostkit::bounded_text(0x21, kelvra::hostkit::kProtocolVersionBounds), "0x21");
  try {
    kelvra::hostkit::check_bounded("host.ver", 34, kelvra::hostkit::kProtocolVersionBounds);
    ADD_FAILURE() << "34 was taken";
  } catch (const InputError& error) {
    EXPECT_STREQ(error.what(), "host.ver: expected a number from 0x20 to 0x21, got 0x22");
  }
}

TEST(SerialRates, OnlyRatesAPortCanBeSetTo) {
  const struct {
    const char* text;
    std::optional<unsigned> baud;
  } cases[] = {
      {"50", 50u},
      {"9600", 9600u},
      {"115200", 115200u},
      {"4000000", 4000000u},
      {"0", std::nullopt},
      {"9601", std::nullopt},
      {"7200", std::nullopt},
      {"1500000", std::nullopt},  // termios has it, the port layer cannot set it
      {"4000001", std::nullopt},
      {"0x2580", std::nullopt},
      {"", std::nullopt},
      {"-9600", std::nullopt},
      {"9600 ", std::nullopt},
  };
  for (const auto& c : cases) {
    try {
      EXPECT_EQ(kelvra::hostkit::parse_serial_rate("--baud", c.text), c.baud) << c.text;
      EXPECT_TRUE(kelvra::hostkit::serial_speed(*c.baud).has_value()) << c.text;
    } catch (const InputError& error) {
      EXPECT_FALSE(c.baud.has_value()) << c.text << ": " << error.what();
      EXPECT_EQ(std::string(error.what()).rfind("--baud: expected one of the rates 50 75 ", 0), 0u)
          << error.what();
    }
  }
  EXPECT_EQ(kelvra::hostkit::serial_speed(19200), B19200);
  EXPECT_EQ(kelvra::hostkit::serial_speed(4000000), B4000000);
}

}  // namespace
