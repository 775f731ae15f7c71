// The bench host's built-in simulator: a simulated power system on a pseudo-terminal for every
// device whose settings name no port.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "run/bench_run.h"
#include "sim/scenario.h"
#include "station/console.h"

namespace kelvra::sim {
class SimulatorServer;
}

namespace kelvra::app {

struct BuiltinSimulatorOptions {
  std::string scenario = "normal";  // built-in name or scenario file
  bool pace = true;
  std::chrono::milliseconds turnaround{5};  // think time between a command and its answer
  bool log_everything = false;              // every simulator line, not only its scenario events
  std::string link_prefix;                  // with hangup_rounds: links are PREFIX.ttyN
  // For soak runs: the simulator closes its terminal and opens a new one after every this many
  // rounds of its device; its port is then a link that follows it.
  std::optional<std::uint64_t> hangup_rounds;
};

class BuiltinSimulators : public run::PortProvider {
 public:
  // Throws run::RunConfigError for a scenario that is neither built in nor a readable file.
  BuiltinSimulators(BuiltinSimulatorOptions options, station::Console& console);
  ~BuiltinSimulators() override;

  std::string provide(const station::DeviceSettings& device) override;
  void after_round(const std::string& device_name, std::uint64_t rounds) override;

 private:
  struct Running;

  BuiltinSimulatorOptions options_;
  sim::Scenario scenario_;  // every simulator plays it from its start
  station::Console& console_;
  std::vector<std::unique_ptr<Running>> running_;
};

}  // namespace kelvra::app
