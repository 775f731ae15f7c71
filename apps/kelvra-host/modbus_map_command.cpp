#include <cstdio>
#include <memory>

#include "apps/kelvra-host/commands.h"
#include "modbus/modbus_map_listing.h"

namespace kelvra::app {
namespace {

struct ModbusMapOptions {
  bool csv = false;
  bool json = false;
};

}  // namespace

void add_modbus_map_command(CLI::App& app, hostkit::CommandAction& action) {
  auto options = std::make_shared<ModbusMapOptions>();
  CLI::App* command = app.add_subcommand(
      "modbus-map",
      "Prints the Modbus TCP map of `run --modbus`, the same for every unit: address, function "
      "codes, type, field, unit and English label. Registers (03/04) hold the status block from "
      "0, the presence block from 10 and the readings from 100 as float32, high word first; bits "
      "(01/02) hold one alarm each.");
  auto* csv = command->add_flag("--csv", options->csv, "CSV with a header line");
  command->add_flag("--json", options->json, "one JSON object with the map version")->excludes(csv);
  command->callback([options, &action] {
    action = [options] {
      const run::ListingFormat format = options->csv    ? run::ListingFormat::csv
                                        : options->json ? run::ListingFormat::json
                                                        : run::ListingFormat::text;
      std::fputs(modbus::map_listing(format).c_str(), stdout);
      return hostkit::kExitDone;
    };
  });
}

}  // namespace kelvra::app
