#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/rules/rules_fixture.h"

namespace {

using testing_support::respond;
using testing_support::SentCommand;
using Bytes = std::vector<std::uint8_t>;

// A decoded response: VER, ADR, CID1, RTN, length field (twice the INFO bytes, least significant
// byte first), INFO. Built byte by byte: a ranged vector insert here draws a false -Warray-bounds
// from g++ 12 at -O2.
Bytes decoded_response(std::uint8_t cid1, const Bytes& info) {
  const unsigned field = static_cast<unsigned>(info.size() * 2);
  Bytes out = {0x20, 0x01, cid1, 0x00, std::uint8_t(field & 0xFF), std::uint8_t(field >> 8)};
  for (std::uint8_t b : info) out.push_back(b);
  return out;
}

// Rectifier analog INFO: DATAFLAG 0, group value 48.0, two modules.
const Bytes kRectAnalogInfo = {
    0x00,                          // DATAFLAG: nothing changed
    0x00, 0x00, 0x40, 0x42,        // group value 48.0
    0x02,                          // module count 2
    0x00, 0x00, 0x20, 0x41, 0x00,  // module 1: 10.0, user-defined count 0
    0x00, 0x00, 0x30, 0x41, 0x00,  // module 2: 11.0, user-defined count 0
};
// DC analog INFO, format without unit count: DATAFLAG 0, out_v 53.5, out_i 10.0, no groups.
const Bytes kDcAnalogInfo = {
    0x00,                    // DATAFLAG: nothing changed
    0x00, 0x00, 0x56, 0x42,  // out_v 53.5
    0x00, 0x00, 0x20, 0x41,  // out_i 10.0
    0x00, 0x00, 0x00,        // m, n, p counts 0
};
// An answer to a control command shaped like a DC analog response with other values, so that
// decoding it as poll data would show in the record.
const Bytes kControlAnswerInfo = {
    0x00,                    // DATAFLAG
    0x00, 0x00, 0xC8, 0x42,  // 100.0
    0x00, 0x00, 0xC8, 0x42,  // 100.0
    0x00, 0x00, 0x00,        // counts
};

const SentCommand kRectAnalog{0x41, 0x41, {}};
const SentCommand kDcAnalog{0x42, 0x41, {}};

struct Request {
  int code;
  std::string in;
  SentCommand command;
  int poll_state_after_send;
  int wait_time_after_send;
};

const std::vector<Request> kRequests = {
    {300,
     "\x01\x02\x03\x04\x05\x06\x07",
     {0x41, 0x4E, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}},
     300,
     0},
    {310,
     R"({"signal_id":"006202","SetValue":"53.5"})",
     {0x42, 0x48, {0xDB, 0x00, 0x00, 0x56, 0x42}},
     310,
     0},
    {320, "419500201003", {0x41, 0x45, {0xE5, 0x03}}, 10, 320},
};

// A later round (data already valid) of two commands: rectifier analog, then DC analog.
struct Round {
  testing_support::RecordingHost host;
  kelvra_419 device;
  Round() {
    device.AttachHost(&host);
    device.data_valid_ = 1;
    device.has_ac_ = false;
    device.has_dc_ = true;
    device.no_dc_number_ = 1;
  }
  int control(const Request& r) {
    int written = 0;
    int out = 0;
    return device.DeviceIoControl(r.code, r.in.data(), static_cast<int>(r.in.size()), &out,
                                  sizeof out, written);
  }
  int read_back() {
    int written = 0;
    int out = 0;
    device.DeviceIoControl(0, nullptr, 0, &out, sizeof out, written);
    return out;
  }
};

