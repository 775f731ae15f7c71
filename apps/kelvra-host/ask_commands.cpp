#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "apps/kelvra-host/commands.h"
#include "hostkit/input_error.h"
#include "run/host_requests.h"

namespace kelvra::app {
namespace {

constexpr hostkit::Bounds kControlCodeBounds{-2147483647, 2147483647};

struct AskOptions {
  std::string db = "kelvra.db";
  std::optional<std::string> device;
  bool json = false;
};

struct QueryOptions : AskOptions {
  std::optional<std::string> key;
  bool all = false;
  std::optional<std::string> lang;
};

struct ControlOptions : AskOptions {
  int code = 0;
  std::string argument;
  bool force = false;
};

// The options every request takes; with_device: also --device.
void add_ask_options(CLI::App& command, AskOptions& options, bool with_device) {
  command.add_option("--db", options.db, "history database of the run (its socket: PATH.sock)")
      ->type_name("PATH")
      ->capture_default_str();
  if (with_device) {
    command.add_option("--device", options.device, "device of the run (needed with several)")
        ->type_name("NAME");
  }
  command.add_flag("--json", options.json, "the reply as one JSON line");
}

int print(const run::ShownReply& shown) {
  std::printf("%s\n", shown.text.c_str());
  return shown.exit_code;
}

int query(const QueryOptions& options) {
  if (options.lang && *options.lang != "en") {
    throw hostkit::InputError("--lang " + *options.lang + ": only en is known");
  }
  if (options.all == options.key.has_value()) {
    throw hostkit::InputError(options.all ? "KEY and --all exclude each other"
                                          : "KEY is required (or --all)");
  }
  Json::Value request(Json::objectValue);
  request["command"] = "query";
  if (options.all) {
    request["all"] = true;
  } else {
    request["key"] = *options.key;
  }
  return print(run::show_query_reply(run::ask_running_host(options.db, request, options.device),
                                     options.json, options.lang.has_value()));
}

int control(const ControlOptions& options) {
  Json::Value request(Json::objectValue);
  request["command"] = "control";
  request["code"] = options.code;
  request["argument"] = options.argument;
  if (options.force) request["force"] = true;
  return print(run::show_control_reply(run::ask_running_host(options.db, request, options.device),
                                       options.json));
}

int status(const AskOptions& options) {
  Json::Value request(Json::objectValue);
  request["command"] = "status";
  return print(run::show_status_reply(run::ask_running_host(options.db, request, std::nullopt),
                                      options.json));
}

}  // namespace

void add_ask_commands(CLI::App& app, hostkit::CommandAction& action) {
  auto query_options = std::make_shared<QueryOptions>();
  CLI::App* query_command = app.add_subcommand(
      "query",
      "Asks the running `kelvra-host run` of the database for one value and prints it with where "
      "the data comes from and how old it is, or the device's refusal text (exit 1).");
  query_command->add_option("KEY", query_options->key, "the value's key: out_v, ac");
  query_command->add_flag("--all", query_options->all,
                          "every field of the record shown: name, value, unit, readable name");
  query_command->add_option("--lang", query_options->lang, "en: an English gloss beside a refusal")
      ->type_name("en");
  add_ask_options(*query_command, *query_options, true);
  query_command->callback(
      [query_options, &action] { action = [query_options] { return query(*query_options); }; });

  auto control_options = std::make_shared<ControlOptions>();
  CLI::App* control_command = app.add_subcommand(
      "control",
      "Hands a control request to the device of the running `kelvra-host run`, waits for the "
      "command's answer and prints the result and the read-back of the outcome (1 answered, -1 no "
      "answer). The host checks the request first: a SetValue that is not a decimal number or lies "
      "outside the settings' range (default 40 to 60 V), a code 320 command the device does not "
      "know and code 300 without 7 bytes are refused and nothing is sent.");
  hostkit::add_bounded(
      *control_command, "CODE", kControlCodeBounds,
      [control_options](std::int64_t code) { control_options->code = static_cast<int>(code); },
      "the control code")
      ->required();
  control_command->add_option(
      "ARG", control_options->argument,
      "code 300: seven bytes in hex; code 310: a JSON text such as "
      "'{\"signal_id\":\"006201\",\"SetValue\":\"53.5\"}'; code 320: a signal id");
  control_command->add_flag("--force", control_options->force,
                            "send what the host's check refused");
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
