// kelvra-host: the bench host's subcommands, each its own function.
#include <cstdio>
#include <cstring>

#include "apps/kelvra-host/commands.h"
#include "apps/kelvra-host/field_commands.h"
#include "apps/kelvra-host/script_command.h"

namespace {

struct Subcommand {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

const Subcommand kSubcommands[] = {
    {"run", kelvra::line::run_command, "poll the power system, print rounds, keep history"},
    {"query", kelvra::line::query_command, "ask a running `run` for one value"},
    {"control", kelvra::line::control_command, "hand a control request to a running `run`"},
    {"status", kelvra::line::status_command, "poll state and counters of a running `run`"},
    {"history", kelvra::line::history_command, "list stored records and events"},
    {"decode", kelvra::line::decode_command, "decode a 763-byte record to named fields"},
    {"script", script_command, "play a session script and write its transcript"},
    {"scan", scan_command, "list the addresses, VERs and rates that answer on a bus"},
    {"send", send_command, "send one command and print its answer decoded"},
};

constexpr int kExitUsage = 2;

void print_usage(std::FILE* out) {
  std::fputs("usage: kelvra-host COMMAND [ARGS...]\n\nCommands:\n", out);
  for (const Subcommand& command : kSubcommands) {
    std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
  }
  std::fputs("\n'kelvra-host COMMAND --help' describes a command.\n", out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return kExitUsage;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    print_usage(stdout);
    return 0;
  }
  for (const Subcommand& command : kSubcommands) {
    if (std::strcmp(argv[1], command.name) == 0) return command.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "kelvra-host: unknown command %s\n", argv[1]);
  print_usage(stderr);
  return kExitUsage;
}
