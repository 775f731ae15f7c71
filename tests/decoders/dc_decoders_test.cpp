#include "tests/decoders/decoder_harness.h"

namespace {

using namespace decoder_harness;

// Record offsets of the two DC units; patches below are relative to the unit.
constexpr std::size_t kFirstUnit = 576;
constexpr std::size_t kSecondUnit = 675;

struct UnitDecoders {
  const char* name;
  Decoder analog;
  Decoder alarm;
  std::size_t base;
};

const UnitDecoders kUnits[] = {
    {"first unit", &kelvra_419::parse42_41, &kelvra_419::parse42_44, kFirstUnit},
    {"second unit", &kelvra_419::parse42_41_2, &kelvra_419::parse42_44_2, kSecondUnit},
};

std::function<void(kelvra_419&)> with_current_factor(int factor) {
  return [factor](kelvra_419& d) { d.dc_i_adjust_ = factor; };
}

const Bytes kSingleFormatExample = {
    0x00, 0x00, 0x56, 0x42,  // out_v 53.5
    0x00, 0x00, 0x20, 0x41,  // out_i 10.0
    0x00,                    // m count 0
    0x00,                    // n count 0
    0x00,                    // p count 0
};

const Bytes kAnalogAllGroups = {
    0xFF, 0xFF, 0xFF, 0xFF,                          // out_v: no marker test, as received
    0x00, 0x00, 0x20, 0x41,                          // out_i 10.0
    0x02,                                            // m count 2
    0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40,  // m 1.0, 2.0
    0x01,                                            // n count 1
    0xAA, 0xBB, 0xCC, 0xDD,                          // n float, skipped
    0x03,                                            // p count 3
    0xFF, 0xFF, 0xFF, 0xFF,                          // p[0] invalid marker -> -0.1
    0x00, 0x00, 0x00, 0x00,                          // p[1] zero
    0x00, 0x00, 0x48, 0x42,                          // p[2] 50.0
};

const Bytes kAlarmBothGroups = {
    0x01,                                                        // out_v state
    0x02, 0xA1, 0xA2,                                            // alert_m count 2, states
    0x0B, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,  // alert_p count 11, states
    0x0A, 0x0B,
};

// Unit bytes that the example writes, with out_i as given.
std::vector<Patch> example_stored(Bytes out_i) {
  return {{0, {0x00, 0x00, 0x56, 0x42}}, {4, out_i}, {8, {0x00}}, {21, {0x00, 0x00}}};
}

std::vector<DecodeCase> analog_cases(Decoder decoder) {
  Bytes m_over_room = {0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x20, 0x41,         // out_v, out_i
                       0x04};                                                  // m count 4
  for (int i = 0; i < 16; ++i) m_over_room.push_back(std::uint8_t(0x60 + i));  // m, skipped
  m_over_room.insert(m_over_room.end(), {0x00, 0x00});                         // n, p count 0
  const Bytes p_over_room = {0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x20, 0x41,   // out_v, out_i
                             0x00, 0x00,                                       // m, n count 0
                             0x07};                                            // p count 7
  const std::vector<Patch> p_over_room_stored = {
      {0, {0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x20, 0x41, 0x00}}, {21, {0x00, 0x07}}};
  return {
      {"example, factor 1", decoder, kSingleFormatExample, kWhole, 11,
       example_stored({0x00, 0x00, 0x20, 0x41}), "parse42_41 53.500000 10.000000\n",
       with_current_factor(1)},
      {"example, factor -1", decoder, kSingleFormatExample, kWhole, 11,
       example_stored({0x00, 0x00, 0x20, 0xC1}), "parse42_41 53.500000 -10.000000\n",
       with_current_factor(-1)},
      {"example, factor 0", decoder, kSingleFormatExample, kWhole, 11,
       example_stored({0x00, 0x00, 0x00, 0x00}), "parse42_41 53.500000 0.000000\n",
       with_current_factor(0)},
      {"all groups",
       decoder,
       kAnalogAllGroups,
       kWhole,
       35,
       {{0, {0xFF, 0xFF, 0xFF, 0xFF}},                                // out_v
        {4, {0x00, 0x00, 0x20, 0x41}},                                // out_i
        {8, {0x02, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}},  // m_count, m[0], m[1]
        {21, {0x01, 0x03}},                                           // n_count, p_count
        {23, {0xCD, 0xCC, 0xCC, 0xBD, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x48, 0x42}}},  // p
       "parse42_41 -nan 10.000000\n",
       with_current_factor(1)},
      {"m count 3, p count 6, marker forms",
       decoder,
       {
           0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x20, 0x41,  // out_v 53.5, out_i 10.0
           0x03,                                            // m count 3
           0x20, 0x20, 0x20, 0x20, 0x00, 0x00, 0x80, 0x3F,  // m[0] marker kept, m[1] 1.0
           0x00, 0x00, 0x00, 0x40,                          // m[2] 2.0
           0x00,                                            // n count 0
           0x06,                                            // p count 6
           0x20, 0x20, 0x20, 0x20,                          // p[0] marker -> -0.1
           0x00, 0x20, 0x20, 0x20,                          // p[1] first byte 0: as received
           0x01, 0x01, 0x01, 0x01,                          // p[2] marker -> -0.1
           0x80, 0x80, 0x80, 0x80,                          // p[3] marker -> -0.1
           0x00, 0x00, 0x80, 0x3F,                          // p[4] 1.0
           0x7F, 0x7F, 0x7F, 0x7E,                          // p[5] not a marker
       },
       kWhole,
       47,
       {{0, {0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x20, 0x41, 0x03}},
        {9, {0x20, 0x20, 0x20, 0x20, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}},
        {21, {0x00, 0x06}},
        {23, {0xCD, 0xCC, 0xCC, 0xBD, 0x00, 0x20, 0x20, 0x20, 0xCD, 0xCC, 0xCC, 0xBD,
              0xCD, 0xCC, 0xCC, 0xBD, 0x00, 0x00, 0x80, 0x3F, 0x7F, 0x7F, 0x7F, 0x7E}}},
       "parse42_41 53.500000 10.000000\n",
       with_current_factor(1)},
      {"m count 4: group consumed, m kept",
       decoder,
       m_over_room,
       kWhole,
       27,
       {{0, {0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x20, 0x41, 0x04}}, {21, {0x00, 0x00}}},
       "parse42_41 53.500000 10.000000\n",
       with_current_factor(1)},
      {"p count 7 gives len, len 11", decoder, p_over_room, 11, 11, p_over_room_stored,
       "parse42_41 53.500000 10.000000\n", with_current_factor(1)},
      {"p count 7 gives len, len 40", decoder, p_over_room, 40, 40, p_over_room_stored,
       "parse42_41 53.500000 10.000000\n", with_current_factor(1)},
  };
}

std::vector<DecodeCase> alarm_cases(Decoder decoder) {
  Bytes m_over_room = {0x07, 0x19};  // out_v state, alert_m count 25
  for (int i = 1; i <= 25; ++i) m_over_room.push_back(std::uint8_t(i));
  m_over_room.push_back(0x00);             // alert_p count 0
  Bytes p_over_room = {0x00, 0x00, 0x0C};  // out_v state, alert_m count 0, alert_p count 12
  for (int i = 1; i <= 12; ++i) p_over_room.push_back(std::uint8_t(0x80 + i));
  return {
      {"both groups within room",
       decoder,
       kAlarmBothGroups,
       kWhole,
       16,
       {{47, {0x01, 0x02, 0xA1, 0xA2}},  // out_v_state, alert_m_count, alert_m[0..1]
        {69, {0x0B, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B}}},
       ""},
      {"alert_m count 25 keeps 20, consumes 25",
       decoder,
       m_over_room,
       kWhole,
       28,
       {{47, {0x07, 0x19, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
              0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14}},
        {69, {0x00}}},
       ""},
      {"alert_p count 12 keeps 11, consumes 12",
       decoder,
       p_over_room,
       kWhole,
       15,
       {{47, {0x00, 0x00}},
        {69, {0x0C, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B}}},
       ""},
  };
}

TEST(DcDecoders, DecodeResponsesIntoEachUnit) {
  for (const UnitDecoders& unit : kUnits) {
    SCOPED_TRACE(unit.name);
    for (const DecodeCase& c : analog_cases(unit.analog)) expect_decode(c, unit.base);
    for (const DecodeCase& c : alarm_cases(unit.alarm)) expect_decode(c, unit.base);
  }
}

TEST(DcDecoders, EveryTruncationIsRefused) {
  for (const UnitDecoders& unit : kUnits) {
    SCOPED_TRACE(unit.name);
    expect_truncations_refused({"analog example", unit.analog, kSingleFormatExample});
    expect_truncations_refused({"analog, all groups", unit.analog, kAnalogAllGroups});
    expect_truncations_refused({"alarm", unit.alarm, kAlarmBothGroups});
  }
}

}  // namespace
