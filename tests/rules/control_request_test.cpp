#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/rules/rules_fixture.h"

namespace {

using testing_support::SentCommand;
using Info = std::vector<std::uint8_t>;

constexpr int kWrittenSentinel = 77;

// Exposes the step that sends a held command, normally taken when a round ends.
class ControlDevice : public kelvra_419 {
 public:
  using pmbuspower_419::send_held_control;
};

struct ControlledDevice {
  testing_support::RecordingHost host;
  ControlDevice device;
  ControlledDevice() { device.AttachHost(&host); }
};

// What one request returned and left in its out buffer.
struct Outcome {
  int result;
  std::vector<std::uint8_t> out;  // the out buffer afterwards, preset to the sentinel
  int out_written;
};

// Passes in from a heap buffer of exactly its size and out as a buffer of exactly out_len bytes,
// so that a read or write beyond either is caught by AddressSanitizer.
Outcome request(kelvra_419& device, int code, const std::string& in, int in_len, int out_len,
                bool null_in = false, bool null_out = false) {
  std::unique_ptr<std::uint8_t[]> in_bytes(new std::uint8_t[in.size()]);
  std::memcpy(in_bytes.get(), in.data(), in.size());
  const std::size_t out_size = out_len > 0 ? static_cast<std::size_t>(out_len) : 0;
  std::unique_ptr<std::uint8_t[]> out_bytes(new std::uint8_t[out_size]);
  std::memset(out_bytes.get(), 0x5A, out_size);
  Outcome outcome{};
  outcome.out_written = kWrittenSentinel;
  outcome.result =
      device.DeviceIoControl(code, null_in ? nullptr : in_bytes.get(), in_len,
                             null_out ? nullptr : out_bytes.get(), out_len, outcome.out_written);
  outcome.out.assign(out_bytes.get(), out_bytes.get() + out_size);
  return outcome;
}

Outcome request(kelvra_419& device, int code, const std::string& in, int out_len = 4) {
  return request(device, code, in, static_cast<int>(in.size()), out_len);
}

std::int32_t int_at_start(const std::vector<std::uint8_t>& out) {
  std::int32_t value;
  std::memcpy(&value, out.data(), sizeof value);
  return value;
}

bool untouched(const std::vector<std::uint8_t>& out) {
  for (std::uint8_t b : out) {
    if (b != 0x5A) return false;
  }
  return true;
}

const std::string kRectifierBytes = "\x01\x02\x03\x04\x05\x06\x07";

TEST(ControlRequest, RectifierCommandBetweenRounds) {
  struct Case {
    const char* what;
    std::string in;
    int in_len;
    bool null_in;
    int out_len;
    bool null_out;
    int result;
    bool sent;
    int out_written;  // kWrittenSentinel: untouched; 4: out starts with the integer 1
  };
  const std::vector<Case> cases = {
      {"7 bytes", kRectifierBytes, 7, false, 4, false, 0, true, 4},
      {"7 bytes, room for 8", kRectifierBytes, 7, false, 8, false, 0, true, 4},
      {"out of 3 bytes", kRectifierBytes, 7, false, 3, false, 0, true, kWrittenSentinel},
      {"out of 2 bytes", kRectifierBytes, 7, false, 2, false, 0, true, kWrittenSentinel},
      {"null out", kRectifierBytes, 7, false, 4, true, 0, true, kWrittenSentinel},
      {"6 bytes", kRectifierBytes.substr(0, 6), 6, false, 4, false, -1, false, kWrittenSentinel},
      {"8 bytes", kRectifierBytes + "\x08", 8, false, 4, false, -1, false, kWrittenSentinel},
      {"no bytes", "", 0, false, 4, false, -1, false, kWrittenSentinel},
      {"null in of length 7", kRectifierBytes, 7, true, 4, false, -1, false, kWrittenSentinel},
      {"negative length", kRectifierBytes, -7, false, 4, false, -1, false, kWrittenSentinel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ControlledDevice cd;
    cd.device.control_result_ = 1;
    const Outcome outcome =
        request(cd.device, 300, c.in, c.in_len, c.out_len, c.null_in, c.null_out);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(cd.device.poll_state_, 300);
    EXPECT_EQ(cd.device.control_result_, -1);
    EXPECT_EQ(outcome.out_written, c.out_written);
    if (c.out_written == 4) {
      EXPECT_EQ(int_at_start(outcome.out), 1);
      EXPECT_TRUE(untouched({outcome.out.begin() + 4, outcome.out.end()}));
    } else {
      EXPECT_TRUE(untouched(outcome.out));
    }
    std::vector<std::string> calls = {"open_port"};
    if (c.sent) calls.push_back("send 41/4e [ 01 02 03 04 05 06 07 ]");
    EXPECT_EQ(cd.host.calls, calls);
    EXPECT_EQ(cd.host.sent.size(), c.sent ? 1u : 0u);
  }
}

TEST(ControlRequest, SetDcValueBetweenRounds) {
  struct Case {
    std::string json;
    int result;
    Info info;  // empty: nothing sent
  };
  const std::vector<Case> cases = {
      {R"({"signal_id":"006201","SetValue":"53.5"})",
       0,
       {0xDC, /* 006201 */ 0x00, 0x00, 0x56, 0x42 /* 53.5f LE */}},
      {R"({"signal_id":"006202","SetValue":"-0.1"})",
       0,
       {0xDB, /* 006202 */ 0xCD, 0xCC, 0xCC, 0xBD /* -0.1f LE */}},
      {R"({"signal_id":"006201","SetValue":"53.52"})",
       0,
       {0xDC, 0x7B, 0x14, 0x56, 0x42 /* 53.52f, narrowed from double */}},
      {R"({"signal_id":"006201","SetValue":"abc"})", 0, {0xDC, 0x00, 0x00, 0x00, 0x00 /* 0.0 */}},
      {R"({"signal_id":"006201","SetValue":"12abc"})",
       0,
       {0xDC, 0x00, 0x00, 0x40, 0x41 /* 12.0 */}},
      {R"({"signal_id":"006201","SetValue":" 7"})", 0, {0xDC, 0x00, 0x00, 0xE0, 0x40 /* 7.0 */}},
      {R"({"signal_id":"006202","SetValue":48.5})",
       0,
       {0xDB, 0x00, 0x00, 0x42, 0x42 /* number 48.5 */}},
      {R"({"signal_id":"006201","SetValue":"1e39"})", 0, {0xDC, 0x00, 0x00, 0x80, 0x7F /* +inf */}},
      {R"({"signal_id":"006201","SetValue":true})", 0, {0xDC, 0x00, 0x00, 0x00, 0x00}},
      {R"({"extra":[1,{}],"signal_id":"006201","SetValue":"1"})",
       0,
       {0xDC, 0x00, 0x00, 0x80, 0x3F /* 1.0 */}},
      {R"({"signal_id":"006201"})", 0, {}},
      {R"({"signal_id":"006201","SetValue":null})", 0, {}},
      {R"({"SetValue":"1"})", 0, {}},
      {R"({"signal_id":null,"SetValue":"1"})", 0, {}},
      {R"({"signal_id":"","SetValue":"1"})", 0, {}},
      {R"({"signal_id":"006203","SetValue":"1"})", 0, {}},
      {R"({"signal_id":6201,"SetValue":"1"})", 0, {}},
      {R"({"signal_id":"006203","SetValue":[1]})", 0, {}},
      {R"({)", -1, {}},
      {"", -1, {}},
      {"[1]", -1, {}},
      {"5", -1, {}},
      {R"("006201")", -1, {}},
      {"null", -1, {}},
      {R"({"signal_id":{},"SetValue":"1"})", -1, {}},
      {R"({"signal_id":["006201"],"SetValue":"1"})", -1, {}},
      {R"({"signal_id":"006201","SetValue":{"v":"1"}})", -1, {}},
      {R"({"signal_id":"006201","SetValue":["1"]})", -1, {}},
      {std::string(5000, '['), -1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json.substr(0, 80));
    ControlledDevice cd;
    cd.device.control_result_ = 1;
    const Outcome outcome = request(cd.device, 310, c.json);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(cd.device.poll_state_, 310);
    EXPECT_EQ(cd.device.control_result_, -1);
    EXPECT_EQ(outcome.out_written, kWrittenSentinel);
    EXPECT_TRUE(untouched(outcome.out));
    std::vector<SentCommand> sent;
    if (!c.info.empty()) sent.push_back({0x42, 0x48, c.info});
    EXPECT_EQ(cd.host.sent, sent);
    ASSERT_FALSE(cd.host.calls.empty());
    EXPECT_EQ(cd.host.calls.front(), "open_port");
  }
}

TEST(ControlRequest, RectifierSwitchBetweenRounds) {
  struct Case {
    std::string id;
    int in_len;  // -2: the identifier's length
    Info info;   // empty: nothing sent
  };
  const std::vector<Case> cases = {
      {"419500201001", -2, {0xE5, 0x01}},
      {"419500201002", -2, {0xE5, 0x02}},
      {"419500201003", -2, {0xE5, 0x03}},
      {"419500200001", -2, {0xE6, 0x01}},
      {"419500200002", -2, {0xE6, 0x02}},
      {"419500200003", -2, {0xE6, 0x03}},
      {"419500600001", -2, {0x1F, 0x02}},
      {"419500601001", -2, {0x10, 0x02}},
      {"419500602001", -2, {0x11, 0x02}},
      {std::string("419500201001\0", 13), -2, {}},  // terminator counted
      {"419500201001X", 12, {0xE5, 0x01}},          // no terminator needed
      {"41950020100", -2, {}},
      {"419500201004", -2, {}},
      {"", -2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ControlledDevice cd;
    cd.device.control_result_ = 1;
    const int in_len = c.in_len == -2 ? static_cast<int>(c.id.size()) : c.in_len;
    const Outcome outcome = request(cd.device, 320, c.id, in_len, 4);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(cd.device.wait_time_, 320);
    EXPECT_EQ(cd.device.poll_state_, 10);
    EXPECT_EQ(cd.device.control_result_, -1);
    EXPECT_EQ(outcome.out_written, kWrittenSentinel);
    EXPECT_TRUE(untouched(outcome.out));
    std::vector<SentCommand> sent;
    if (!c.info.empty()) sent.push_back({0x41, 0x45, c.info});
    EXPECT_EQ(cd.host.sent, sent);
  }
}

TEST(ControlRequest, UnreadableInputIsRefused) {
  struct Case {
    int code;
    bool null_in;
    int in_len;
  };
  const std::vector<Case> cases = {
      {300, true, 7},
      {310, true, 5},
      {320, true, 12},
      {300, false, -1},
      {310, false, -1},
      {320, false, -12},
      {320, false, -2147483647 - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + " " + std::to_string(c.in_len));
    ControlledDevice cd;
    const Outcome outcome =
        request(cd.device, c.code, "419500201001", c.in_len, 4, c.null_in, false);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_TRUE(cd.host.sent.empty());
    EXPECT_EQ(cd.device.control_result_, -1);
    EXPECT_EQ(outcome.out_written, kWrittenSentinel);
  }
}

TEST(ControlRequest, OtherCodesReadBackTheLastOutcome) {
  struct Case {
    int code;
    int control_result;
    int out_len;
    bool null_out;
    int out_written;  // 4: out holds control_result
  };
  const std::vector<Case> cases = {
      {0, 1, 4, false, 4},   {1, -1, 4, false, 4}, {311, 1, 4, false, 4}, {-1, 1, 8, false, 4},
      {299, 1, 3, false, 0}, {0, 1, 0, false, 0},  {0, 1, -4, false, 0},  {0, 1, 4, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + " out_len " + std::to_string(c.out_len));
    ControlledDevice cd;
    cd.device.control_result_ = c.control_result;
    cd.device.poll_state_ = 4;
    const Outcome outcome = request(cd.device, c.code, "x", 1, c.out_len, false, c.null_out);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out_written, c.out_written);
    if (c.out_written == 4) {
      EXPECT_EQ(int_at_start(outcome.out), c.control_result);
      EXPECT_TRUE(untouched({outcome.out.begin() + 4, outcome.out.end()}));
    } else {
      EXPECT_TRUE(untouched(outcome.out));
    }
    EXPECT_EQ(cd.device.control_result_, c.control_result);
    EXPECT_EQ(cd.device.poll_state_, 4);
    EXPECT_EQ(cd.device.wait_time_, 0);
    EXPECT_TRUE(cd.host.calls.empty());
  }
}

// While a poll command is in flight, a command is held; the request answers at once.
TEST(ControlRequest, CommandsDuringARoundAreHeldUntilItEnds) {
  struct Case {
    int code;
    std::string in;
    SentCommand command;
    int poll_state_when_sent;  // 0: the round's state is kept
  };
  const std::vector<Case> cases = {
      {300, kRectifierBytes, {0x41, 0x4E, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}}, 300},
      {310,
       R"({"signal_id":"006201","SetValue":"53.5"})",
       {0x42, 0x48, {0xDC, 0x00, 0x00, 0x56, 0x42}},
       310},
      {320, "419500600001", {0x41, 0x45, {0x1F, 0x02}}, 0},
  };
  for (const Case& c : cases) {
    for (int state : {0, 1, 2, 4, 5, 6, 7, 8}) {
      SCOPED_TRACE(std::to_string(c.code) + " in state " + std::to_string(state));
      ControlledDevice cd;
      cd.device.poll_state_ = state;
      cd.device.control_result_ = 1;
      const Outcome outcome = request(cd.device, c.code, c.in);
      EXPECT_EQ(outcome.result, 0);
      if (c.code == 300) {
        EXPECT_EQ(outcome.out_written, 4);
        EXPECT_EQ(int_at_start(outcome.out), 1);
      }
      EXPECT_EQ(cd.device.control_result_, -1);
      EXPECT_EQ(cd.device.poll_state_, state);
      EXPECT_EQ(cd.device.wait_time_, 0);
      EXPECT_EQ(cd.host.calls, std::vector<std::string>{"open_port"});

      cd.device.poll_state_ = 10;  // the round ended
      cd.device.send_held_control();
      EXPECT_EQ(cd.host.sent, std::vector<SentCommand>{c.command});
      EXPECT_EQ(cd.device.poll_state_, c.poll_state_when_sent ? c.poll_state_when_sent : 10);
      EXPECT_EQ(cd.device.wait_time_, c.code == 320 ? 320 : 0);
      EXPECT_EQ(cd.device.control_result_, -1);

      cd.device.send_held_control();
      EXPECT_EQ(cd.host.sent.size(), 1u) << "a held command is sent once";
    }
  }
}

TEST(ControlRequest, RequestsThatSendNothingLeaveARoundUndisturbed) {
  struct Case {
    int code;
    std::string in;
    int result;
  };
  const std::vector<Case> cases = {
      {300, "\x01\x02\x03\x04\x05\x06", -1},
      {310, "{", -1},
      {310, R"({"signal_id":"006203","SetValue":"1"})", 0},
      {310, R"({"signal_id":"006201"})", 0},
      {320, "419500201004", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + " " + c.in);
    ControlledDevice cd;
    cd.device.poll_state_ = 7;
    cd.device.wait_time_ = 10;
    EXPECT_EQ(request(cd.device, c.code, c.in).result, c.result);
    EXPECT_EQ(cd.device.poll_state_, 7);
    EXPECT_EQ(cd.device.wait_time_, 10);
    EXPECT_EQ(cd.device.control_result_, -1);
    EXPECT_TRUE(cd.host.sent.empty());
    cd.device.send_held_control();
    EXPECT_TRUE(cd.host.sent.empty());
    EXPECT_EQ(cd.device.poll_state_, 7);
  }
}

TEST(ControlRequest, TheLatestHeldCommandIsSent) {
  ControlledDevice cd;
  cd.device.poll_state_ = 5;
  ASSERT_EQ(request(cd.device, 320, "419500201001").result, 0);
  ASSERT_EQ(request(cd.device, 300, kRectifierBytes).result, 0);
  ASSERT_EQ(request(cd.device, 320, "unknown").result, 0);  // sends nothing, holds nothing
  cd.device.poll_state_ = 10;
  cd.device.send_held_control();
  EXPECT_EQ(cd.host.sent,
            (std::vector<SentCommand>{{0x41, 0x4E, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}}}));
  EXPECT_EQ(cd.device.poll_state_, 300);
}

}  // namespace
