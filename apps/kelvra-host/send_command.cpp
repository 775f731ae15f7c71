// kelvra-host send: one command, its answer decoded.
#include <cstdio>
#include <memory>
#include <string>

#include "apps/kelvra-host/commands.h"
#include "fieldtools/send_one.h"
#include "hostkit/json_output.h"
#include "station/console.h"

namespace kelvra::app {
namespace {

constexpr hostkit::Bounds kAnswerTimeoutMsBounds{10, 60000};

struct SendCommandOptions {
  std::string port;
  unsigned baud = 9600;
  fieldtools::SendRequest request;
  std::string cid1;
  std::string cid2;
  std::string info;
  bool json = false;
  bool trace = false;
  bool plugin_output = false;
};

int send(SendCommandOptions& options) {
  fieldtools::SendRequest& request = options.request;
  request.cid1 = fieldtools::parse_code("CID1", options.cid1);
  request.cid2 = fieldtools::parse_code("CID2", options.cid2);
  request.info = fieldtools::parse_info(options.info);
  std::unique_ptr<frame::FrameTrace> trace;
  if (options.trace) {
    trace = std::make_unique<frame::FrameTrace>(stdout, options.json, frame::TraceSide::kHost);
  }
  fieldtools::CommandPort port(options.port, options.baud, trace.get());
  const fieldtools::SendResult result = fieldtools::send_one(port, request);
  if (options.plugin_output) {
    for (const std::string& text : result.device_output) std::printf("    | %s\n", text.c_str());
  }
  if (options.json) {
    std::printf("%s\n", hostkit::json_text(fieldtools::result_json(result)).c_str());
  } else {
    std::fputs(fieldtools::result_text(result).c_str(), stdout);
  }
  const bool normal = result.exchange.answer && result.exchange.answer->code == frame::kRtnNormal;
  return normal ? hostkit::kExitDone : hostkit::kExitFailure;
}

}  // namespace

void add_send_command(CLI::App& app, hostkit::CommandAction& action) {
  auto options = std::make_shared<SendCommandOptions>();
  fieldtools::SendRequest& request = options->request;
  CLI::App* command = app.add_subcommand(
      "send",
      "Sends one command, waits for its answer and prints it decoded: the frame and, for the "
      "eight poll commands, the record fields the plug-in decodes from its INFO. Control commands "
      "(41/4E, 42/48, 41/45) change the equipment and are refused without --allow-control. Exit 0 "
      "when the answer has RTN 00, 1 when another RTN or none came.");
  command
      ->add_option("--port", options->port,
                   "serial device of the equipment, or tcp://HOST:PORT or rfc2217://HOST:PORT")
      ->type_name("DEVICE|URL")
      ->required();
  hostkit::add_serial_rate(*command, "--baud", options->baud, "line rate, 8N1 (default 9600)");
  hostkit::add_bounded(
      *command, "--address", hostkit::kDeviceAddressBounds,
      [options](std::int64_t address) {
        options->request.address = static_cast<std::uint8_t>(address);
      },
      "device address (default 1)");
  hostkit::add_bounded(
      *command, "--ver", hostkit::kProtocolVersionBounds,
      [options](std::int64_t ver) { options->request.ver = static_cast<std::uint8_t>(ver); },
      "protocol version (default 0x20)");
  hostkit::add_bounded(
      *command, "--timeout", kAnswerTimeoutMsBounds,
      [options](std::int64_t ms) { options->request.timeout = std::chrono::milliseconds(ms); },
      "milliseconds the answer may take (default 1000)");
  command->add_flag("--allow-control", request.allow_control, "let a control command through");
  command->add_flag("--json", options->json, "one JSON object (and trace lines as JSON)");
  command->add_flag("--trace", options->trace, "print the frames written and read");
  command->add_flag("--plugin-output", options->plugin_output,
                    "also show the plug-in's own diagnostic lines, marked \"    | \"");
  command->add_option("CID1", options->cid1, "unit in hex: 40 AC, 41 rectifiers, 42 DC")
      ->required();
  command->add_option("CID2", options->cid2, "what is asked, in hex, e.g. 41 analog values")
      ->required();
  command->add_option("INFO-HEX", options->info, "INFO bytes in hex, e.g. 01");
  command->callback([options, &action] { action = [options] { return send(*options); }; });
}

}  // namespace kelvra::app
