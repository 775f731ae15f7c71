// kelvra-sim: a simulated power system answering on a (pseudo-)terminal.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "sim/simulator_server.h"

namespace {

using kelvra::sim::DcFormat;
using kelvra::sim::FaultKind;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void print_help() {
  std::string scenarios;
  for (const auto& name : kelvra::sim::builtin_scenario_names()) scenarios += " " + name;
  std::cout
      << "Usage: kelvra-sim [options]\n"
         "Simulates the power system on a serial line. Without --port it opens a pseudo-\n"
         "terminal pair and prints, as its first line, the path a host should open.\n\n"
         "  --scenario NAME|FILE  built-in scenario or JSON file (default normal)\n"
         "                        built in:"
      << scenarios
      << "\n"
         "  --port DEVICE         serve this serial device instead of a pseudo-terminal\n"
         "  --link PATH           also make a symlink to the host's end at PATH\n"
         "  --address N[,N...]    device address 1..254 (default 1); several: one device each,\n"
         "                        all on the same line, each with its own model\n"
         "  --ver V[,V...]        protocol version 0x20 or 0x21 (default 0x20); one for all\n"
         "                        devices, or one per address, paired by position\n"
         "  --baud N              line rate for pacing and --port (default 9600)\n"
         "  --no-pace             answer at once\n"
         "  --turnaround MS       think time added to each paced answer (default 5)\n"
         "  --ac-inputs 1|2       AC inputs (overrides the scenario)\n"
         "  --rectifiers N        rectifier modules 0..255 (overrides the scenario)\n"
         "  --dc-units 1|2        DC units (overrides the scenario)\n"
         "  --dc-format 1|2       1: one unit block; 2: unit count then blocks (default 2)\n"
         "  --fault KIND:RATE     inject a fault into RATE (0..1) of the answers; repeatable\n"
         "                        kinds: "
      << kelvra::sim::fault_names()
      << "\n"
         "  --late-ms MS          delay of a 'late' answer (default 3000)\n"
         "  --seed N              fault random seed (default 1)\n"
         "  --trace               print every frame read and written, and every bad input, in\n"
         "                        the format of kelvra-host run --trace\n"
         "  --help                this text\n\n"
         "Scenario JSON: {\"equipment\": {\"ac_inputs\", \"rectifiers\", \"dc_units\", "
         "\"dc_format\"},\n"
         "  \"initial\": {FIELD: value}, \"timeline\": [{\"at\": seconds, \"note\": text, "
         "\"set\": {FIELD: value}}],\n"
         "  \"faults\": {KIND: rate}}. FIELD is UNIT.NAME; N is a 1-based index or *:\n"
      << kelvra::sim::field_reference()
      << "Alarm bytes take numbers or texts such as \"0xE0\"; AC and DC user readings take null "
         "for a missing value.\n";
}

long number_of(const std::string& option, const std::string& text, long min, long max) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || value < min || value > max) {
    throw UsageError(option + ": expected a number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", got \"" + text + "\"");
  }
  return value;
}

struct Options {
  kelvra::sim::SimulatorConfig config;
  kelvra::sim::ServerOptions server;
  std::string scenario = "normal";
  std::vector<std::pair<std::string, std::string>> overrides;  // applied after the scenario
  std::string addresses = "1";
  std::string vers = "0x20";
  bool trace = false;
  bool help = false;
};

