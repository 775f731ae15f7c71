#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "apps/kelvra-host/commands.h"
#include "record/kelvra_419_fields.h"
#include "run/decode_input.h"

namespace kelvra::app {
namespace {

struct DecodeOptions {
  std::string source;
  bool json = false;
};

int decode(const DecodeOptions& options) {
  const std::vector<std::uint8_t> bytes = run::read_record_source(options.source);
  const auto record = record::from_bytes(bytes.data(), bytes.size());
  if (!record) {
    throw std::runtime_error(options.source + ": " + std::to_string(bytes.size()) +
                             " bytes; a record has " + std::to_string(record::kRecordSize));
  }
  std::fputs(run::decode_listing(*record, options.json).c_str(), stdout);
  return hostkit::kExitDone;
}

}  // namespace

void add_decode_command(CLI::App& app, hostkit::CommandAction& action) {
  auto options = std::make_shared<DecodeOptions>();
  CLI::App* command = app.add_subcommand(
      "decode",
      "Decodes a 763-byte device record (a binary file, or hex in a file or on the command line) "
      "to its named fields: offset, name and value per line, or one JSON object.");
  command
      ->add_option("SOURCE", options->source,
                   "record file (binary or hex) or hex digits; blanks only between bytes")
      ->type_name("FILE|HEX")
      ->required();
  command->add_flag("--json", options->json, "one JSON object instead of lines");
  command->callback([options, &action] { action = [options] { return decode(*options); }; });
}

}  // namespace kelvra::app
