// Control requests of arbitrary codes, in bytes and in/out lengths, interleaved with arbitrary
// responses, round starts and value queries. Every buffer is a heap buffer of exactly its stated
// size. Traps when a request disturbs a round in flight, writes beyond its out buffer or leaves
// the control outcome at a value other than -1 or 1.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "device/kelvra_419.h"
#include "fuzz/fuzz_input.h"

namespace {

void check(bool holds) {
  if (!holds) __builtin_trap();
}

bool poll_command_in_flight(const kelvra_419& device) {
  return device.poll_state_ >= 0 && device.poll_state_ <= 8;
}

void control_request(kelvra_419& device, FuzzInput& in) {
  const std::uint8_t selector = in.u8();
  int code;
  switch (selector % 5) {
    case 0:
      code = 300;
      break;
    case 1:
      code = 310;
      break;
    case 2:
      code = 320;
      break;
    case 3:
      code = selector / 5;
      break;
    default:
      code = in.i32();
      break;
  }
  const std::uint8_t flags = in.u8();
  std::size_t in_size = in.u8();
  if (flags & 0x08) in_size += in.u8();
  const auto in_bytes = in.take(in_size);
  int in_len = static_cast<int>(in_size);
  if (flags & 0x01) in_len = -in_len - 1;
  const void* in_ptr = (flags & 0x02) ? nullptr : in_bytes.get();
  const int out_len = static_cast<std::int8_t>(in.u8());
  const std::size_t out_size = out_len > 0 ? static_cast<std::size_t>(out_len) : 0;
  std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[out_size]);
  void* out_ptr = (flags & 0x04) ? nullptr : out.get();

  const bool in_round = poll_command_in_flight(device);
  const int state_before = device.poll_state_;
  const int wait_before = device.wait_time_;
  const std::uint64_t sent_before = device.commands_sent_;
  int written = -7;
  const int result = device.DeviceIoControl(code, in_ptr, in_len, out_ptr, out_len, written);

  check(result == 0 || result == -1);
  check(device.control_result_ == -1 || device.control_result_ == 1);
  check(written == -7 || written == 0 || (written == 4 && out_ptr != nullptr && out_len >= 4));
  if (in_round) {
    check(device.poll_state_ == state_before);
    check(device.wait_time_ == wait_before);
    check(device.commands_sent_ == sent_before);
  }
}

void run(FuzzInput& in) {
  kelvra_419 device;
  const std::uint8_t config = in.u8();
  device.has_ac_ = config & 0x01;
  device.has_dc_ = config & 0x02;
  device.protocol_ver_ = (config & 0x04) ? 0x21 : 0x20;
  device.b_mode_ = (config >> 3) & 0x03;

  while (!in.done()) {
    switch (in.u8() % 5) {
      case 0:
      case 1:
        control_request(device, in);
        break;
      case 2: {  // a response of arbitrary bytes
        std::size_t len = in.u8();
        if (len & 0x80) len += in.u8();
        const auto response = in.take(len);
        device.process(response.get(), static_cast<unsigned>(len));
        break;
      }
      case 3:  // a round start, allowed by the clock
        device.last_round_time_ = boost::posix_time::ptime(boost::gregorian::date(1970, 1, 1));
        device.RefreshStatus();
        break;
      default: {
        const char* const keys[] = {"out_v", "ac", "", "x"};
        try {
          device.Get_Value(0, keys[in.u8() % 4]);
        } catch (const std::out_of_range&) {
        }
        break;
      }
    }
  }
}

bool silence_stdout() {
  return std::freopen("/dev/null", "w", stdout) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool silenced = silence_stdout();
  (void)silenced;
  FuzzInput in(data, size);
  run(in);
  return 0;
}
