// A device configured by arbitrary settings, then driven by an arbitrary sequence of responses
// (length fields included), round starts, clock shifts, control requests, value queries and cache
// loads. Each response and request is handed over in a heap buffer of exactly its size.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include <json/reader.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "device/kelvra_419.h"
#include "fuzz/fuzz_input.h"

namespace {

const int kControlCodes[] = {300, 310, 320, 0};
const char* const kQueryKeys[] = {"out_v", "ac", "", "dc"};

void run(FuzzInput& in) {
  kelvra_419 device;
  device.data_id_ = 0x01020304;

  std::size_t settings_len = in.u8();
  const auto settings_text = in.take(settings_len);
  Json::Value settings;
  const char* text = reinterpret_cast<const char*>(settings_text.get());
  Json::Reader().parse(text, text + settings_len, settings, false);
  device.InitSetting(settings);

  while (!in.done()) {
    switch (in.u8() % 6) {
      case 0: {  // a response of arbitrary bytes
        std::size_t len = in.u16() % 512;
        const auto response = in.take(len);
        device.process(response.get(), static_cast<unsigned>(len));
        break;
      }
      case 1:
        device.RefreshStatus();
        break;
      case 2:  // the clock moves relative to the last round, by up to a day either way
        device.last_round_time_ -=
            boost::posix_time::seconds(static_cast<std::int16_t>(in.u16()) * 3);
        break;
      case 3: {  // a control request with arbitrary code and bytes
        const std::uint8_t pick = in.u8();
        const int code = pick < 192 ? kControlCodes[pick % 4] : static_cast<int>(in.u16()) - 1000;
        std::size_t len = in.u8();
        const auto request = in.take(len);
        const int out_len = in.u8() % 64;
        std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[out_len]);
        int written = 0;
        device.DeviceIoControl(code, request.get(), static_cast<int>(len), out.get(), out_len,
                               written);
        break;
      }
      case 4: {
        const std::uint8_t pick = in.u8();
        try {
          device.Get_Value(pick >> 2, kQueryKeys[pick % 4]);
        } catch (const std::out_of_range&) {
        }
        break;
      }
      default: {  // a cached record, accepted only at its exact size
        std::size_t len = in.u8() < 128 ? 763 : in.u16() % 1024;
        const auto cache = in.take(len);
        device.LoadFromCache(cache.get(), static_cast<int>(len));
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The device's diagnostic lines would drown the fuzzer's own output.
  static const bool silenced = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)silenced;
  FuzzInput in(data, size);
  run(in);
  return 0;
}
