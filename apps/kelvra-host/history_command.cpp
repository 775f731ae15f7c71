#include <cstdio>
#include <memory>
#include <string>

#include "apps/kelvra-host/commands.h"
#include "line/console.h"
#include "line/history_listing.h"

namespace kelvra::app {
namespace {

constexpr hostkit::Bounds kLastBounds{1, 1000000000};

struct HistoryOptions {
  std::string db = "kelvra.db";
  line::HistoryQuery query;
  bool json = false;
};

int list(const HistoryOptions& options) {
  line::Console console(stdout, options.json);
  line::list_history(options.db, options.query, console);
  return hostkit::kExitDone;
}

}  // namespace

void add_history_command(CLI::App& app, hostkit::CommandAction& action) {
  auto options = std::make_shared<HistoryOptions>();
  CLI::App* command = app.add_subcommand(
      "history", "Lists stored records, alarm events and communication events, oldest first.");
  command->add_option("--db", options->db, "history database")
      ->type_name("PATH")
      ->capture_default_str();
  hostkit::add_bounded(
      *command, "--last", kLastBounds,
      [options](std::int64_t last) { options->query.last = static_cast<std::size_t>(last); },
      "only the newest N of each");
  command
      ->add_option_function<std::string>(
          "--since",
          [options](const std::string& text) {
            options->query.since = line::history_since("--since", text);
          },
          "only those at or after TIME (YYYY-MM-DD[ HH:MM[:SS]], local time)")
      ->type_name("TIME");
  command->add_flag("--json", options->json, "JSON lines, records decoded to named fields");
  command->callback([options, &action] { action = [options] { return list(*options); }; });
}

}  // namespace kelvra::app
