// The frame decoder fed arbitrary bytes in arbitrary chunks: every frame it yields re-encodes to
// characters that were received (up to letter case and the checksum over them) and decodes again
// to the same frame.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "frame-codec/frame_codec.h"

namespace {

constexpr std::size_t kChecksumAndEoi = 5;  // four hex digits and CR

bool same_frame(const kelvra::frame::Frame& a, const kelvra::frame::Frame& b) {
  return a.ver == b.ver && a.address == b.address && a.cid1 == b.cid1 && a.code == b.code &&
         a.info == b.info;
}

std::string upper(const std::uint8_t* data, std::size_t size) {
  std::string out(reinterpret_cast<const char*>(data), size);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // First byte: the expected address (0 accepts all); second: the chunk size seed.
  const std::uint8_t address = data[0];
  const std::size_t chunk = 1 + data[1] % 31;
  const std::uint8_t* stream = data + 2;
  const std::size_t stream_size = size - 2;

  std::vector<kelvra::frame::Frame> frames;
  kelvra::frame::Decoder decoder([&](const kelvra::frame::Frame& f) { frames.push_back(f); });
  decoder.expect_address(address);
  for (std::size_t at = 0; at < stream_size; at += chunk) {
    decoder.feed(stream + at, std::min(chunk, stream_size - at));
  }
  decoder.abandon();

  const std::string received = upper(stream, stream_size);
  for (const auto& frame : frames) {
    if (address != 0 && frame.address != address) __builtin_trap();
    const std::string wire = kelvra::frame::encode(frame);
    // The checksum is over the characters as sent, so lower-case digits give another one.
    const std::string digits = wire.substr(0, wire.size() - kChecksumAndEoi);
    if (received.find(digits) == std::string::npos) __builtin_trap();
    std::vector<kelvra::frame::Frame> again;
    kelvra::frame::Decoder second([&](const kelvra::frame::Frame& f) { again.push_back(f); });
    second.feed(wire);
    if (again.size() != 1 || !same_frame(again[0], frame)) __builtin_trap();
  }
  return 0;
}
