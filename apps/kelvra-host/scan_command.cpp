// kelvra-host scan: which addresses, VERs and rates answer on a bus.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "apps/kelvra-host/field_commands.h"
#include "fieldtools/bus_scan.h"
#include "line/console.h"

namespace {

namespace fieldtools = kelvra::fieldtools;

template <typename Byte>
std::vector<Byte> narrowed(const std::vector<unsigned>& numbers) {
  return std::vector<Byte>(numbers.begin(), numbers.end());
}

}  // namespace

int scan_command(int argc, char** argv) {
  CLI::App app(
      "Sends the read-only rectifier analog command (0x41/0x41, no INFO) to every address, VER "
      "and rate given and lists what answers: address, VER, rate, return code, round trip and "
      "module count. Exit 0 when something answered, 1 when nothing did.",
      "kelvra-host scan");
  std::string port;
  std::string bauds = "9600";
  std::string addresses = "1-254";
  std::string vers = "0x20,0x21";
  long timeout_ms = 300;
  bool json = false;
  bool trace = false;
  app.add_option("--port", port, "serial device of the bus")->required();
  app.add_option("--baud", bauds, "rates to try, e.g. 9600 or 2400,4800,9600")
      ->capture_default_str();
  app.add_option("--addresses", addresses, "addresses, e.g. 1-254 or 3,17,20-30")
      ->capture_default_str();
  app.add_option("--ver", vers, "protocol versions to try")->capture_default_str();
  app.add_option("--timeout", timeout_ms, "time each try waits for an answer, ms")
      ->check(CLI::Range(10L, 60000L))
      ->capture_default_str();
  app.add_flag("--json", json, "JSON lines: one per answering address, then a summary");
  app.add_flag("--trace", trace, "print every frame written and read");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }

  fieldtools::ScanOptions options;
  try {
    options.bauds = fieldtools::parse_number_list("--baud", bauds, 50, 4000000);
    options.addresses =
        narrowed<std::uint8_t>(fieldtools::parse_number_list("--addresses", addresses, 1, 254));
    options.vers = narrowed<std::uint8_t>(fieldtools::parse_number_list("--ver", vers, 0, 255));
  } catch (const fieldtools::ListError& error) {
    std::fprintf(stderr, "kelvra-host scan: %s (see kelvra-host scan --help)\n", error.what());
    return 2;
  }
  options.try_timeout = std::chrono::milliseconds(timeout_ms);

  const bool progress_line = !json && !trace && isatty(STDERR_FILENO) == 1;
  std::unique_ptr<kelvra::frame::FrameTrace> frame_trace;
  if (trace) {
    frame_trace =
        std::make_unique<kelvra::frame::FrameTrace>(stdout, json, kelvra::frame::TraceSide::kHost);
  }
  try {
    fieldtools::CommandPort command_port(port, options.bauds.front(), frame_trace.get());
    const auto report = fieldtools::scan_bus(
        command_port, options,
        [&](const fieldtools::ScanTry& next) {
          if (!progress_line) return;
          std::fprintf(stderr, "\rscanning %u baud, address %3u, VER %02X (%zu/%zu) ", next.baud,
                       next.address, next.ver, next.index + 1, next.total);
        },
        [&](const fieldtools::ScanHit& hit) {
          if (progress_line) std::fputs("\r\033[K", stderr);
          std::printf("%s\n", json ? kelvra::line::json_line(fieldtools::hit_json(hit)).c_str()
                                   : fieldtools::hit_text(hit).c_str());
          std::fflush(stdout);
        });
    if (progress_line) std::fputs("\r\033[K", stderr);
    std::printf("%s\n", json ? kelvra::line::json_line(fieldtools::summary_json(report)).c_str()
                             : fieldtools::summary_text(report).c_str());
    return report.hits.empty() ? 1 : 0;
  } catch (const fieldtools::PortError& error) {
    if (progress_line) std::fputs("\n", stderr);
    std::fprintf(stderr, "kelvra-host scan: %s\n", error.what());
    return 1;
  }
}
