// Fixed workloads over one representative power system, shared by the micro-benchmarks, the
// instruction-count driver and the allocation test so that all three measure the same calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device/kelvra_419.h"
#include "sim/equipment.h"

namespace kelvra::bench {

// The representative system: two AC inputs, ten rectifier modules, two DC units.
constexpr int kAcInputs = 2;
constexpr int kRectifierModules = 10;
constexpr int kDcUnits = 2;

// Decoded responses (the layout process() receives), indexed by the poll state they answer.
using Response = std::vector<std::uint8_t>;
using PollResponses = std::array<Response, kelvra_419::kDcAlarm + 1>;

// Every poll response of the representative system, each INFO starting with dataflag.
PollResponses representative_responses(sim::DcFormat format, std::uint8_t dataflag);

using DecoderMember = int (kelvra_419::*)(const unsigned char*, int);

// One decoder call as the poll cycle makes it: the decoder and the INFO part it is handed.
struct DecoderCall {
  std::string name;
  DecoderMember decoder;
  const unsigned char* info;
  int len;
  // What the decoder consumes: all of len, or the first unit's half when two identical DC units
  // share it.
  int unit_len;
};

// The ten decoders on the representative responses; the DC decoders once per DC format, the
// second-unit decoders on the bytes behind the first unit.
class DecoderCalls {
 public:
  DecoderCalls();
  const std::vector<DecoderCall>& calls() const { return calls_; }
  // Runs every call once, leaving the record as a round does: the rectifier switch and alarm
  // decoders walk the module count that the analog decoder stored.
  void decode_all(kelvra_419& device) const;

 private:
  PollResponses single_unit_;
  PollResponses counted_;
  std::vector<DecoderCall> calls_;
};

int run_decoder(kelvra_419& device, const DecoderCall& call);

// Which optional commands a steady-state round carries.
enum class RoundKind {
  kFull,   // every DATAFLAG set: all eight commands
  kQuiet,  // every DATAFLAG clear: 0x40/0x41, 0x41/0x41, 0x42/0x41 only
};

// A device configured with AC and DC units, the threshold rules (mode 2) and a level for every
// rule, attached to the do-nothing host layer, and brought to steady state by one whole round.
class SteadyStateDevice {
 public:
  SteadyStateDevice(sim::DcFormat format, RoundKind kind);

  // RefreshStatus and every response up to the end of the round; returns the responses handed.
  int run_round();
  // One round of rules as round completion runs them.
  void run_rules();
  float query_value(const std::string& key) const;
  // A set-value control request (code 310) for the DC float voltage; returns its result.
  int set_dc_value();

  kelvra_419& device() { return device_; }

 private:
  kelvra_419 device_;
  PollResponses responses_;
};

}  // namespace kelvra::bench