TEST(HeldControl, SentAfterTheRoundsLastAnswerAndAnsweredAsControl) {
  for (const Request& r : kRequests) {
    SCOPED_TRACE(r.code);
    Round round;
    testing_support::capture_stdout([&] {
      ASSERT_TRUE(round.device.RefreshStatus());
      EXPECT_EQ(round.control(r), 0);
      EXPECT_EQ(round.read_back(), -1);
      EXPECT_EQ(round.device.poll_state_, 4);
      respond(round.device, decoded_response(0x41, kRectAnalogInfo));
      EXPECT_EQ(round.host.sent, (std::vector<SentCommand>{kRectAnalog, kDcAnalog}));
      respond(round.device, decoded_response(0x42, kDcAnalogInfo));
    });
    EXPECT_EQ(round.host.sent, (std::vector<SentCommand>{kRectAnalog, kDcAnalog, r.command}));
    ASSERT_GE(round.host.calls.size(), 3u);
    const auto last = round.host.calls.end();
    EXPECT_EQ(*(last - 3), "history 763");
    EXPECT_EQ(*(last - 2), "reset");
    EXPECT_EQ(round.device.poll_state_, r.poll_state_after_send);
    EXPECT_EQ(round.device.wait_time_, r.wait_time_after_send);
    EXPECT_EQ(round.read_back(), -1);

    // The round's data as decoded from its own answers.
    const auto& data = round.device.data_;
    EXPECT_EQ(data.rc.group_value.get(), 48.0f);
    EXPECT_EQ(data.rc.channel_count, 2);
    EXPECT_EQ(data.rc.channel[1].value.get(), 11.0f);
    EXPECT_EQ(data.dc.out_v.get(), 53.5f);
    EXPECT_EQ(data.dc.out_i.get(), 10.0f);
    ASSERT_EQ(round.host.published.size(), 1u);

    const kelvra_419_Data_t before = round.device.data_;
    testing_support::capture_stdout(
        [&] { respond(round.device, decoded_response(0x42, kControlAnswerInfo)); });
    EXPECT_EQ(round.read_back(), 1);
    EXPECT_EQ(std::memcmp(&before, &round.device.data_, sizeof before), 0);
    EXPECT_EQ(round.host.sent.size(), 3u);
    EXPECT_EQ(round.host.published.size(), 1u);
  }
}

// Two identical rounds, one with a control request in flight: same commands, same record.
TEST(HeldControl, LeavesTheRoundAsWithoutTheRequest) {
  for (const Request& r : kRequests) {
    SCOPED_TRACE(r.code);
    Round plain, held;
    testing_support::capture_stdout([&] {
      for (Round* round : {&plain, &held}) {
        ASSERT_TRUE(round->device.RefreshStatus());
        respond(round->device, decoded_response(0x41, kRectAnalogInfo));
        if (round == &held) {
          EXPECT_EQ(round->control(r), 0);
        }
        respond(round->device, decoded_response(0x42, kDcAnalogInfo));
      }
    });
    std::vector<SentCommand> expected = plain.host.sent;
    expected.push_back(r.command);
    EXPECT_EQ(held.host.sent, expected);
    std::memcpy(held.device.data_.round_time, plain.device.data_.round_time, 7);
    EXPECT_EQ(std::memcmp(&plain.device.data_, &held.device.data_, sizeof plain.device.data_), 0);
    EXPECT_EQ(held.host.alarms.size(), plain.host.alarms.size());
  }
}

TEST(HeldControl, BetweenRoundsTheCommandGoesOutAtOnce) {
  for (const Request& r : kRequests) {
    SCOPED_TRACE(r.code);
    Round round;
    testing_support::capture_stdout([&] {
      ASSERT_TRUE(round.device.RefreshStatus());
      respond(round.device, decoded_response(0x41, kRectAnalogInfo));
      respond(round.device, decoded_response(0x42, kDcAnalogInfo));
    });
    ASSERT_EQ(round.device.poll_state_, 10);
    EXPECT_EQ(round.control(r), 0);
    EXPECT_EQ(round.host.sent.back(), r.command);
    EXPECT_EQ(round.host.calls.back(), "send " + ::testing::PrintToString(r.command));
    EXPECT_EQ(round.device.poll_state_, r.poll_state_after_send);
    const kelvra_419_Data_t before = round.device.data_;
    testing_support::capture_stdout(
        [&] { respond(round.device, decoded_response(0x42, kControlAnswerInfo)); });
    EXPECT_EQ(round.read_back(), 1);
    EXPECT_EQ(std::memcmp(&before, &round.device.data_, sizeof before), 0);
  }
}

}  // namespace
