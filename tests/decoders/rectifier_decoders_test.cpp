#include "tests/decoders/decoder_harness.h"

namespace {

using namespace decoder_harness;

// Offset of entry i of rc.channel.
constexpr std::size_t module_at(std::size_t i) {
  return 92 + 12 * i;
}

std::function<void(kelvra_419&)> with_modules(std::uint8_t count) {
  return [count](kelvra_419& d) { d.data_.rc.channel_count = count; };
}

const Bytes kAnalogResponse = {
    0x00,                          // DATAFLAG
    0x00, 0x00, 0xC0, 0x3F,        // group value 1.5
    0x02,                          // module count 2
    0x00, 0x00, 0x48, 0x42,        // module 1 value 50.0
    0x01, 0x01, 0x02, 0x03, 0x04,  // module 1 user-defined count 1 and its float, skipped
    0xFF, 0xFF, 0xFF, 0xFF,        // module 2 value: no marker test, stored as received
    0x00,                          // module 2 user-defined count 0
};

const Bytes kSwitchResponse = {
    0x00, 0x02,        // DATAFLAG, the response's module count (unused)
    0x01, 0x02, 0x03,  // module 1 switch states
    0x01, 0x7F,        // module 1 user-defined count 1 and its state
    0x04, 0x05, 0x06,  // module 2 switch states
    0x02, 0xAA, 0xBB,  // module 2 user-defined count 2, skipped
};

const Bytes kAlarmResponse = {
    0x00, 0x02,              // DATAFLAG, the response's module count (unused)
    0x40, 0x00,              // module 1 alarm state, user-defined count 0
    0x41, 0x02, 0xAA, 0xBB,  // module 2 alarm state, user-defined count 2, skipped
};

TEST(RectifierDecoders, DecodeResponses) {
  const std::vector<DecodeCase> cases = {
      {"analog, two modules",
       &kelvra_419::parse41_41,
       kAnalogResponse,
       kWhole,
       20,
       {{87, {0x00, 0x00, 0xC0, 0x3F}},   // rc.group_value
        {91, {0x02}},                     // rc.channel_count
        {92, {0x00, 0x00, 0x48, 0x42}},   // module 1 value
        {96, {0x01}},                     // module 1 p41_41_count
        {104, {0xFF, 0xFF, 0xFF, 0xFF}},  // module 2 value
        {108, {0x00}}},                   // module 2 p41_41_count
       "parse 41_41 channel is 2\n"},
      {"analog, module count 0",
       &kelvra_419::parse41_41,
       {0x11, 0x00, 0x00, 0xC0, 0x3F, 0x00},  // DATAFLAG, group value 1.5, count 0
       kWhole,
       6,
       {{87, {0x00, 0x00, 0xC0, 0x3F}}, {91, {0x00}}},
       "parse 41_41 channel is 0\n"},
      {"switch, two modules",
       &kelvra_419::parse41_43,
       kSwitchResponse,
       kWhole,
       13,
       {{97, {0x01, 0x02, 0x03}},   // module 1 switch_state
        {100, {0x01, 0x7F}},        // module 1 p41_43_count, p41_43
        {109, {0x04, 0x05, 0x06}},  // module 2 switch_state
        {112, {0x02}}},             // module 2 p41_43_count; p41_43 kept
       "",
       with_modules(2)},
      {"switch, more modules than the analog count: only the first decoded",
       &kelvra_419::parse41_43,
       kSwitchResponse,
       kWhole,
       7,
       {{97, {0x01, 0x02, 0x03}}, {100, {0x01, 0x7F}}},
       "",
       with_modules(1)},
      {"switch before any analog response",
       &kelvra_419::parse41_43,
       {0x00, 0x00},
       kWhole,
       2,
       {},
       "",
       with_modules(0)},
      {"switch before any analog response, cut at 1",
       &kelvra_419::parse41_43,
       {0x00},
       kWhole,
       -1,
       {},
       "",
       with_modules(0)},
      {"alarm, two modules",
       &kelvra_419::parse41_44,
       kAlarmResponse,
       kWhole,
       8,
       {{102, {0x40, 0x00}},   // module 1 alarm_state, p41_44_count
        {114, {0x41, 0x02}}},  // module 2 alarm_state, p41_44_count
       "",
       with_modules(2)},
  };
  for (const DecodeCase& c : cases) expect_decode(c);
}

// Module counts above the record's 40 entries: every block is consumed, entries beyond 39
// are dropped. Module i's bytes carry i so each entry shows which block it came from.
TEST(RectifierDecoders, ModulesBeyondTheRoomAreConsumedAndDropped) {
  for (const int count : {41, 255}) {
    SCOPED_TRACE(count);
    Bytes analog = {0x00, 0x00, 0x00, 0xC0, 0x3F, std::uint8_t(count)};
    Bytes switches = {0x00, std::uint8_t(count)};
    Bytes alarms = {0x00, std::uint8_t(count)};
    std::vector<Patch> analog_stored = {{87, {0x00, 0x00, 0xC0, 0x3F}},
                                        {91, {std::uint8_t(count)}}};
    std::vector<Patch> switch_stored, alarm_stored;
    for (int i = 0; i < count; ++i) {
      const auto b = std::uint8_t(i);
      analog.insert(analog.end(), {b, 0x00, 0x80, 0x3F, 0x00});  // value, count 0
      switches.insert(switches.end(), {b, b, b, 0x01, b});       // states, count 1, state
      alarms.insert(alarms.end(), {b, 0x01, 0x99});              // state, count 1, skipped
      if (i >= 40) continue;
      analog_stored.push_back({module_at(i), {b, 0x00, 0x80, 0x3F, 0x00}});
      switch_stored.push_back({module_at(i) + 5, {b, b, b, 0x01, b}});
      alarm_stored.push_back({module_at(i) + 10, {b, 0x01}});
    }
    const std::vector<DecodeCase> cases = {
        {"analog", &kelvra_419::parse41_41, analog, kWhole, int(analog.size()), analog_stored,
         "parse 41_41 channel is " + std::to_string(count) + "\n"},
        {"switch", &kelvra_419::parse41_43, switches, kWhole, int(switches.size()), switch_stored,
         "", with_modules(std::uint8_t(count))},
        {"alarm", &kelvra_419::parse41_44, alarms, kWhole, int(alarms.size()), alarm_stored, "",
         with_modules(std::uint8_t(count))},
    };
    for (const DecodeCase& c : cases) expect_decode(c);
  }
}

TEST(RectifierDecoders, EveryTruncationIsRefused) {
  const std::vector<ValidResponse> responses = {
      {"analog", &kelvra_419::parse41_41, kAnalogResponse},
      {"switch", &kelvra_419::parse41_43, kSwitchResponse, with_modules(2)},
      {"alarm", &kelvra_419::parse41_44, kAlarmResponse, with_modules(2)},
  };
  for (const ValidResponse& r : responses) expect_truncations_refused(r);
}

}  // namespace
