// The bench host's subcommands; each takes its own argv (argv[0] is the subcommand's name) and
// returns the exit code: 0 done, 1 failed, 2 usage error.
#pragma once

namespace kelvra::line {

int run_command(int argc, char** argv);
int query_command(int argc, char** argv);
int control_command(int argc, char** argv);
int status_command(int argc, char** argv);
int history_command(int argc, char** argv);
int decode_command(int argc, char** argv);

}  // namespace kelvra::line
