// kelvra-host scan: which addresses, VERs and rates answer on a bus.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "apps/kelvra-host/commands.h"
#include "fieldtools/bus_scan.h"
#include "hostkit/json_output.h"
#include "hostkit/serial_rates.h"
#include "station/console.h"

namespace kelvra::app {
namespace {

constexpr hostkit::Bounds kTryTimeoutMsBounds{10, 60000};

struct ScanCommandOptions {
  std::string port;
  std::string bauds = "9600";
  std::string addresses = "1-254";
  std::string vers = "0x20,0x21";
  std::int64_t timeout_ms = 300;
  bool json = false;
  bool trace = false;
};

// A list option read as numbers, each then checked as the single option would be.
std::vector<std::uint8_t> byte_list(const std::string& option, const std::string& text,
                                    const hostkit::Bounds& bounds) {
  std::vector<std::uint8_t> bytes;
  for (unsigned value : fieldtools::parse_number_list(option, text, 0, 255)) {
    bytes.push_back(static_cast<std::uint8_t>(hostkit::check_bounded(option, value, bounds)));
  }
  return bytes;
}

int scan(const ScanCommandOptions& given) {
  fieldtools::ScanOptions options;
  options.bauds.clear();
  for (unsigned baud : fieldtools::parse_number_list("--baud", given.bauds, 1, 4000000)) {
    options.bauds.push_back(hostkit::check_serial_rate("--baud", baud));
  }
  options.addresses = byte_list("--addresses", given.addresses, hostkit::kDeviceAddressBounds);
  options.vers = byte_list("--ver", given.vers, hostkit::kProtocolVersionBounds);
  options.try_timeout = std::chrono::milliseconds(given.timeout_ms);

  const bool progress_line = !given.json && !given.trace && isatty(STDERR_FILENO) == 1;
  std::unique_ptr<frame::FrameTrace> trace;
  if (given.trace) {
    trace = std::make_unique<frame::FrameTrace>(stdout, given.json, frame::TraceSide::kHost);
  }
  fieldtools::CommandPort port(given.port, options.bauds.front(), trace.get());
  const auto clear_progress = [&] {
    if (progress_line) std::fputs("\r\033[K", stderr);
  };
  const auto report = fieldtools::scan_bus(
      port, options,
      [&](const fieldtools::ScanTry& next) {
        if (!progress_line) return;
        std::fprintf(stderr, "\rscanning %u baud, address %3u, VER %02X (%zu/%zu) ", next.baud,
                     next.address, next.ver, next.index + 1, next.total);
      },
      [&](const fieldtools::ScanHit& hit) {
        clear_progress();
        std::printf("%s\n", given.json ? hostkit::json_text(fieldtools::hit_json(hit)).c_str()
                                       : fieldtools::hit_text(hit).c_str());
        std::fflush(stdout);
      });
  clear_progress();
  std::printf("%s\n", given.json ? hostkit::json_text(fieldtools::summary_json(report)).c_str()
                                 : fieldtools::summary_text(report).c_str());
  return report.hits.empty() ? hostkit::kExitFailure : hostkit::kExitDone;
}

}  // namespace

void add_scan_command(CLI::App& app, hostkit::CommandAction& action) {
  auto options = std::make_shared<ScanCommandOptions>();
  CLI::App* command = app.add_subcommand(
      "scan",
      "Sends the read-only rectifier analog command (0x41/0x41, no INFO) to every address, VER "
      "and rate given and lists what answers: address, VER, rate, return code, round trip and "
      "module count. An address that answers RTN 00 is not asked at the next VER. Exit 0 when "
      "something answered, 1 when nothing did.");
  command
      ->add_option("--port", options->port,
                   "serial device of the bus, or tcp://HOST:PORT or rfc2217://HOST:PORT")
      ->type_name("DEVICE|URL")
      ->required();
  command
      ->add_option("--baud", options->bauds,
                   "rates to try, one of " + hostkit::serial_rates_text() + ", comma-separated")
      ->type_name("RATE[,RATE...]")
      ->capture_default_str();
  command->add_option("--addresses", options->addresses, "addresses, e.g. 1-254 or 3,17,20-30")
      ->type_name("LIST")
      ->capture_default_str();
  command->add_option("--ver", options->vers, "protocol versions to try, in this order")
      ->type_name("V[,V...]")
      ->capture_default_str();
  hostkit::add_bounded(
      *command, "--timeout", kTryTimeoutMsBounds,
      [options](std::int64_t ms) { options->timeout_ms = ms; },
      "milliseconds each try waits for an answer (default 300)");
  command->add_flag("--json", options->json, "JSON lines: one per answering address, a summary");
  command->add_flag("--trace", options->trace, "print every frame written and read");
  command->callback([options, &action] { action = [options] { return scan(*options); }; });
}

}  // namespace kelvra::app
