#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "apps/kelvra-host/commands.h"
#include "line/host_requests.h"

namespace kelvra::app {
namespace {

constexpr hostkit::Bounds kControlCodeBounds{-2147483647, 2147483647};

struct AskOptions {
  std::string db = "kelvra.db";
  std::optional<std::string> device;
  bool json = false;
};

struct QueryOptions : AskOptions {
  std::string key;
};

struct ControlOptions : AskOptions {
  int code = 0;
  std::string argument;
};

// The options every request takes; with_device: also --device.
void add_ask_options(CLI::App& command, AskOptions& options, bool with_device) {
  command.add_option("--db", options.db, "history database of the run (its socket: PATH.sock)")
      ->type_name("PATH")
      ->capture_default_str();
  if (with_device) {
    command.add_option("--device", options.device, "device of the run (default: its first)")
        ->type_name("NAME");
  }
  command.add_flag("--json", options.json, "the reply as one JSON line");
}

int print(const line::ShownReply& shown) {
  std::printf("%s\n", shown.text.c_str());
  return shown.exit_code;
}

int query(const QueryOptions& options) {
  Json::Value request(Json::objectValue);
  request["command"] = "query";
  request["key"] = options.key;
  return print(line::show_query_reply(line::ask_running_host(options.db, request, options.device),
                                      options.json));
}

int control(const ControlOptions& options) {
  Json::Value request(Json::objectValue);
  request["command"] = "control";
  request["code"] = options.code;
  request["argument"] = options.argument;
  return print(line::show_control_reply(line::ask_running_host(options.db, request, options.device),
                                        options.json));
}

int status(const AskOptions& options) {
  Json::Value request(Json::objectValue);
  request["command"] = "status";
  return print(line::show_status_reply(line::ask_running_host(options.db, request, std::nullopt),
                                       options.json));
}

}  // namespace

void add_ask_commands(CLI::App& app, hostkit::CommandAction& action) {
  auto query_options = std::make_shared<QueryOptions>();
  CLI::App* query_command = app.add_subcommand(
      "query",
      "Asks the running `kelvra-host run` of the database for one value and prints it, or the "
      "device's refusal text (exit 1).");
  query_command->add_option("KEY", query_options->key, "the value's key: out_v, ac")->required();
  add_ask_options(*query_command, *query_options, true);
  query_command->callback(
      [query_options, &action] { action = [query_options] { return query(*query_options); }; });

  auto control_options = std::make_shared<ControlOptions>();
  CLI::App* control_command = app.add_subcommand(
      "control",
      "Hands a control request to the device of the running `kelvra-host run`, waits for the "
      "command's answer and prints the result and the read-back of the outcome (1 answered, -1 no "
      "answer).");
  hostkit::add_bounded(
      *control_command, "CODE", kControlCodeBounds,
      [control_options](std::int64_t code) { control_options->code = static_cast<int>(code); },
      "the control code")
      ->required();
  control_command->add_option(
      "ARG", control_options->argument,
      "code 300: seven bytes in hex; code 310: a JSON text such as "
      "'{\"signal_id\":\"006201\",\"SetValue\":\"53.5\"}'; code 320: a signal id");
  add_ask_options(*control_command, *control_options, true);
  control_command->callback([control_options, &action] {
    action = [control_options] { return control(*control_options); };
  });

  auto status_options = std::make_shared<AskOptions>();
  CLI::App* status_command = app.add_subcommand(
      "status", "Prints the poll state, link state and counters of the running `kelvra-host run`.");
  add_ask_options(*status_command, *status_options, false);
  status_command->callback(
      [status_options, &action] { action = [status_options] { return status(*status_options); }; });
}

}  // namespace kelvra::app
