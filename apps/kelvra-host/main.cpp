// kelvra-host: the bench host's subcommands.
#include "apps/kelvra-host/commands.h"

int main(int argc, char** argv) {
  return kelvra::app::host_main(argc, argv);
}
