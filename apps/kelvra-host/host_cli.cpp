#include "apps/kelvra-host/commands.h"

namespace kelvra::app {

int host_main(int argc, const char* const* argv) {
  CLI::App app(
      "The bench host of the power system's plug-in: polls the equipment, keeps its "
      "history and answers requests.",
      "kelvra-host");
  app.set_version_flag("--version", "kelvra-host " KELVRA_VERSION);
  app.require_subcommand(1);
  hostkit::CommandAction action;
  add_run_command(app, action);
  add_ask_commands(app, action);
  add_history_command(app, action);
  add_decode_command(app, action);
  add_script_command(app, action);
  add_scan_command(app, action);
  add_send_command(app, action);
  add_modbus_map_command(app, action);
  return hostkit::run_cli(app, argc, argv, action);
}

}  // namespace kelvra::app
