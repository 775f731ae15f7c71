#include "tests/decoders/decoder_harness.h"

namespace {

using namespace decoder_harness;

// Two channels; channel 1 carries two user-defined floats; markers and zeros in both kinds of
// marked field.
const Bytes kAnalogTwoChannels = {
    0x02,                    // channel count 2
    0x00, 0x80, 0x5C, 0x43,  // ch1 a 220.5
    0x00, 0x00, 0x66, 0x43,  // ch1 b 230.0
    0xFF, 0xFF, 0xFF, 0xFF,  // ch1 c invalid marker -> 0.0
    0x42, 0x42, 0x42, 0x42,  // ch1 f invalid marker -> 0.0
    0x02,                    // ch1 user-defined count 2
    0x01, 0x02, 0x03, 0x04,  // ch1 user-defined float, skipped
    0x05, 0x06, 0x07, 0x08,  // ch1 user-defined float, skipped
    0x20, 0x20, 0x20, 0x20,  // ch2 a invalid marker -> 0.0
    0xFF, 0xFF, 0xFF, 0xFF,  // ch2 b invalid marker -> 0.0
    0x00, 0x00, 0x00, 0x00,  // ch2 c zero
    0x01, 0x01, 0x01, 0x02,  // ch2 f not a marker (bytes differ), as received
    0x00,                    // ch2 user-defined count 0
    0x20, 0x20, 0x20, 0x20,  // extra[0] invalid marker -> -0.1
    0xFF, 0xFF, 0xFF, 0xFF,  // extra[1] invalid marker -> -0.1
    0x00, 0x00, 0x00, 0x00,  // extra[2] zero -> 0.0
};

const std::vector<Patch> kAnalogTwoChannelsStored = {
    {20, {0x02}},                    // ac.channel_count
    {37, {0x00, 0x80, 0x5C, 0x43}},  // ch1 a
    {41, {0x00, 0x00, 0x66, 0x43}},  // ch1 b
    {45, {0x00, 0x00, 0x00, 0x00}},  // ch1 c
    {49, {0x00, 0x00, 0x00, 0x00}},  // ch1 f
    {53, {0x02}},                    // ch1 p40_41_count
    {62, {0x00, 0x00, 0x00, 0x00}},  // ch2 a
    {66, {0x00, 0x00, 0x00, 0x00}},  // ch2 b
    {70, {0x00, 0x00, 0x00, 0x00}},  // ch2 c
    {74, {0x01, 0x01, 0x01, 0x02}},  // ch2 f
    {78, {0x00}},                    // ch2 p40_41_count
    {8,
     {0xCD, 0xCC, 0xCC, 0xBD, 0xCD, 0xCC, 0xCC, 0xBD,  // ac.extra[0], [1]: -0.1
      0x00, 0x00, 0x00, 0x00}},                        // ac.extra[2]
};

const char kAnalogTwoChannelsOutput[] =
    "parse40_41 channel_count is 2\n"
    "a 0 80 5c 43\n"
    "parse40_41 acChannel.a is 220.5\n"
    "acChannel.p40_41_count 2\n"
    "a 20 20 20 20\n"
    "parse40_41 acChannel.a is 0\n";

const Bytes kAlarmResponse = {
    0x01,                    // channel count byte 1: printed only, two blocks follow anyway
    0x11, 0x12, 0x13, 0x14,  // ch1 a, b, c, f states
    0x02, 0xAA, 0xBB,        // ch1 count s 2 and its bytes, not stored
    0x03, 0x05, 0xE0, 0xE1,  // ch1 user-defined count 3 and alarm states
    0x21, 0x22, 0x23, 0x24,  // ch2 a, b, c, f states
    0x00,                    // ch2 count s 0
    0x02, 0xCC, 0xDD,        // ch2 user-defined count 2, skipped
    0x31, 0x32, 0x33,        // extra states
};

const Bytes kSwitchResponse = {
    0x00,                    // airlock count 0
    0x04,                    // user-defined count 4
    0xB0, 0xB1, 0xB2, 0xB3,  // user-defined switch states
};

TEST(AcDecoders, DecodeResponses) {
  const std::vector<DecodeCase> cases = {
      {"analog, two channels", &kelvra_419::parse40_41, kAnalogTwoChannels, kWhole, 55,
       kAnalogTwoChannelsStored, kAnalogTwoChannelsOutput},
      {"analog, channel count 0",
       &kelvra_419::parse40_41,
       {
           0x00,                    // channel count 0
           0x00, 0x00, 0x48, 0x42,  // extra[0] 50.0
           0x00, 0x00, 0x20, 0x41,  // extra[1] 10.0
           0x00, 0x00, 0x56, 0x42,  // extra[2] 53.5
       },
       kWhole,
       13,
       {{20, {0x00}},
        {8, {0x00, 0x00, 0x48, 0x42, 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x56, 0x42}}},
       "parse40_41 channel_count is 0\n"},
      {"analog, three channels: the third block is consumed and dropped",
       &kelvra_419::parse40_41,
       {
           0x03,                                            // channel count 3
           0x00, 0x80, 0x5C, 0x43, 0x00, 0x00, 0x66, 0x43,  // ch1 a 220.5, b 230.0
           0x00, 0x00, 0x66, 0x43, 0x00, 0x00, 0x48, 0x42,  // ch1 c 230.0, f 50.0
           0x00,                                            // ch1 user-defined count 0
           0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x20, 0x41,  // ch2 a, b 10.0
           0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x48, 0x42,  // ch2 c 10.0, f 50.0
           0x00,                                            // ch2 user-defined count 0
           0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x56, 0x42,  // ch3 a, b 53.5
           0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x48, 0x42,  // ch3 c 53.5, f 50.0
           0x01, 0x9A, 0x9B, 0x9C, 0x9D,                    // ch3 user-defined count 1, float
           0x00, 0x00, 0xC0, 0x3F,                          // extra[0] 1.5
           0x00, 0x00, 0x80, 0x3F,                          // extra[1] 1.0
           0x00, 0x00, 0x00, 0x40,                          // extra[2] 2.0
       },
       kWhole,
       68,
       {{20, {0x03}},
        {37,
         {0x00, 0x80, 0x5C, 0x43, 0x00, 0x00, 0x66, 0x43, 0x00, 0x00, 0x66, 0x43, 0x00, 0x00, 0x48,
          0x42, 0x00}},
        {62,
         {0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x48,
          0x42, 0x00}},
        {8, {0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}}},
       "parse40_41 channel_count is 3\n"
       "a 0 80 5c 43\nparse40_41 acChannel.a is 220.5\n"
       "a 0 0 20 41\nparse40_41 acChannel.a is 10\n"
       "a 0 0 56 42\nparse40_41 acChannel.a is 53.5\n"
       "acChannel.p40_41_count 1\n"},
      {"switch, four user-defined states",
       &kelvra_419::parse40_43,
       kSwitchResponse,
       6,
       6,
       {{21, {0x00}}, {22, {0x04}}, {23, {0xB0, 0xB1, 0xB2, 0xB3}}},
       ""},
      {"switch, four user-defined states cut at 5: count kept, states not read",
       &kelvra_419::parse40_43,
       kSwitchResponse,
       5,
       -1,
       {{21, {0x00}}, {22, {0x04}}},
       ""},
      {"switch, three user-defined states are skipped",
       &kelvra_419::parse40_43,
       {0x00, 0x03, 0x0A, 0x0B, 0x0C},  // airlock 0, user-defined count 3, three states
       5,
       5,
       {{21, {0x00}}, {22, {0x03}}},
       ""},
      {"switch, no user-defined states",
       &kelvra_419::parse40_43,
       {0x00, 0x00},
       kWhole,
       2,
       {{21, {0x00}}, {22, {0x00}}},
       ""},
      {"switch, airlock count 1 refused",
       &kelvra_419::parse40_43,
       {0x01, 0x55, 0x04, 0xB0, 0xB1, 0xB2, 0xB3},  // airlock 1 and its byte, then states
       kWhole,
       -1,
       {{21, {0x01}}},
       ""},
      {"alarm, channel count 1 still decodes two blocks",
       &kelvra_419::parse40_44,
       kAlarmResponse,
       kWhole,
       23,
       {{54, {0x11, 0x12, 0x13, 0x14}},  // ch1 a_state .. f_state
        {58, {0x03, 0x05, 0xE0, 0xE1}},  // ch1 p40_44_count, p40_44
        {79, {0x21, 0x22, 0x23, 0x24}},  // ch2 a_state .. f_state
        {83, {0x02}},                    // ch2 p40_44_count; p40_44 kept
        {27, {0x31, 0x32, 0x33}}},       // ac.extra_state
       "channel is 1\n"},
  };
  for (const DecodeCase& c : cases) expect_decode(c);
}

TEST(AcDecoders, EveryTruncationIsRefused) {
  const std::vector<ValidResponse> responses = {
      {"analog", &kelvra_419::parse40_41, kAnalogTwoChannels},
      {"switch, stored states", &kelvra_419::parse40_43, kSwitchResponse},
      {"switch, skipped states", &kelvra_419::parse40_43, {0x00, 0x03, 0x0A, 0x0B, 0x0C}},
      {"alarm", &kelvra_419::parse40_44, kAlarmResponse},
  };
  for (const ValidResponse& r : responses) expect_truncations_refused(r);
}

}  // namespace
