// Line faults injected into the simulator's answers on demand.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "frame-codec/frame_codec.h"

namespace kelvra::sim {

enum class FaultKind : std::uint8_t {
  kNoAnswer,
  kBadChecksum,
  kBadLengthChecksum,
  kGarbageBeforeSoi,
  kCutShort,
  kLate,
  kWrongAddress,
  kRtnChecksumError,
  kEcho,
  kBadData,  // one INFO digit changed, the checksum left as it was
};
constexpr std::size_t kFaultKinds = 10;

// Names as written in --fault KIND:RATE and in scenario files.
const char* fault_name(FaultKind kind);
std::optional<FaultKind> parse_fault_name(std::string_view name);
// All names, comma-separated, for help and error texts.
std::string fault_names();

// What goes back on the line for one command.
struct WireAnswer {
  std::string bytes;  // empty: nothing is sent
  std::chrono::milliseconds extra_delay{0};
};

class FaultInjector {
 public:
  explicit FaultInjector(std::uint32_t seed = 1) : rng_(seed) {}

  // Chance per answer, 0 to 1.
  void set_rate(FaultKind kind, double rate) { rates_[index(kind)] = rate; }
  double rate(FaultKind kind) const { return rates_[index(kind)]; }
  void clear() { rates_.fill(0.0); }
  // Delay of a kLate answer; longer than the host's response timeout.
  void set_late_delay(std::chrono::milliseconds delay) { late_delay_ = delay; }

  // Picks at most one fault for the next answer and counts it.
  std::optional<FaultKind> draw();
  // The wire bytes for `answer` to `command_wire` with `fault` applied.
  WireAnswer shape(const frame::Frame& answer, std::string_view command_wire,
                   std::optional<FaultKind> fault) const;

  std::uint64_t count(FaultKind kind) const { return counts_[index(kind)]; }

 private:
  static std::size_t index(FaultKind kind) { return static_cast<std::size_t>(kind); }

  std::array<double, kFaultKinds> rates_{};
  std::array<std::uint64_t, kFaultKinds> counts_{};
  std::chrono::milliseconds late_delay_{3000};
  std::mt19937 rng_;
};

}  // namespace kelvra::sim