Options parse_options(int argc, char** argv) {
  Options options;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw UsageError(option + ": missing value");
      return args[++i];
    };
    if (option == "--help" || option == "-h") {
      options.help = true;
    } else if (option == "--no-pace") {
      options.config.pacing.enabled = false;
    } else if (option == "--scenario") {
      options.scenario = value();
    } else if (option == "--port") {
      options.server.serial_port = value();
    } else if (option == "--link") {
      options.server.link_path = value();
    } else if (option == "--address") {
      options.addresses = value();
    } else if (option == "--ver") {
      options.vers = value();
    } else if (option == "--trace") {
      options.trace = true;
    } else if (option == "--baud") {
      options.config.pacing.baud = static_cast<unsigned>(number_of(option, value(), 300, 115200));
    } else if (option == "--turnaround") {
      options.config.pacing.turnaround =
          std::chrono::milliseconds(number_of(option, value(), 0, 10000));
    } else if (option == "--late-ms") {
      options.config.late_delay = std::chrono::milliseconds(number_of(option, value(), 0, 600000));
    } else if (option == "--seed") {
      options.config.seed = static_cast<std::uint32_t>(number_of(option, value(), 0, 0x7FFFFFFF));
    } else if (option == "--ac-inputs" || option == "--rectifiers" || option == "--dc-units" ||
               option == "--dc-format" || option == "--fault") {
      options.overrides.emplace_back(option, value());
    } else {
      throw UsageError("unknown option " + option + " (see --help)");
    }
  }
  try {
    std::vector<kelvra::sim::ResponderSettings> devices =
        kelvra::sim::parse_devices(options.addresses, options.vers);
    options.config.responder = devices.front();
    options.config.more_devices.assign(devices.begin() + 1, devices.end());
  } catch (const std::invalid_argument& error) {
    throw UsageError(error.what());
  }
  return options;
}

void apply_overrides(Options& options) {
  kelvra::sim::Scenario& scenario = options.config.scenario;
  for (const auto& [option, text] : options.overrides) {
    if (option == "--ac-inputs") {
      scenario.shape.ac_inputs = static_cast<int>(number_of(option, text, 1, 2));
    } else if (option == "--rectifiers") {
      scenario.shape.rectifiers = static_cast<int>(number_of(option, text, 0, 255));
    } else if (option == "--dc-units") {
      scenario.shape.dc_units = static_cast<int>(number_of(option, text, 1, 2));
    } else if (option == "--dc-format") {
      scenario.dc_format = static_cast<DcFormat>(number_of(option, text, 1, 2));
    } else {
      const auto colon = text.find(':');
      const auto kind = kelvra::sim::parse_fault_name(text.substr(0, colon));
      if (colon == std::string::npos || !kind) {
        throw UsageError("--fault: expected KIND:RATE with KIND one of " +
                         kelvra::sim::fault_names() + ", got \"" + text + "\"");
      }
      char* end = nullptr;
      const double rate = std::strtod(text.c_str() + colon + 1, &end);
      if (*end != '\0' || end == text.c_str() + colon + 1 || rate < 0 || rate > 1) {
        throw UsageError("--fault " + text + ": RATE must be a number from 0 to 1");
      }
      scenario.faults.emplace_back(*kind, rate);
    }
  }
}

kelvra::sim::Scenario load_scenario(const std::string& name_or_file) {
  if (auto builtin = kelvra::sim::builtin_scenario(name_or_file)) return *builtin;
  return kelvra::sim::load_scenario_file(name_or_file);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = parse_options(argc, argv);
    if (options.help) {
      print_help();
      return 0;
    }
    options.config.scenario = load_scenario(options.scenario);
    apply_overrides(options);
  } catch (const std::exception& error) {
    std::cerr << "kelvra-sim: " << error.what() << "\n";
    return 2;
  }

  // Signals are taken by sigwait below, not by the serving thread.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  kelvra::frame::FrameTrace trace(stdout, false, kelvra::frame::TraceSide::kEquipment);
  if (options.trace) options.config.trace = &trace;
  kelvra::sim::SimulatorServer server(options.config, options.server, [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  });
  try {
    server.start();
  } catch (const std::exception& error) {
    std::cerr << "kelvra-sim: " << error.what() << "\n";
    return 1;
  }
  std::printf("%s\n", server.device_path().c_str());
  std::printf("kelvra-sim: scenario %s, address %s, VER %s, %s\n",
              options.config.scenario.name.c_str(), options.addresses.c_str(), options.vers.c_str(),
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
