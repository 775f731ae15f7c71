#include "apps/kelvra-host/commands.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "apps/kelvra-host/builtin_simulator.h"
#include "hostkit/input_file.h"
#include "hostkit/plugin_loader.h"
#include "hostkit/stdout_capture.h"
#include "line/bench_run.h"
#include "line/console.h"
#include "line/control_socket.h"
#include "line/decode_input.h"
#include "line/history_store.h"
#include "line/settings.h"
#include "record/kelvra_419_fields.h"
#include "web/http_server.h"

namespace kelvra::line {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr auto kControlTimeout = std::chrono::seconds(30);

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Options of one subcommand: flags without value, options with one, positional arguments.
class Arguments {
 public:
  Arguments(int argc, char** argv, std::vector<std::string> flags,
            std::vector<std::string> valued) {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--help" || arg == "-h") {
        help_ = true;
      } else if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
        values_[arg] = "";
      } else if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
        if (i + 1 >= argc) throw UsageError(arg + ": missing value");
        values_[arg] = argv[++i];
      } else if (arg.size() > 1 && arg[0] == '-' &&
                 !std::isdigit(static_cast<unsigned char>(arg[1]))) {
        throw UsageError("unknown option " + arg);
      } else {
        positional_.push_back(arg);
      }
    }
  }

  bool help() const { return help_; }
  bool has(const std::string& option) const { return values_.count(option) != 0; }
  std::optional<std::string> value(const std::string& option) const {
    const auto found = values_.find(option);
    if (found == values_.end()) return std::nullopt;
    return found->second;
  }
  std::string value_or(const std::string& option, const std::string& fallback) const {
    return value(option).value_or(fallback);
  }
  long number(const std::string& option, long min, long max) const {
    try {
      return parse_bounded(option, *value(option), min, max);
    } catch (const SettingsError& error) {
      throw UsageError(error.what());
    }
  }
  const std::vector<std::string>& positional() const { return positional_; }
  void expect_positional(std::size_t count, const std::string& what) const {
    if (positional_.size() != count) {
      throw UsageError("expected " + what + (positional_.size() > count ? ", got more" : ""));
    }
  }

 private:
  bool help_ = false;
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

// Runs body, turning usage errors into exit code 2 and other failures into 1.
int guarded(const char* name, const std::function<int()>& body) {
  try {
    return body();
  } catch (const UsageError& error) {
    std::fprintf(stderr, "kelvra-host %s: %s (see kelvra-host %s --help)\n", name, error.what(),
                 name);
    return kExitUsage;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvra-host %s: %s\n", name, error.what());
    return kExitFailure;
  }
}

void print_json_or(bool json, const Json::Value& value, const std::string& text) {
  std::printf("%s\n", json ? json_line(value).c_str() : text.c_str());
}

// "2026-12-08", "2026-12-08 14:30", "2026-12-08T14:30:05": the time prefix history compares.
std::string since_text(const std::string& text) {
  std::string since = text;
  if (since.size() > 10 && since[10] == 'T') since[10] = ' ';
  const std::string shape = "dddd-dd-dd dd:dd:dd";
  bool fits = since.size() == 10 || since.size() == 16 || since.size() == 19;
  for (std::size_t i = 0; fits && i < since.size(); ++i) {
    fits = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(since[i])) != 0
                           : since[i] == shape[i];
  }
  if (!fits) {
    throw UsageError("--since " + text +
                     ": expected YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYY-MM-DD HH:MM:SS");
  }
  return since;
}

