// The simulator answering as several devices on one line, each at its own address and VER.
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostkit/input_error.h"
#include "sim/simulator.h"

namespace kelvra::sim {
namespace {

using frame::Frame;

TEST(SeveralDevices, AddressAndVerListsPairByPosition) {
  struct Case {
    const char* addresses;
    const char* vers;
    std::vector<std::pair<int, int>> devices;  // address, VER; empty: refused
    const char* error;
  };
  const Case cases[] = {
      {"1", "0x20", {{1, 0x20}}, nullptr},
      {"3,17", "0x20,0x21", {{3, 0x20}, {17, 0x21}}, nullptr},
      {"3,17,254", "0x21", {{3, 0x21}, {17, 0x21}, {254, 0x21}}, nullptr},
      {"3,17", "0x20,0x21,0x20", {}, "--ver: give one VER for all devices or one per address (2)"},
      {"3,3", "0x20", {}, "--address: 3 is given twice"},
      {"0", "0x20", {}, "--address: expected a number from 1 to 254, got \"0\""},
      {"255", "0x20", {}, "--address: expected a number from 1 to 254, got \"255\""},
      {"3,", "0x20", {}, "--address: expected a number from 1 to 254, got \"\""},
      {"3", "0x22", {}, "--ver: expected a number from 0x20 to 0x21, got \"0x22\""},
      {"3", "", {}, "--ver: expected a number from 0x20 to 0x21, got \"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.addresses) + " / " + c.vers);
    if (c.error) {
      try {
        parse_devices(c.addresses, c.vers);
        ADD_FAILURE() << "accepted";
      } catch (const hostkit::InputError& error) {
        EXPECT_STREQ(error.what(), c.error);
      }
      continue;
    }
    std::vector<std::pair<int, int>> devices;
    for (const ResponderSettings& device : parse_devices(c.addresses, c.vers)) {
      devices.emplace_back(device.address, device.ver);
    }
    EXPECT_EQ(devices, c.devices);
  }
}

TEST(SeveralDevices, EachAnswersAtItsOwnAddressWithItsOwnVer) {
  SimulatorConfig config;
  config.pacing.enabled = false;
  config.responder.address = 3;
  ResponderSettings second;
  second.address = 17;
  second.ver = 0x21;
  config.more_devices = {second};
  Simulator sim(config, nullptr);
  struct Case {
    Frame command;
    std::string answer;  // wire; empty: nothing sent
  };
  const Case cases[] = {
      {{0x20, 3, 0x41, 0x50, {}}, "~200341040000FDB2\r"},
      {{0x21, 17, 0x41, 0x50, {}}, "~211141040000FDB2\r"},
      {{0x20, 17, 0x41, 0x50, {}}, "~211141010000FDB5\r"},  // VER error, in the device's VER
      {{0x21, 3, 0x41, 0x50, {}}, "~200341010000FDB5\r"},
      {{0x20, 4, 0x41, 0x50, {}}, ""},
  };
  for (const Case& c : cases) {
    const std::string wire = frame::encode(c.command);
    SCOPED_TRACE(wire);
    const auto answers =
        sim.receive(reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size());
    if (c.answer.empty()) {
      EXPECT_TRUE(answers.empty());
    } else {
      ASSERT_EQ(answers.size(), 1u);
      EXPECT_EQ(answers[0].bytes, c.answer);
    }
  }
  EXPECT_EQ(sim.commands_answered(), 4u);
}

}  // namespace
}  // namespace kelvra::sim
