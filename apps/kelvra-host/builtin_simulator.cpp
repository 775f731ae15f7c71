#include "apps/kelvra-host/builtin_simulator.h"

#include "hostkit/bounds.h"

#include "sim/scenario.h"
#include "sim/simulator_server.h"

namespace kelvra::app {
namespace {

sim::Scenario load_scenario(const std::string& name_or_file) {
  if (auto builtin = sim::builtin_scenario(name_or_file)) return *builtin;
  try {
    return sim::load_scenario_file(name_or_file);
  } catch (const sim::ScenarioError& error) {
    std::string names;
    for (const std::string& name : sim::builtin_scenario_names()) names += " " + name;
    throw run::RunConfigError("--scenario " + name_or_file + ": " + error.what() +
                              " (built in:" + names + ")");
  }
}

}  // namespace

struct BuiltinSimulators::Running {
  std::string device_name;
  std::unique_ptr<sim::SimulatorServer> server;
};

BuiltinSimulators::BuiltinSimulators(BuiltinSimulatorOptions options, station::Console& console)
    : options_(std::move(options)),
      scenario_(load_scenario(options_.scenario)),
      console_(console) {}

BuiltinSimulators::~BuiltinSimulators() = default;

std::string BuiltinSimulators::provide(const station::DeviceSettings& device) {
  sim::SimulatorConfig config;
  config.scenario = scenario_;
  config.responder.address = device.address;
  config.responder.ver = device.ver;
  config.pacing.enabled = options_.pace;
  config.pacing.turnaround = options_.turnaround;
  config.pacing.baud = device.serial.baud;
  // Each simulator draws its own faults.
  config.seed = static_cast<std::uint32_t>(1 + running_.size());
  sim::ServerOptions server;
  // A terminal that is closed and opened again gets a new name; the link keeps the port's.
  if (options_.hangup_rounds) {
    server.link_path = options_.link_prefix + ".tty" + std::to_string(running_.size());
  }
  const std::string source = "simulator " + device.name;
  auto simulator = std::make_unique<sim::SimulatorServer>(
      config, server, [this, source](const std::string& line) {
        if (options_.log_everything || line.find("scenario at") != std::string::npos) {
          console_.note(source, line);
        }
      });
  try {
    simulator->start();
  } catch (const std::exception& error) {
    throw run::RunError(std::string("built-in simulator: ") + error.what());
  }
  std::string port = server.link_path.empty() ? simulator->device_path() : server.link_path;
  console_.note(source,
                "scenario " + config.scenario.name + " on " + port + ", VER " +
                    hostkit::bounded_text(config.responder.ver, hostkit::kProtocolVersionBounds) +
                    ", " +
                    (options_.pace ? "paced at " + std::to_string(config.pacing.baud) + " baud"
                                   : "not paced"));
  running_.push_back(std::make_unique<Running>(Running{device.name, std::move(simulator)}));
  return port;
}

void BuiltinSimulators::after_round(const std::string& device_name, std::uint64_t rounds) {
  if (!options_.hangup_rounds || rounds % *options_.hangup_rounds != 0) return;
  for (const auto& running : running_) {
    if (running->device_name != device_name) continue;
    sim::SimulatorServer& simulator = *running->server;
    const std::string source = "simulator " + device_name;
    simulator.stop();
    try {
      simulator.start();
    } catch (const std::exception& error) {
      console_.note(source, std::string("terminal not reopened: ") + error.what());
      return;
    }
    console_.note(source, "terminal closed and opened again as " + simulator.device_path());
  }
}

}  // namespace kelvra::app