const char* const kRunHelp =
    "usage: kelvra-host run [options]\n"
    "Polls the power system with the plug-in, prints each round, raises and clears alarms and\n"
    "stores history. Without --port it polls the built-in simulator on a pseudo-terminal.\n\n"
    "  --settings FILE        settings JSON: \"appSetting\", \"thresholdSetting\" and \"host\"\n"
    "  --port DEVICE          serial device of the equipment (overrides the settings)\n"
    "  --baud N               line rate (default 9600, 8N1)\n"
    "  --address N            device address 1..254 (default 1)\n"
    "  --ver 0x20|0x21        protocol version (default 0x20)\n"
    "  --response-timeout MS  time a response may take (default 1000)\n"
    "  --poll-interval MS     how often a round is asked for (default 1000)\n"
    "  --reopen-interval MS   how often a lost port is reopened (default 3000)\n"
    "  --plugin PATH          plug-in library (default: the one built beside kelvra-host)\n"
    "  --db PATH              history database (default kelvra.db); control socket PATH.sock\n"
    "  --scenario NAME|FILE   built-in simulator scenario (default normal)\n"
    "  --no-pace              built-in simulator answers at once instead of at line rate\n"
    "  --turnaround MS        built-in simulator's think time before answering (default 5)\n"
    "  --sim-log              print every simulator line, not only its scenario events\n"
    "  --sim-hangup-every N   built-in simulator closes its terminal and opens a new one after\n"
    "                         every N rounds of its device (port: a link beside the database)\n"
    "  --rounds N             stop once every device completed N rounds\n"
    "  --duration SECONDS     stop after this time\n"
    "  --json                 JSON lines instead of text, the record decoded to named fields\n"
    "  --plugin-output        also show the plug-in's own diagnostic lines, marked \"    | \"\n"
    "  --http ADDR:PORT       serve the dashboard, JSON API and metrics (address default\n"
    "                         127.0.0.1; settings: \"host\": {\"http\": \"ADDR:PORT\"})\n"
    "  --http-token-file FILE allow control over HTTP with this bearer token (settings:\n"
    "                         \"http_token_file\"); without it control over HTTP answers 403\n\n"
    "The \"host\" object: port, baud, data_bits, parity (none|odd|even), stop_bits, address,\n"
    "ver, data_id, response_timeout_ms, poll_interval_ms, threshold_levels {KEY: level},\n"
    "threshold_values {KEY: value}, analog_signals [record field names], and devices: an array\n"
    "of objects with the same keys plus name and appSetting, one per device (several\n"
    "addresses on one port are polled in turn). SIGINT or SIGTERM ends the run cleanly.\n";

}  // namespace

