// The bench host's subcommands. Each add_*_command adds its subcommand with its options to the
// program's app; when argv chooses it, action is set to what it does, returning the exit code.
#pragma once

#include <CLI/CLI.hpp>

#include "hostkit/cli.h"

namespace kelvra::app {

void add_run_command(CLI::App& app, hostkit::CommandAction& action);
void add_history_command(CLI::App& app, hostkit::CommandAction& action);
void add_decode_command(CLI::App& app, hostkit::CommandAction& action);
// query, control and status: requests to the run that owns a database.
void add_ask_commands(CLI::App& app, hostkit::CommandAction& action);
void add_script_command(CLI::App& app, hostkit::CommandAction& action);
// scan and send: the field tools that talk to a serial port directly.
void add_scan_command(CLI::App& app, hostkit::CommandAction& action);
void add_send_command(CLI::App& app, hostkit::CommandAction& action);
void add_modbus_map_command(CLI::App& app, hostkit::CommandAction& action);

// kelvra-host with argv as main receives it; returns 0 done, 1 failure, 2 usage error.
int host_main(int argc, const char* const* argv);

}  // namespace kelvra::app
