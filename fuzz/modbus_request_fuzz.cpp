// A Modbus TCP byte stream framed as a session frames it, each request answered from the image
// of unit 1 without a record. Traps when an answer does not echo the transaction and unit, its
// length field disagrees with its size, it is longer than an ADU may be, or an exception carries
// a code the server never sends.
#include <cstdint>
#include <cstring>
#include <memory>

#include "modbus/modbus_request.h"

namespace {

void check(bool holds) {
  if (!holds) __builtin_trap();
}

std::optional<kelvra::modbus::DeviceImage> image_of(std::uint8_t unit) {
  static const kelvra::modbus::DeviceImage image =
      kelvra::modbus::device_image(kelvra::station::StationSnapshot{});
  if (unit != 1) return std::nullopt;
  return image;
}

void check_answer(const std::uint8_t* request, const std::vector<std::uint8_t>& answer) {
  check(answer.size() >= 9 && answer.size() <= 260);
  check(std::memcmp(answer.data(), request, 4) == 0 && answer[6] == request[6]);
  check(((answer[4] << 8) | answer[5]) == static_cast<int>(answer.size() - 6));
  if ((answer[7] & 0x80) == 0) return;
  check(answer.size() == 9);
  check(answer[8] == 0x01 || answer[8] == 0x02 || answer[8] == 0x03 || answer[8] == 0x0A);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  while (size - at >= kelvra::modbus::kHeaderSize) {
    const auto request_size = kelvra::modbus::request_size(data + at);
    if (!request_size || size - at < *request_size) break;  // closed, or waiting for the rest
    check(*request_size <= kelvra::modbus::kMaxRequestSize);
    std::unique_ptr<std::uint8_t[]> request(new std::uint8_t[*request_size]);
    std::memcpy(request.get(), data + at, *request_size);
    check_answer(request.get(),
                 kelvra::modbus::answer_request(request.get(), *request_size, image_of));
    at += *request_size;
  }
  return 0;
}