int run_command(int argc, char** argv) {
  return guarded("run", [&] {
    const Arguments args(
        argc, argv, {"--no-pace", "--sim-log", "--json", "--plugin-output"},
        {"--settings", "--port", "--baud", "--address", "--ver", "--response-timeout",
         "--poll-interval", "--reopen-interval", "--plugin", "--db", "--scenario", "--rounds",
         "--duration", "--turnaround", "--sim-hangup-every", "--http", "--http-token-file"});
    if (args.help()) {
      std::fputs(kRunHelp, stdout);
      return 0;
    }
    args.expect_positional(0, "no arguments besides options");
    RunOptions options;
    options.settings =
        args.has("--settings") ? load_settings_file(*args.value("--settings")) : default_settings();
    for (DeviceSettings& device : options.settings.devices) {
      if (args.has("--port")) device.port = *args.value("--port");
      if (args.has("--baud"))
        device.serial.baud = static_cast<unsigned>(args.number("--baud", 50, 4000000));
      if (args.has("--address"))
        device.address = static_cast<std::uint8_t>(args.number("--address", 1, 254));
      if (args.has("--ver"))
        device.ver = static_cast<std::uint8_t>(args.number("--ver", 0x20, 0x21));
      if (args.has("--response-timeout")) {
        device.response_timeout =
            std::chrono::milliseconds(args.number("--response-timeout", 10, 60000));
      }
      if (args.has("--poll-interval")) {
        device.poll_interval =
            std::chrono::milliseconds(args.number("--poll-interval", 10, 3600000));
      }
    }
    if (args.has("--reopen-interval")) {
      options.reopen_interval =
          std::chrono::milliseconds(args.number("--reopen-interval", 10, 600000));
    }
    options.plugin_path = args.value_or("--plugin", kelvra::hostkit::plugin_beside_program());
    options.db_path = args.value_or("--db", "kelvra.db");
    app::BuiltinSimulatorOptions simulator;
    simulator.scenario = args.value_or("--scenario", "normal");
    simulator.pace = !args.has("--no-pace");
    if (args.has("--turnaround")) {
      simulator.turnaround = std::chrono::milliseconds(args.number("--turnaround", 0, 10000));
    }
    simulator.log_everything = args.has("--sim-log");
    simulator.link_prefix = options.db_path;
    if (args.has("--rounds")) options.rounds = args.number("--rounds", 1, 1000000000);
    if (args.has("--sim-hangup-every")) {
      simulator.hangup_rounds = args.number("--sim-hangup-every", 1, 1000000000);
    }
    if (args.has("--duration")) {
      options.duration = std::chrono::seconds(args.number("--duration", 1, 100000000));
    }

    // The HTTP server, when asked for on the command line or in the settings.
    std::optional<kelvra::web::HttpServer> http_server;
    const std::string listen = args.value_or("--http", options.settings.http);
    const std::string token_file =
        args.value_or("--http-token-file", options.settings.http_token_file);
    if (!token_file.empty() && listen.empty()) {
      throw UsageError("--http-token-file " + token_file + ": needs --http ADDR:PORT");
    }
    if (!listen.empty()) {
      kelvra::web::HttpOptions http;
      try {
        kelvra::web::parse_listen_address(listen, http);
      } catch (const std::invalid_argument& error) {
        throw UsageError(std::string("--http ") + error.what());
      }
      if (!token_file.empty()) {
        try {
          http.token = kelvra::web::read_token_file(token_file);
        } catch (const RunError& error) {
          throw UsageError(std::string("--http-token-file ") + error.what());
        }
      }
      http_server.emplace(std::move(http));
      options.services.push_back(&*http_server);
    }

    const bool json = args.has("--json");
    // The plug-in's own lines are taken off standard output: JSON mode passes them on wrapped,
    // text mode shows them marked with --plugin-output.
    kelvra::hostkit::StdoutCapture capture;
    std::FILE* out = fdopen(dup(capture.original_fd()), "w");
    if (out == nullptr) throw std::runtime_error("cannot duplicate standard output");
    Console console(out, json);
    console.collect_device_output([&capture] { return capture.take_lines(); },
                                  args.has("--plugin-output"));
    int result = 0;
    try {
      app::BuiltinSimulators simulators(std::move(simulator), console);
      options.port_provider = &simulators;
      BenchRun run(std::move(options), console);
      run.run();
    } catch (const RunError& error) {
      std::fprintf(stderr, "kelvra-host run: %s\n", error.what());
      result = kExitFailure;
    }
    console.pass_device_output();
    std::fclose(out);
    return result;
  });
}

namespace {

// Sends one request to the run that owns the database and prints its reply.
Json::Value ask_running_host(const Arguments& args, Json::Value request) {
  if (args.has("--device")) request["device"] = *args.value("--device");
  return control_request(control_socket_path(args.value_or("--db", "kelvra.db")), request,
                         kControlTimeout);
}

}  // namespace

int query_command(int argc, char** argv) {
  return guarded("query", [&] {
    const Arguments args(argc, argv, {"--json"}, {"--db", "--device"});
    if (args.help()) {
      std::fputs(
          "usage: kelvra-host query KEY [--db PATH] [--device NAME] [--json]\n"
          "Asks the running `kelvra-host run` of the database for one value (keys: out_v, ac)\n"
          "and prints it, or the device's refusal text (exit 1).\n",
          stdout);
      return 0;
    }
    args.expect_positional(1, "one KEY");
    Json::Value request(Json::objectValue);
    request["command"] = "query";
    request["key"] = args.positional()[0];
    const Json::Value reply = ask_running_host(args, request);
    if (reply.isMember("error")) throw std::runtime_error(reply["error"].asString());
    const bool ok = reply["ok"].asBool();
    print_json_or(args.has("--json"), reply,
                  ok ? record::float_text(reply["value"].asFloat()) : reply["refusal"].asString());
    return ok ? 0 : kExitFailure;
  });
}

