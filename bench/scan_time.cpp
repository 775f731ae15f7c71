// Time of a bus scan over every address at 9600 baud, against the simulator paced at line rate on
// a pseudo-terminal, with one device at the last address: the worst case a field engineer waits.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fieldtools/bus_scan.h"
#include "sim/simulator_server.h"

int main(int argc, char** argv) {
  // Optional: the VER list to try (default both).
  const std::string vers = argc > 1 ? argv[1] : "0x20,0x21";
  char directory[] = "/tmp/kelvra-scan-XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string link = std::string(directory) + "/tty";

  kelvra::sim::SimulatorConfig config;
  config.scenario = *kelvra::sim::builtin_scenario("normal");
  config.responder.address = 254;
  config.pacing.baud = 9600;
  kelvra::sim::SimulatorServer server(config, {"", link}, nullptr);
  server.start();

  kelvra::fieldtools::CommandPort port(link, 9600, nullptr);
  kelvra::fieldtools::ScanOptions options;
  options.vers.clear();
  for (unsigned ver : kelvra::fieldtools::parse_number_list("VER", vers, 0x20, 0x21)) {
    options.vers.push_back(static_cast<std::uint8_t>(ver));
  }
  const auto report = kelvra::fieldtools::scan_bus(port, options);
  server.stop();
  rmdir(directory);

  std::printf("scan of 254 addresses at 9600 baud, VER %s, try timeout %lld ms: %s\n", vers.c_str(),
              static_cast<long long>(options.try_timeout.count()),
              kelvra::fieldtools::summary_text(report).c_str());
  for (const auto& hit : report.hits) {
    std::printf("  %s\n", kelvra::fieldtools::hit_text(hit).c_str());
  }
  return report.hits.size() == 1 ? 0 : 1;
}
