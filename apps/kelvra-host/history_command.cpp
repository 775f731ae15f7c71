#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/kelvra-host/commands.h"
#include "history/history_reader.h"
#include "hostkit/input_error.h"
#include "hostkit/local_time.h"
#include "run/history_listing.h"

namespace kelvra::app {
namespace {

constexpr hostkit::Bounds kLastBounds{1, 1000000000};
constexpr std::int64_t kDayMs = 24 * 3600 * 1000;

struct HistoryOptions {
  std::string db = "kelvra.db";
  history::HistoryQuery query;
  std::optional<std::string> types;
  std::optional<std::string> series;
  std::optional<std::string> step;
  bool json = false;
  bool csv = false;
};

// A local time for --since or --until; a time that does not exist is refused naming the option.
std::int64_t time_option(const std::string& option, const std::string& text) {
  const auto parsed = hostkit::parse_local_time(text);
  if (!parsed) {
    throw hostkit::InputError(option + " " + text +
                              ": not a time; expected YYYY-MM-DD[ HH:MM[:SS[.mmm]]] (local time)");
  }
  return *parsed;
}

std::vector<history::TimelineKind> kinds_of(const std::string& types) {
  std::vector<history::TimelineKind> kinds;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = types.find(',', start);
    const std::string name = types.substr(start, comma - start);
    const auto kind = history::timeline_kind_named(name);
    if (!kind) {
      throw hostkit::InputError("--type " + types + ": \"" + name +
                                "\" is none of record, alarm, link, control");
    }
    kinds.push_back(*kind);
    if (comma == std::string::npos) return kinds;
    start = comma + 1;
  }
}

// Refuses a --device the database has never heard of, naming the ones it has; a port of link
// events only counts when it has rows.
void check_device_known(history::HistoryReader& history, const std::string& db,
                        const std::string& device) {
  const std::vector<std::string> names = history.device_names();
  if (std::find(names.begin(), names.end(), device) != names.end()) return;
  std::string known;
  for (const std::string& name : names) known += (known.empty() ? "" : ", ") + name;
  throw hostkit::InputError(
      "--device " + device + ": no such device in " + db +
      (known.empty() ? " (it holds no device)" : " (its devices: " + known + ")"));
}

// CSV: the records' readings, one line per round; events have their own columns and are listed
// without --csv.
int list_readings(history::HistoryReader& history, const HistoryOptions& options) {
  const auto& kinds = options.query.kinds;
  if (std::any_of(kinds.begin(), kinds.end(), [](history::TimelineKind kind) {
        return kind != history::TimelineKind::record;
      })) {
    throw hostkit::InputError("--csv lists the records' readings; list events without --csv");
  }
  const std::vector<history::StoredRecord> rows = history.records(options.query);
  if (rows.empty() && options.query.device) {
    check_device_known(history, options.db, *options.query.device);
  }
  std::fputs(run::readings_csv(rows).c_str(), stdout);
  return hostkit::kExitDone;
}

int list(HistoryOptions& options) {
  if (options.json && options.csv) throw hostkit::InputError("--json and --csv: give one");
  const run::ListingFormat format = options.json  ? run::ListingFormat::json
                                    : options.csv ? run::ListingFormat::csv
                                                  : run::ListingFormat::text;
  history::HistoryQuery& query = options.query;
  if (query.since_ms && query.until_ms && *query.until_ms <= *query.since_ms) {
    throw hostkit::InputError("--until must be later than --since");
  }
  if (options.types) query.kinds = kinds_of(*options.types);
  if (options.series) {
    if (options.types || query.last) {
      throw hostkit::InputError("--series takes neither --type nor --last");
    }
    const std::string step_text = options.step.value_or("1m");
    const auto step = run::parse_step(step_text);
    if (!step) {
      throw hostkit::InputError("--step " + step_text + ": expected e.g. 500ms, 30s, 5m, 1h, 1d");
    }
    const std::int64_t until = query.until_ms.value_or(hostkit::utc_now_ms());
    const std::int64_t since = query.since_ms.value_or(until - kDayMs);
    history::HistoryReader history(options.db);
    if (query.device) check_device_known(history, options.db, *query.device);
    run::list_series(history, query.device, *options.series, since, until, *step, format, stdout);
    return hostkit::kExitDone;
  }
  if (options.step) throw hostkit::InputError("--step belongs to --series");
  history::HistoryReader history(options.db);
  if (format == run::ListingFormat::csv) return list_readings(history, options);
  const std::size_t listed = run::list_timeline(history, query, format, stdout);
  if (listed == 0 && query.device) check_device_known(history, options.db, *query.device);
  return hostkit::kExitDone;
}

}  // namespace

void add_history_command(CLI::App& app, hostkit::CommandAction& action) {
  auto options = std::make_shared<HistoryOptions>();
  CLI::App* command = app.add_subcommand(
      "history",
      "Lists stored records, alarm, link and control events as one timeline in time order, or "
      "one reading's minimum, mean and maximum per step. The database is only read.");
  command->add_option("--db", options->db, "history database")
      ->type_name("PATH")
      ->capture_default_str();
  command
      ->add_option_function<std::string>(
          "--since",
          [options](const std::string& text) {
            options->query.since_ms = time_option("--since", text);
          },
          "from TIME on (YYYY-MM-DD[ HH:MM[:SS[.mmm]]], local time)")
      ->type_name("TIME");
  command
      ->add_option_function<std::string>(
          "--until",
          [options](const std::string& text) {
            options->query.until_ms = time_option("--until", text);
          },
          "before TIME")
      ->type_name("TIME");
  command->add_option("--device", options->query.device, "only this device (link events: port)")
      ->type_name("NAME");
  command->add_option("--type", options->types, "record, alarm, link, control; comma-separated")
      ->type_name("KINDS");
  hostkit::add_bounded(
      *command, "--last", kLastBounds,
      [options](std::int64_t last) { options->query.last = static_cast<std::size_t>(last); },
      "only the newest N rows");
  command
      ->add_option("--series", options->series,
                   "one reading by its record field name, e.g. dc.out_v; spans the last day "
                   "unless --since is given")
      ->type_name("FIELD");
  command->add_option("--step", options->step, "series step: 500ms, 30s, 5m, 1h, 1d (default 1m)")
      ->type_name("STEP");
  command->add_flag("--json", options->json, "JSON lines, records decoded to named fields");
  command->add_flag("--csv", options->csv,
                    "CSV of the records' readings: one line per round, one column per field, units "
                    "in the header");
  command->callback([options, &action] { action = [options] { return list(*options); }; });
}

}  // namespace kelvra::app