int control_command(int argc, char** argv) {
  return guarded("control", [&] {
    const Arguments args(argc, argv, {"--json"}, {"--db", "--device"});
    if (args.help()) {
      std::fputs(
          "usage: kelvra-host control CODE [ARG] [--db PATH] [--device NAME] [--json]\n"
          "Hands a control request to the device of the running `kelvra-host run`, waits for\n"
          "the command's answer and prints the result and the read-back of the outcome\n"
          "(1 answered, -1 no answer). ARG: code 300 seven bytes in hex; code 310 a JSON text\n"
          "such as '{\"signal_id\":\"006201\",\"SetValue\":\"53.5\"}'; code 320 a signal id.\n",
          stdout);
      return 0;
    }
    if (args.positional().empty() || args.positional().size() > 2) {
      throw UsageError("expected CODE and at most one ARG");
    }
    Json::Value request(Json::objectValue);
    request["command"] = "control";
    request["code"] = static_cast<int>([&] {
      try {
        return parse_bounded("CODE", args.positional()[0], -2147483647L, 2147483647L);
      } catch (const SettingsError& error) {
        throw UsageError(error.what());
      }
    }());
    request["argument"] = args.positional().size() > 1 ? args.positional()[1] : "";
    const Json::Value reply = ask_running_host(args, request);
    if (reply.isMember("error")) throw std::runtime_error(reply["error"].asString());
    std::string text = "result " + std::to_string(reply["result"].asInt());
    if (reply.isMember("out")) text += ", out " + std::to_string(reply["out"].asInt());
    text +=
        ", read-back " + (reply["readback"].isNull() ? std::string("none")
                                                     : std::to_string(reply["readback"].asInt()));
    print_json_or(args.has("--json"), reply, text);
    return reply["result"].asInt() == 0 ? 0 : kExitFailure;
  });
}

int status_command(int argc, char** argv) {
  return guarded("status", [&] {
    const Arguments args(argc, argv, {"--json"}, {"--db"});
    if (args.help()) {
      std::fputs(
          "usage: kelvra-host status [--db PATH] [--json]\n"
          "Prints the poll state, link state and counters of the running `kelvra-host run`.\n",
          stdout);
      return 0;
    }
    args.expect_positional(0, "no arguments besides options");
    Json::Value request(Json::objectValue);
    request["command"] = "status";
    const Json::Value reply = ask_running_host(args, request);
    if (args.has("--json")) {
      print_json_or(true, reply, "");
      return 0;
    }
    std::printf("running for %.0f s, history in %s\n", reply["uptime_s"].asDouble(),
                reply["db"].asString().c_str());
    for (const Json::Value& device : reply["devices"]) {
      std::string alarms;
      for (const Json::Value& alarm : device["alarms"]) alarms += " " + alarm.asString();
      std::printf(
          "%s: %s address %u, link %s, poll state %d, data %s, last round %s\n"
          "  rounds %llu, restored %llu, commands %llu, answers %llu, timeouts %llu, refused "
          "%llu, alarms:%s\n",
          device["device"].asCString(), device["port"].asCString(), device["address"].asUInt(),
          device["link"].asCString(), device["poll_state"].asInt(),
          device["data_valid"].asBool() ? "valid" : "not yet valid",
          device["last_round"].asString().empty() ? "none" : device["last_round"].asCString(),
          static_cast<unsigned long long>(device["rounds"].asUInt64()),
          static_cast<unsigned long long>(device["restored"].asUInt64()),
          static_cast<unsigned long long>(device["commands"].asUInt64()),
          static_cast<unsigned long long>(device["answers"].asUInt64()),
          static_cast<unsigned long long>(device["timeouts"].asUInt64()),
          static_cast<unsigned long long>(device["refused"].asUInt64()),
          alarms.empty() ? " none" : alarms.c_str());
    }
    for (const Json::Value& line : reply["lines"]) {
      std::string errors;
      for (const std::string& kind : line["errors"].getMemberNames()) {
        if (line["errors"][kind].asUInt64() != 0) {
          errors += ", " + kind + " " + std::to_string(line["errors"][kind].asUInt64());
        }
      }
      std::printf("line %s: %s, frames %llu, echoes %llu, unexpected %llu, link losses %llu%s\n",
                  line["port"].asCString(), line["link"].asCString(),
                  static_cast<unsigned long long>(line["frames"].asUInt64()),
                  static_cast<unsigned long long>(line["echoes"].asUInt64()),
                  static_cast<unsigned long long>(line["unexpected"].asUInt64()),
                  static_cast<unsigned long long>(line["link_losses"].asUInt64()), errors.c_str());
    }
    return 0;
  });
}

