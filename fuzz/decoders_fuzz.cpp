// One response decoder on arbitrary INFO bytes. Byte 0 picks the decoder (value % 10) and the DC
// current factor ((value / 10) % 3 - 1); the rest is the INFO, handed over in a heap buffer of
// exactly its size with len equal to that size. Traps when a result is neither -1 nor within len,
// or when a record byte outside the decoder's own fields changes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "device/kelvra_419.h"

namespace {

using Record = kelvra_419_Data_t;
using Decoder = int (kelvra_419::*)(const unsigned char*, int);
using Writable = std::array<bool, sizeof(Record)>;

constexpr std::uint8_t kGuard = 0xA5;

void allow(Writable& writable, std::size_t offset, std::size_t size) {
  for (std::size_t i = offset; i < offset + size; ++i) writable[i] = true;
}

// Fields from first up to (not including) end, in every entry of an array of stride bytes.
void allow_each(Writable& writable, std::size_t base, std::size_t count, std::size_t stride,
                std::size_t first, std::size_t end) {
  for (std::size_t i = 0; i < count; ++i) allow(writable, base + i * stride + first, end - first);
}

constexpr std::size_t kAcChannels = offsetof(Record, ac.channel);
constexpr std::size_t kModules = offsetof(Record, rc.channel);
constexpr std::size_t kAcStride = sizeof(kelvra_419_ac_channel);
constexpr std::size_t kModuleStride = sizeof(kelvra_419_rc_channel);
constexpr std::size_t kAcRoom = Record::AC_CHANNEL_ROOM;
constexpr std::size_t kModuleRoom = Record::RC_CHANNEL_ROOM;

struct Target {
  Decoder decoder;
  Writable writable;
};

std::array<Target, 10> make_targets() {
  using Ac = kelvra_419_ac_channel;
  using Rc = kelvra_419_rc_channel;
  using Dc = kelvra_419_dc;
  std::array<Target, 10> t{};
  t[0].decoder = &kelvra_419::parse40_41;
  allow(t[0].writable, offsetof(Record, ac.extra), sizeof(Record::ac_t::extra));
  allow(t[0].writable, offsetof(Record, ac.channel_count), 1);
  allow_each(t[0].writable, kAcChannels, kAcRoom, kAcStride, offsetof(Ac, a),
             offsetof(Ac, a_state));
  t[1].decoder = &kelvra_419::parse40_43;
  allow(t[1].writable, offsetof(Record, ac.airlock_count),
        offsetof(Record, ac.extra_state) - offsetof(Record, ac.airlock_count));
  t[2].decoder = &kelvra_419::parse40_44;
  allow(t[2].writable, offsetof(Record, ac.extra_state), sizeof(Record::ac_t::extra_state));
  allow_each(t[2].writable, kAcChannels, kAcRoom, kAcStride, offsetof(Ac, a_state), sizeof(Ac));
  t[3].decoder = &kelvra_419::parse41_41;
  allow(t[3].writable, offsetof(Record, rc.group_value),
        kModules - offsetof(Record, rc.group_value));
  allow_each(t[3].writable, kModules, kModuleRoom, kModuleStride, offsetof(Rc, value),
             offsetof(Rc, switch_state));
  t[4].decoder = &kelvra_419::parse41_43;
  allow_each(t[4].writable, kModules, kModuleRoom, kModuleStride, offsetof(Rc, switch_state),
             offsetof(Rc, alarm_state));
  t[5].decoder = &kelvra_419::parse41_44;
  allow_each(t[5].writable, kModules, kModuleRoom, kModuleStride, offsetof(Rc, alarm_state),
             sizeof(Rc));
  const Decoder dc_decoders[] = {&kelvra_419::parse42_41, &kelvra_419::parse42_41_2,
                                 &kelvra_419::parse42_44, &kelvra_419::parse42_44_2};
  const std::size_t dc_units[] = {offsetof(Record, dc), offsetof(Record, dc2)};
  for (std::size_t i = 0; i < 4; ++i) {
    Target& target = t[6 + i];
    target.decoder = dc_decoders[i];
    const bool alarm = i >= 2;
    const std::size_t first = alarm ? offsetof(Dc, out_v_state) : offsetof(Dc, out_v);
    const std::size_t end = alarm ? sizeof(Dc) : offsetof(Dc, out_v_state);
    allow(target.writable, dc_units[i % 2] + first, end - first);
  }
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::array<Target, 10> targets = make_targets();
  static kelvra_419* const device = [] {
    // The decoders' diagnostic lines would dominate the run time.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) __builtin_trap();
    return new kelvra_419;
  }();
  if (size == 0) return 0;

  const Target& target = targets[data[0] % 10];
  device->dc_i_adjust_ = (data[0] / 10) % 3 - 1;
  const std::size_t len = size - 1;
  std::unique_ptr<std::uint8_t[]> info(new std::uint8_t[len]);
  if (len != 0) std::memcpy(info.get(), data + 1, len);

  std::memset(&device->data_, kGuard, sizeof device->data_);
  // The rectifier switch and alarm decoders walk the analog module count; take it from the
  // response's own module count byte, which they do not read.
  if (len >= 2) device->data_.rc.channel_count = info[1];
  Record before;
  std::memcpy(&before, &device->data_, sizeof before);

  const int result = ((*device).*target.decoder)(info.get(), static_cast<int>(len));
  if (result != -1 && (result < 0 || static_cast<std::size_t>(result) > len)) __builtin_trap();

  const auto* old_bytes = reinterpret_cast<const std::uint8_t*>(&before);
  const auto* new_bytes = reinterpret_cast<const std::uint8_t*>(&device->data_);
  for (std::size_t i = 0; i < sizeof(Record); ++i) {
    if (!target.writable[i] && old_bytes[i] != new_bytes[i]) __builtin_trap();
  }
  return 0;
}
