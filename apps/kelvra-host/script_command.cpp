#include <memory>
#include <string>

#include "apps/kelvra-host/commands.h"
#include "hostkit/input_error.h"
#include "hostkit/plugin_loader.h"
#include "script/script_session.h"

namespace kelvra::app {
namespace {

struct ScriptOptions {
  std::string script;
  std::string plugin;
};

int play(const ScriptOptions& options) {
  std::vector<scripted_host::ScriptLine> script;
  try {
    script = scripted_host::read_script_file(options.script);
  } catch (const scripted_host::ScriptError& error) {
    throw hostkit::InputError(options.script + ": " + error.what());
  }
  scripted_host::play_script(
      options.plugin.empty() ? hostkit::plugin_beside_program() : options.plugin, script);
  return hostkit::kExitDone;
}

}  // namespace

void add_script_command(CLI::App& app, hostkit::CommandAction& action) {
  auto options = std::make_shared<ScriptOptions>();
  CLI::App* command = app.add_subcommand(
      "script",
      "Plays a session script against one device of the plug-in and writes what the device did "
      "to standard output, one JSON object per line, in the order it happened.");
  command
      ->add_option("SCRIPT", options->script,
                   "the script, one JSON object per line ('-': standard input); blank lines and "
                   "lines starting with '#' are skipped")
      ->type_name("FILE|-")
      ->required();
  command->add_option("--plugin", options->plugin,
                      "the plug-in library (default: the one built beside this program)");
  command->footer(
      "Ops: settings, thresholds, analog, rules, host_check, host_result, refresh, respond,\n"
      "advance, query, control, cache, record, state.\n"
      "Exit: 0 played to its end, 1 failure, 2 usage error or invalid script.");
  command->callback([options, &action] { action = [options] { return play(*options); }; });
}

}  // namespace kelvra::app