int history_command(int argc, char** argv) {
  return guarded("history", [&] {
    const Arguments args(argc, argv, {"--json"}, {"--db", "--last", "--since"});
    if (args.help()) {
      std::fputs(
          "usage: kelvra-host history [--db PATH] [--last N] [--since TIME] [--json]\n"
          "Lists stored records, alarm events and communication events, oldest first.\n"
          "  --last N      only the newest N of each\n"
          "  --since TIME  only those at or after TIME (YYYY-MM-DD[ HH:MM[:SS]], local time)\n"
          "  --json        JSON lines, records decoded to named fields\n",
          stdout);
      return 0;
    }
    args.expect_positional(0, "no arguments besides options");
    HistoryQuery query;
    if (args.has("--last"))
      query.last = static_cast<std::size_t>(args.number("--last", 1, 1000000000));
    if (args.has("--since")) query.since = since_text(*args.value("--since"));
    const std::string db = args.value_or("--db", "kelvra.db");
    if (access(db.c_str(), R_OK) != 0)
      throw std::runtime_error("--db " + db + ": no such database");
    HistoryStore history(db);
    Console console(stdout, args.has("--json"));
    for (const StoredRecord& stored : history.records(query)) console.stored_record(stored);
    for (const AlarmEvent& event : history.alarm_events(query)) console.alarm(event);
    for (const CommEvent& event : history.comm_events(query)) console.link(event);
    return 0;
  });
}

namespace {

// A record file, in binary or hex, is far below this; anything larger is not read.
constexpr std::size_t kMaxRecordFileBytes = 64 * 1024;

// The bytes of a record file, or of hex text (in a file or given directly).
std::vector<std::uint8_t> record_input(const std::string& source) {
  std::string content = source;
  bool from_file = false;
  try {
    content = kelvra::hostkit::read_input_file(source, kMaxRecordFileBytes);
    from_file = true;
  } catch (const kelvra::hostkit::InputFileError& error) {
    if (access(source.c_str(), F_OK) == 0) throw std::runtime_error(source + ": " + error.what());
  }
  auto bytes = decode_input_bytes(content, from_file);
  if (!bytes) throw UsageError(source + ": neither a readable file nor hex digits");
  return std::move(*bytes);
}

}  // namespace

int decode_command(int argc, char** argv) {
  return guarded("decode", [&] {
    const Arguments args(argc, argv, {"--json"}, {});
    if (args.help()) {
      std::fputs(
          "usage: kelvra-host decode FILE|HEX [--json]\n"
          "Decodes a 763-byte device record (a binary file, or hex in a file or on the command\n"
          "line) to its named fields: offset, name and value per line, or one JSON object.\n",
          stdout);
      return 0;
    }
    args.expect_positional(1, "one FILE or HEX");
    const std::string& source = args.positional()[0];
    const std::vector<std::uint8_t> bytes = record_input(source);
    const auto record = record::from_bytes(bytes.data(), bytes.size());
    if (!record) {
      throw std::runtime_error(source + ": " + std::to_string(bytes.size()) +
                               " bytes; a record has " + std::to_string(record::kRecordSize));
    }
    std::fputs(decode_listing(*record, args.has("--json")).c_str(), stdout);
    return 0;
  });
}

}  // namespace kelvra::line
