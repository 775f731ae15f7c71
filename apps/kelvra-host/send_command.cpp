// kelvra-host send: one command, its answer decoded.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "apps/kelvra-host/field_commands.h"
#include "fieldtools/send_one.h"
#include "line/console.h"

namespace {

namespace fieldtools = kelvra::fieldtools;

}  // namespace

int send_command(int argc, char** argv) {
  CLI::App app(
      "Sends one command, waits for its answer and prints it decoded: the frame and, for the "
      "eight poll commands, the record fields the plug-in decodes from its INFO. Control commands "
      "(41/4E, 42/48, 41/45) change the equipment and are refused without --allow-control. Exit 0 "
      "when the answer has RTN 00, 1 when another RTN or none came.",
      "kelvra-host send");
  std::string port;
  unsigned baud = 9600;
  unsigned address = 1;
  std::string ver = "0x20";
  long timeout_ms = 1000;
  bool allow_control = false;
  bool json = false;
  bool trace = false;
  bool plugin_output = false;
  std::string cid1;
  std::string cid2;
  std::string info;
  app.add_option("--port", port, "serial device of the equipment")->required();
  app.add_option("--baud", baud, "line rate (8N1)")
      ->check(CLI::Range(50u, 4000000u))
      ->capture_default_str();
  app.add_option("--address", address, "device address")
      ->check(CLI::Range(1u, 254u))
      ->capture_default_str();
  app.add_option("--ver", ver, "protocol version, two hex digits")->capture_default_str();
  app.add_option("--timeout", timeout_ms, "time the answer may take, ms")
      ->check(CLI::Range(10L, 60000L))
      ->capture_default_str();
  app.add_flag("--allow-control", allow_control, "let a control command through");
  app.add_flag("--json", json, "one JSON object (trace lines as JSON too)");
  app.add_flag("--trace", trace, "print the frames written and read");
  app.add_flag("--plugin-output", plugin_output,
               "also show the plug-in's own diagnostic lines, marked \"    | \"");
  app.add_option("CID1", cid1, "unit: 40 AC, 41 rectifiers, 42 DC (hex)")->required();
  app.add_option("CID2", cid2, "what is asked, e.g. 41 analog values (hex)")->required();
  app.add_option("INFO-HEX", info, "INFO bytes in hex, e.g. 01");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }

  fieldtools::SendRequest request;
  try {
    request.address = static_cast<std::uint8_t>(address);
    request.ver = fieldtools::parse_code("--ver", ver);
    request.cid1 = fieldtools::parse_code("CID1", cid1);
    request.cid2 = fieldtools::parse_code("CID2", cid2);
    request.info = fieldtools::parse_info(info);
    request.allow_control = allow_control;
    request.timeout = std::chrono::milliseconds(timeout_ms);
    std::unique_ptr<kelvra::frame::FrameTrace> frame_trace;
    if (trace) {
      frame_trace = std::make_unique<kelvra::frame::FrameTrace>(stdout, json,
                                                                kelvra::frame::TraceSide::kHost);
    }
    fieldtools::CommandPort command_port(port, baud, frame_trace.get());
    const fieldtools::SendResult result = fieldtools::send_one(command_port, request);
    if (plugin_output) {
      for (const std::string& line : result.device_output) std::printf("    | %s\n", line.c_str());
    }
    if (json) {
      std::printf("%s\n", kelvra::line::json_line(fieldtools::result_json(result)).c_str());
    } else {
      std::fputs(fieldtools::result_text(result).c_str(), stdout);
    }
    return result.exchange.answer && result.exchange.answer->code == 0 ? 0 : 1;
  } catch (const fieldtools::SendRefused& refused) {
    std::fprintf(stderr, "kelvra-host send: %s\n", refused.what());
    return 2;
  } catch (const fieldtools::PortError& error) {
    std::fprintf(stderr, "kelvra-host send: %s\n", error.what());
    return 1;
  }
}
