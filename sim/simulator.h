// The equipment on the line: decodes commands, answers them with pacing and faults,
// and plays the scenario timeline. Independent of the terminal it is served on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frame-codec/frame_codec.h"
#include "frame-codec/frame_trace.h"
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
  // Further devices on the same line, each with its own address and VER; every device plays the
  // same scenario on an equipment model of its own.
  std::vector<ResponderSettings> more_devices;
  Pacing pacing;
  std::uint32_t seed = 1;
  std::chrono::milliseconds late_delay{3000};
  // Where every frame read and written is traced; not owned, null for none.
  frame::FrameTrace* trace = nullptr;
};

// The address list and VER list of a line with several devices ("3,17" and "0x20,0x21"); VERs
// pair with addresses by position, one VER applies to all. Throws hostkit::InputError naming
// the problem: a bad number, an address twice, more VERs than addresses.
std::vector<ResponderSettings> parse_devices(const std::string& addresses, const std::string& vers);

using LogSink = std::function<void(const std::string&)>;

// Bytes to write once `delay` has passed since the command was complete.
struct TimedAnswer {
  std::string bytes;
  std::chrono::microseconds delay{0};
  frame::Frame answer;  // what the bytes carry, for the trace
};

class Simulator {
 public:
  Simulator(const SimulatorConfig& config, LogSink log);

  // Takes received bytes; returns the answers they call for, in order.
  std::vector<TimedAnswer> receive(const std::uint8_t* data, std::size_t size);
  // Applies the timeline events due at `elapsed_seconds` since the start.
  void advance(double elapsed_seconds);
  // Call after changing the model from outside so DATAFLAG reports it.
  void note_changes();

  // The first device's model.
  Equipment& equipment() { return devices_.front()->equipment; }
  FaultInjector& faults() { return faults_; }
  std::uint64_t commands_answered() const { return commands_answered_; }

 private:
  void on_command(const frame::Frame& command);
  void on_bad_input(frame::DecodeError error, const frame::Frame* header);
  void send(const frame::Frame& answer, const std::string& command_wire, bool allow_faults);
  // The device at `address`, null when none answers there.
  Responder* responder_at(std::uint8_t address);
  void log(const std::string& line) const;

  struct Device {
    Device(const Scenario& scenario, const ResponderSettings& settings);
    Equipment equipment;
    Responder responder;
  };

  std::vector<std::unique_ptr<Device>> devices_;
  FaultInjector faults_;
  ScenarioPlayer player_;
  Pacing pacing_;
  LogSink log_;
  double elapsed_seconds_ = 0;
  std::uint64_t commands_answered_ = 0;
  std::vector<TimedAnswer> pending_;
  frame::FrameTrace* trace_;
  frame::Decoder decoder_;
};

}  // namespace kelvra::sim
