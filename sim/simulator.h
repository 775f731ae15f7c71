// The equipment on the line: decodes commands, answers them with pacing and faults,
// and plays the scenario timeline. Independent of the terminal it is served on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame-codec/frame_codec.h"
#include "hostkit/bounds.h"
#include "sim/equipment.h"
#include "sim/faults.h"
#include "sim/responder.h"
#include "sim/scenario.h"

namespace kelvra::sim {

// Bounds of the simulator's options, shared by both programs' command lines.
inline constexpr kelvra::hostkit::Bounds kTurnaroundMsBounds{0, 10000};
inline constexpr kelvra::hostkit::Bounds kLateDelayMsBounds{0, 600000};
inline constexpr kelvra::hostkit::Bounds kFaultSeedBounds{0, 0x7FFFFFFF};

struct Pacing {
  bool enabled = true;
  unsigned baud = 9600;                     // 10 bits a byte on the line
  std::chrono::milliseconds turnaround{5};  // the equipment's think time
  // On a pseudo-terminal the command arrives at once, so its line time is added too.
  bool count_command_bytes = true;
};

struct SimulatorConfig {
  Scenario scenario;  // equipment shape, initial values, timeline, faults
  ResponderSettings responder;
  Pacing pacing;
  std::uint32_t seed = 1;
  std::chrono::milliseconds late_delay{3000};
};

using LogSink = std::function<void(const std::string&)>;

// Bytes to write once `delay` has passed since the command was complete.
struct TimedAnswer {
  std::string bytes;
  std::chrono::microseconds delay{0};
};

class Simulator {
 public:
  Simulator(const SimulatorConfig& config, LogSink log);

  // Takes received bytes; returns the answers they call for, in order.
  std::vector<TimedAnswer> receive(const std::uint8_t* data, std::size_t size);
  // Applies the timeline events due at `elapsed_seconds` since the start.
  void advance(double elapsed_seconds);
  // Call after changing the model from outside so DATAFLAG reports it.
  void note_changes() { responder_.note_changes(); }

  Equipment& equipment() { return equipment_; }
  FaultInjector& faults() { return faults_; }
  std::uint64_t commands_answered() const { return commands_answered_; }

 private:
  void on_command(const frame::Frame& command);
  void on_bad_input(frame::DecodeError error, const frame::Frame* header);
  void send(const frame::Frame& answer, const std::string& command_wire, bool allow_faults);
  void log(const std::string& line) const;

  Equipment equipment_;
  Responder responder_;
  FaultInjector faults_;
  ScenarioPlayer player_;
  Pacing pacing_;
  LogSink log_;
  double elapsed_seconds_ = 0;
  std::uint64_t commands_answered_ = 0;
  std::vector<TimedAnswer> pending_;
  frame::Decoder decoder_;
};

}  // namespace kelvra::sim
