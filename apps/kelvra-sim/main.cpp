// kelvra-sim: a simulated power system answering on a (pseudo-)terminal.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "hostkit/bounds.h"
#include "hostkit/cli.h"
#include "hostkit/input_error.h"
#include "sim/simulator_server.h"

namespace {

using kelvra::hostkit::Bounds;
using kelvra::sim::DcFormat;

// Bounds of the equipment overrides; the scenario file's "equipment" takes the same.
constexpr Bounds kAcInputsBounds{1, 2};
constexpr Bounds kRectifiersBounds{0, 255};
constexpr Bounds kDcUnitsBounds{1, 2};
constexpr Bounds kDcFormatBounds{1, 2};

struct Options {
  kelvra::sim::SimulatorConfig config;
  kelvra::sim::ServerOptions server;
  std::string scenario = "normal";
  // Applied over the scenario once it is loaded.
  std::optional<int> ac_inputs;
  std::optional<int> rectifiers;
  std::optional<int> dc_units;
  std::optional<DcFormat> dc_format;
  std::vector<std::pair<kelvra::sim::FaultKind, double>> faults;
  bool no_pace = false;
};

// "KIND:RATE" with RATE from 0 to 1.
std::pair<kelvra::sim::FaultKind, double> fault_of(const std::string& text) {
  const auto colon = text.find(':');
  const auto kind = kelvra::sim::parse_fault_name(text.substr(0, colon));
  if (colon == std::string::npos || !kind) {
    throw kelvra::hostkit::InputError("--fault: expected KIND:RATE with KIND one of " +
                                      kelvra::sim::fault_names() + ", got \"" + text + "\"");
  }
  char* end = nullptr;
  const double rate = std::strtod(text.c_str() + colon + 1, &end);
  if (*end != '\0' || end == text.c_str() + colon + 1 || !(rate >= 0 && rate <= 1)) {
    throw kelvra::hostkit::InputError("--fault " + text + ": RATE must be a number from 0 to 1");
  }
  return {*kind, rate};
}

std::string help_footer() {
  std::string scenarios;
  for (const auto& name : kelvra::sim::builtin_scenario_names()) scenarios += " " + name;
  return "Built-in scenarios:" + scenarios + "\nFault kinds: " + kelvra::sim::fault_names() +
         "\n\n"
         "Scenario JSON: {\"equipment\": {\"ac_inputs\", \"rectifiers\", \"dc_units\", "
         "\"dc_format\"},\n"
         "  \"initial\": {FIELD: value}, \"timeline\": [{\"at\": seconds, \"note\": text, "
         "\"set\": {FIELD: value}}],\n"
         "  \"faults\": {KIND: rate}}. FIELD is UNIT.NAME; N is a 1-based index or *:\n" +
         kelvra::sim::field_reference() +
         "Alarm bytes take numbers or texts such as \"0xE0\"; AC and DC user readings take null "
         "for a missing value.";
}

void add_options(CLI::App& app, Options& options) {
  kelvra::sim::SimulatorConfig& config = options.config;
  app.add_option("--scenario", options.scenario, "built-in scenario or JSON file")
      ->type_name("NAME|FILE")
      ->capture_default_str();
  app.add_option("--port", options.server.serial_port,
                 "serve this serial device instead of a pseudo-terminal")
      ->type_name("DEVICE");
  app.add_option("--link", options.server.link_path,
                 "also make a symlink to the host's end at PATH")
      ->type_name("PATH");
  kelvra::hostkit::add_bounded(
      app, "--address", kelvra::hostkit::kDeviceAddressBounds,
      [&config](std::int64_t address) {
        config.responder.address = static_cast<std::uint8_t>(address);
      },
      "device address (default 1)");
  kelvra::hostkit::add_bounded(
      app, "--ver", kelvra::hostkit::kProtocolVersionBounds,
      [&config](std::int64_t ver) { config.responder.ver = static_cast<std::uint8_t>(ver); },
      "protocol version (default 0x20)");
  kelvra::hostkit::add_serial_rate(app, "--baud", config.pacing.baud,
                                   "line rate for pacing and --port (default 9600)");
  app.add_flag("--no-pace", options.no_pace, "answer at once");
  kelvra::hostkit::add_bounded(
      app, "--turnaround", kelvra::sim::kTurnaroundMsBounds,
      [&config](std::int64_t ms) { config.pacing.turnaround = std::chrono::milliseconds(ms); },
      "think time in milliseconds added to each paced answer (default 5)");
  const auto store_int = [](std::optional<int>& target) {
    return [&target](std::int64_t count) { target = static_cast<int>(count); };
  };
  kelvra::hostkit::add_bounded(app, "--ac-inputs", kAcInputsBounds, store_int(options.ac_inputs),
                               "AC inputs (overrides the scenario)");
  kelvra::hostkit::add_bounded(app, "--rectifiers", kRectifiersBounds,
                               store_int(options.rectifiers),
                               "rectifier modules (overrides the scenario)");
  kelvra::hostkit::add_bounded(app, "--dc-units", kDcUnitsBounds, store_int(options.dc_units),
                               "DC units (overrides the scenario)");
  kelvra::hostkit::add_bounded(
      app, "--dc-format", kDcFormatBounds,
      [&options](std::int64_t format) { options.dc_format = static_cast<DcFormat>(format); },
      "1: one unit block; 2: unit count then blocks (default 2)");
  app.add_option_function<std::vector<std::string>>(
         "--fault",
         [&options](const std::vector<std::string>& faults) {
           for (const std::string& fault : faults) options.faults.push_back(fault_of(fault));
         },
         "inject a fault into RATE (0..1) of the answers; repeatable")
      ->type_name("KIND:RATE")
      ->allow_extra_args(false);
  kelvra::hostkit::add_bounded(
      app, "--late-ms", kelvra::sim::kLateDelayMsBounds,
      [&config](std::int64_t ms) { config.late_delay = std::chrono::milliseconds(ms); },
      "delay of a 'late' answer in milliseconds (default 3000)");
  kelvra::hostkit::add_bounded(
      app, "--seed", kelvra::sim::kFaultSeedBounds,
      [&config](std::int64_t seed) { config.seed = static_cast<std::uint32_t>(seed); },
      "fault random seed (default 1)");
}

// The scenario with the command line's overrides.
kelvra::sim::Scenario scenario_of(const Options& options) {
  kelvra::sim::Scenario scenario;
  if (auto builtin = kelvra::sim::builtin_scenario(options.scenario)) {
    scenario = *builtin;
  } else {
    scenario = kelvra::sim::load_scenario_file(options.scenario);
  }
  if (options.ac_inputs) scenario.shape.ac_inputs = *options.ac_inputs;
  if (options.rectifiers) scenario.shape.rectifiers = *options.rectifiers;
  if (options.dc_units) scenario.shape.dc_units = *options.dc_units;
  if (options.dc_format) scenario.dc_format = *options.dc_format;
  for (const auto& fault : options.faults) scenario.faults.push_back(fault);
  return scenario;
}

// Serves until SIGINT or SIGTERM.
int serve(Options& options) {
  options.config.pacing.enabled = !options.no_pace;
  try {
    options.config.scenario = scenario_of(options);
  } catch (const kelvra::sim::ScenarioError& error) {
    throw kelvra::hostkit::InputError(error.what());
  }

  // Signals are taken by sigwait below, not by the serving thread.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  kelvra::sim::SimulatorServer server(options.config, options.server, [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  });
  server.start();
  std::printf("%s\n", server.device_path().c_str());
  std::printf("kelvra-sim: scenario %s, address %u, VER %s, %s\n",
              options.config.scenario.name.c_str(), options.config.responder.address,
              kelvra::hostkit::bounded_text(options.config.responder.ver,
                                            kelvra::hostkit::kProtocolVersionBounds)
                  .c_str(),
              options.config.pacing.enabled
                  ? ("paced at " + std::to_string(options.config.pacing.baud) + " baud").c_str()
                  : "not paced");
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  server.stop();
  std::printf("kelvra-sim: stopped on signal %d\n", signal_number);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app(
      "Simulates the power system on a serial line. Without --port it opens a pseudo-"
      "terminal pair and prints, as its first line, the path a host should open.",
      "kelvra-sim");
  app.set_version_flag("--version", "kelvra-sim " KELVRA_VERSION);
  add_options(app, options);
  app.footer(help_footer());
  return kelvra::hostkit::run_cli(app, argc, argv, [&options] { return serve(options); });
}
