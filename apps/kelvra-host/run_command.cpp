#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "apps/kelvra-host/builtin_simulator.h"
#include "apps/kelvra-host/commands.h"
#include "fieldtools/run_watch.h"
#include "hostkit/input_error.h"
#include "hostkit/json_output.h"
#include "hostkit/plugin_loader.h"
#include "hostkit/serial_rates.h"
#include "hostkit/stdout_capture.h"
#include "modbus/modbus_server.h"
#include "northbound/mqtt_service.h"
#include "run/bench_run.h"
#include "run/settings.h"
#include "sim/simulator.h"
#include "snmp/snmp_service.h"
#include "station/console.h"
#include "upsd/ups_server.h"
#include "web/http_server.h"

namespace kelvra::app {
namespace {

constexpr hostkit::Bounds kReopenIntervalMsBounds{10, 600000};
constexpr hostkit::Bounds kRoundsBounds{1, 1000000000};
constexpr hostkit::Bounds kDurationSecondsBounds{1, 100000000};
constexpr hostkit::Bounds kRetentionDaysBounds{1, 36500};
constexpr hostkit::Bounds kDatabaseMegabytesBounds{1, 1000000};
constexpr hostkit::Bounds kCommitIntervalBounds{1, 3600};

// Options that override the settings' history retention.
struct RetentionOverrides {
  std::optional<int> keep_days;
  std::optional<int> max_db_mb;
  std::optional<int> keep_events_days;
  std::optional<int> keep_aggregate_days;
  std::optional<int> commit_interval_s;

  void apply(run::HistoryRetention& retention) const {
    if (keep_days) retention.keep_days = keep_days;
    if (max_db_mb) retention.max_db_mb = max_db_mb;
    if (keep_events_days) retention.keep_events_days = *keep_events_days;
    if (keep_aggregate_days) retention.keep_aggregate_days = *keep_aggregate_days;
    if (commit_interval_s) retention.commit_interval_s = commit_interval_s;
  }
};

// Options that override the settings of every device.
struct DeviceOverrides {
  std::optional<std::string> port;
  std::optional<unsigned> baud;
  std::optional<std::uint8_t> address;
  std::optional<std::uint8_t> ver;
  std::optional<std::chrono::milliseconds> response_timeout;
  std::optional<std::chrono::milliseconds> poll_interval;

  void apply(station::DeviceSettings& device) const {
    if (baud) device.serial.baud = *baud;
    if (address) device.address = *address;
    if (ver) device.ver = *ver;
    if (response_timeout) device.response_timeout = *response_timeout;
    if (poll_interval) device.poll_interval = *poll_interval;
  }
};

struct RunCommandOptions {
  std::optional<std::string> settings_file;
  DeviceOverrides overrides;
  RetentionOverrides retention;
  std::optional<std::chrono::milliseconds> comm_lost_after;
  bool strict = false;
  std::optional<std::string> lang;
  std::optional<std::string> mqtt_url;
  run::RunOptions run;
  BuiltinSimulatorOptions simulator;
  bool no_pace = false;
  bool json = false;
  bool plugin_output = false;
  bool trace = false;
  std::optional<std::string> trace_file;
  std::optional<std::string> http;             // ADDR:PORT; overrides the settings' "http"
  std::optional<std::string> http_token_file;  // overrides the settings' "http_token_file"
  std::vector<std::string> http_names;         // host names the HTTP server answers to
  std::optional<std::string> snmp_agentx;      // overrides the settings' snmp.agentx
  std::optional<std::string> modbus;           // ADDR:PORT; overrides the settings' "modbus"
  std::optional<std::string> ups_server;       // ADDR[:PORT]; overrides "ups_server.listen"
};

// The UPS server the options or the settings ask for; none when neither does. Throws
// hostkit::InputError for an address or users file that cannot be used.
std::optional<upsd::UpsServerOptions> ups_server_options(const RunCommandOptions& options) {
  const run::UpsServerSettings& settings = options.run.settings.ups_server;
  const std::string listen = options.ups_server.value_or(settings.listen);
  if (listen.empty()) return std::nullopt;
  upsd::UpsServerOptions ups;
  try {
    upsd::parse_ups_listen(listen, ups);
  } catch (const std::invalid_argument& error) {
    throw hostkit::InputError(std::string("--ups-server ") + error.what());
  }
  try {
    if (!settings.users_file.empty()) ups.users = upsd::read_users_file(settings.users_file);
  } catch (const std::runtime_error& error) {
    throw hostkit::InputError(std::string("ups_server.users_file ") + error.what());
  }
  ups.low_battery_v = settings.low_battery_v;
  ups.version = std::string("kelvra-host ") + KELVRA_VERSION;
  return ups;
}

// The HTTP server the options or the settings ask for; none when neither does. Throws
// hostkit::InputError for an address or token file that cannot be used.
std::optional<web::HttpOptions> http_options(const RunCommandOptions& options) {
  const std::string listen = options.http.value_or(options.run.settings.http);
  const std::string token_file =
      options.http_token_file.value_or(options.run.settings.http_token_file);
  if (listen.empty()) {
    if (!token_file.empty()) {
      throw hostkit::InputError("--http-token-file " + token_file + ": needs --http ADDR:PORT");
    }
    if (!options.http_names.empty()) {
      throw hostkit::InputError("--http-name " + options.http_names.front() +
                                ": needs --http ADDR:PORT");
    }
    return std::nullopt;
  }
  web::HttpOptions http;
  try {
    web::parse_listen_address(listen, http);
  } catch (const std::invalid_argument& error) {
    throw hostkit::InputError(std::string("--http ") + error.what());
  }
  for (const std::string& name : options.http_names) {
    if (name.empty() || name.find_first_of(" :/[]") != std::string::npos) {
      throw hostkit::InputError("--http-name \"" + name + "\": expected a host name");
    }
  }
  http.names = options.http_names;
  if (!token_file.empty()) {
    try {
      http.token = web::read_token_file(token_file);
    } catch (const run::RunError& error) {
      throw hostkit::InputError(std::string("--http-token-file ") + error.what());
    }
  }
  return http;
}

// An error of the run on standard error: text, or a JSON line with --json.
void print_error(bool json, const std::string& text) {
  if (!json) {
    std::fprintf(stderr, "kelvra-host run: %s\n", text.c_str());
    return;
  }
  Json::Value line(Json::objectValue);
  line["type"] = "error";
  line["source"] = "kelvra-host run";
  line["text"] = text;
  std::fprintf(stderr, "%s\n", hostkit::json_text(line).c_str());
}

int run_checked(RunCommandOptions& options);

// Errors of the settings are usage errors (2); with --json each is a JSON line.
int run(RunCommandOptions& options) {
  try {
    return run_checked(options);
  } catch (const hostkit::InputError& error) {
    print_error(options.json, error.what());
    return hostkit::kExitUsage;
  }
}

int run_checked(RunCommandOptions& options) {
  if (options.lang && *options.lang != "en") {
    throw hostkit::InputError("--lang " + *options.lang + ": only en is known");
  }
  options.run.settings = options.settings_file ? run::load_settings_file(*options.settings_file)
                                               : run::default_settings();
  if (options.strict) run::refuse_warnings(options.run.settings);
  if (options.overrides.port) run::override_port(options.run.settings, *options.overrides.port);
  for (station::DeviceSettings& device : options.run.settings.devices) {
    options.overrides.apply(device);
    if (options.comm_lost_after) device.comm_lost_after = options.comm_lost_after;
  }
  options.retention.apply(options.run.settings.history);
  if (options.mqtt_url) run::parse_mqtt_url("--mqtt", *options.mqtt_url, options.run.settings.mqtt);
  options.simulator.pace = !options.no_pace;
  options.simulator.link_prefix = options.run.db_path;
  std::optional<web::HttpServer> http_server;
  if (const auto http = http_options(options)) {
    http_server.emplace(*http);
    options.run.services.push_back(&*http_server);
  }
  std::optional<modbus::ModbusServer> modbus_server;
  if (const std::string listen = options.modbus.value_or(options.run.settings.modbus.listen);
      !listen.empty()) {
    const hostkit::ListenAddress address = run::parse_modbus_listen("--modbus", listen);
    modbus_server.emplace(
        modbus::ModbusOptions{address.address, address.port, options.run.settings.modbus.units});
    options.run.services.push_back(&*modbus_server);
  }
  std::optional<upsd::UpsServer> ups_server;
  if (const auto ups = ups_server_options(options)) {
    ups_server.emplace(*ups);
    options.run.services.push_back(&*ups_server);
  }

  // The plug-in's own lines are taken off standard output: JSON mode passes them on wrapped,
  // text mode shows them marked with --plugin-output.
  hostkit::StdoutCapture capture;
  std::FILE* out = fdopen(dup(capture.original_fd()), "w");
  if (out == nullptr) throw std::runtime_error("cannot duplicate standard output");
  station::Console console(out, options.json);
  console.gloss_in_english(options.lang.has_value());
  console.collect_device_output([&capture] { return capture.take_lines(); }, options.plugin_output);
  const std::string settings_source = options.settings_file.value_or("settings");
  for (const std::string& warning : options.run.settings.warnings) {
    console.problem("warning", settings_source, warning);
  }
  for (const std::string& note : options.run.settings.notes) console.note(settings_source, note);
  const auto& interval = options.overrides.poll_interval;
  if (interval && *interval < station::kDeviceRoundSpacing) {
    console.note("--poll-interval", std::to_string(interval->count()) +
                                        " ms is below the device's own 2 s between rounds: "
                                        "rounds come every 2 s");
  }
  std::unique_ptr<fieldtools::RunWatch> watch;
  try {
    watch = std::make_unique<fieldtools::RunWatch>(options.trace, options.trace_file, out, console);
  } catch (const std::runtime_error& error) {
    std::fclose(out);
    throw hostkit::InputError(error.what());
  }
  options.run.watch_line = watch->line_watcher();
  int result = hostkit::kExitDone;
  try {
    BuiltinSimulators simulators(std::move(options.simulator), console);
    options.run.port_provider = &simulators;
    std::optional<northbound::MqttService> mqtt;
    if (!options.run.settings.mqtt.url.empty()) {
      mqtt.emplace(options.run.settings.mqtt, KELVRA_VERSION);
      options.run.services.push_back(&*mqtt);
    }
    if (options.snmp_agentx) options.run.settings.snmp.agentx = *options.snmp_agentx;
    std::optional<snmp::SnmpService> snmp_agent;
    if (!options.run.settings.snmp.agentx.empty()) {
      snmp_agent.emplace(options.run.settings.snmp);
      options.run.services.push_back(&*snmp_agent);
    }
    run::BenchRun bench(std::move(options.run), console);
    const run::RunSummary summary = bench.run();
    if (!summary.ok()) {
      print_error(options.json, summary.failure);
      result = hostkit::kExitFailure;
    }
  } catch (const run::RunConfigError& error) {
    print_error(options.json, error.what());
    result = hostkit::kExitUsage;
  } catch (const run::RunError& error) {
    print_error(options.json, error.what());
    result = hostkit::kExitFailure;
  }
  console.pass_device_output();
  std::fclose(out);
  return result;
}

template <class Duration>
std::function<void(std::int64_t)> store_duration(std::optional<Duration>& target) {
  return [&target](std::int64_t count) { target = Duration(count); };
}

}  // namespace

void add_run_command(CLI::App& app, hostkit::CommandAction& action) {
  auto options = std::make_shared<RunCommandOptions>();
  DeviceOverrides& device = options->overrides;
  CLI::App* command = app.add_subcommand(
      "run",
      "Polls the power system with the plug-in, prints each round, raises and clears alarms and "
      "stores history. Without --port it polls the built-in simulator on a pseudo-terminal.");
  command
      ->add_option("--settings", options->settings_file,
                   "settings JSON: \"appSetting\", \"thresholdSetting\" and \"host\"")
      ->type_name("FILE");
  command
      ->add_option("--port", device.port,
                   "serial device of the equipment, tcp://HOST:PORT or rfc2217://HOST:PORT "
                   "of its serial device server (overrides the settings)")
      ->type_name("DEVICE|URL");
  command
      ->add_option_function<std::string>(
          "--baud",
          [&device](const std::string& text) {
            device.baud = hostkit::parse_serial_rate("--baud", text);
          },
          "line rate, 8N1 (default 9600); one of " + hostkit::serial_rates_text())
      ->type_name("RATE")
      ->check(hostkit::serial_rate_validator());
  hostkit::add_bounded(
      *command, "--address", hostkit::kDeviceAddressBounds,
      [&device](std::int64_t address) { device.address = static_cast<std::uint8_t>(address); },
      "device address (default 1)");
  hostkit::add_bounded(
      *command, "--ver", hostkit::kProtocolVersionBounds,
      [&device](std::int64_t ver) { device.ver = static_cast<std::uint8_t>(ver); },
      "protocol version (default 0x20)");
  hostkit::add_bounded(*command, "--response-timeout", station::kResponseTimeoutMsBounds,
                       store_duration(device.response_timeout),
                       "milliseconds a response may take (default 1000)");
  hostkit::add_bounded(
      *command, "--poll-interval", station::kPollIntervalMsBounds,
      store_duration(device.poll_interval),
      "milliseconds between the starts of rounds (default 1000); the device itself "
      "starts one at most every 2 s");
  hostkit::add_bounded(
      *command, "--reopen-interval", kReopenIntervalMsBounds,
      [options](std::int64_t ms) { options->run.reopen_interval = std::chrono::milliseconds(ms); },
      "milliseconds between attempts to reopen a lost port (default 3000)");
  command
      ->add_option("--plugin", options->run.plugin_path,
                   "plug-in library (default: the one installed beside kelvra-host)")
      ->type_name("PATH");
  command
      ->add_option("--db", options->run.db_path,
                   "history database; the control socket is PATH.sock")
      ->type_name("PATH")
      ->capture_default_str();
  command
      ->add_option("--scenario", options->simulator.scenario,
                   "built-in simulator scenario, a name or a file")
      ->type_name("NAME|FILE")
      ->capture_default_str();
  command->add_flag("--no-pace", options->no_pace,
                    "built-in simulator answers at once instead of at line rate");
  hostkit::add_bounded(
      *command, "--turnaround", sim::kTurnaroundMsBounds,
      [options](std::int64_t ms) { options->simulator.turnaround = std::chrono::milliseconds(ms); },
      "built-in simulator's think time in milliseconds before answering (default 5)");
  command->add_flag("--sim-log", options->simulator.log_everything,
                    "print every simulator line, not only its scenario events");
  hostkit::add_bounded(
      *command, "--sim-hangup-every", kRoundsBounds,
      [options](std::int64_t rounds) {
        options->simulator.hangup_rounds = static_cast<std::uint64_t>(rounds);
      },
      "built-in simulator closes its terminal and opens a new one after every N rounds of its "
      "device (port: a link beside the database)");
  hostkit::add_bounded(
      *command, "--rounds", kRoundsBounds,
      [options](std::int64_t rounds) { options->run.rounds = static_cast<std::uint64_t>(rounds); },
      "stop once every device completed N rounds");
  hostkit::add_bounded(
      *command, "--duration", kDurationSecondsBounds,
      [options](std::int64_t seconds) { options->run.duration = std::chrono::seconds(seconds); },
      "stop after this many seconds");
  const auto store_count = [](std::optional<int>& target) {
    return [&target](std::int64_t count) { target = static_cast<int>(count); };
  };
  RetentionOverrides& retention = options->retention;
  hostkit::add_bounded(*command, "--keep-days", kRetentionDaysBounds,
                       store_count(retention.keep_days),
                       "delete stored records older than N days (default 3)");
  hostkit::add_bounded(*command, "--max-db-mb", kDatabaseMegabytesBounds,
                       store_count(retention.max_db_mb),
                       "delete the oldest rows before the stored data would pass N MiB");
  hostkit::add_bounded(*command, "--keep-events-days", kRetentionDaysBounds,
                       store_count(retention.keep_events_days),
                       "alarm, link and control events kept N days (default 365)");
  hostkit::add_bounded(*command, "--keep-aggregate-days", kRetentionDaysBounds,
                       store_count(retention.keep_aggregate_days),
                       "hourly aggregates of the main readings kept N days (default 3650)");
  hostkit::add_bounded(*command, "--commit-interval", kCommitIntervalBounds,
                       store_count(retention.commit_interval_s),
                       "commit records to history every N seconds (default 60; events at the end "
                       "of their round); a crash loses at most the last N seconds of records");
  command
      ->add_option("--mqtt", options->mqtt_url,
                   "publish to the broker at mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (overrides "
                   "the URL of the settings' \"mqtt\" object)")
      ->type_name("URL")
      ->check([](const std::string& url) {
        run::MqttSettings mqtt;
        try {
          run::parse_mqtt_url("--mqtt", url, mqtt);
        } catch (const station::SettingsError& error) {
          return std::string(error.what());
        }
        return std::string();
      });
  command->add_flag("--json", options->json,
                    "JSON lines instead of text, the record decoded to named fields; errors and "
                    "warnings are JSON lines too");
  command->add_flag("--plugin-output", options->plugin_output,
                    "also show the plug-in's own diagnostic lines, marked \"    | \"");
  command
      ->add_option("--http", options->http,
                   "serve the dashboard, JSON API and metrics on ADDR:PORT (address default "
                   "127.0.0.1)")
      ->type_name("ADDR:PORT");
  command
      ->add_option("--http-token-file", options->http_token_file,
                   "allow control over HTTP with the bearer token in FILE; without it control "
                   "over HTTP answers 403")
      ->type_name("FILE");
  command
      ->add_option("--http-name", options->http_names,
                   "a host name the HTTP server answers to, beside its addresses and localhost "
                   "(repeatable); requests naming another Host are refused, against DNS "
                   "rebinding")
      ->type_name("NAME");
  command
      ->add_option("--snmp-agentx", options->snmp_agentx,
                   "serve the entity, sensor and KELVRA-POWER-MIB tables as an AgentX subagent "
                   "of the snmpd whose master socket is SOCKET (a path, or tcp:HOST:PORT); "
                   "overrides the settings' snmp.agentx")
      ->type_name("SOCKET")
      ->check([](const std::string& socket) {
        return socket.empty() ? std::string("expected a socket path or tcp:HOST:PORT")
                              : std::string();
      });
  command
      ->add_option("--modbus", options->modbus,
                   "serve a read-only Modbus TCP map on ADDR:PORT (address default 127.0.0.1); "
                   "each device is a unit, its position or its modbus_unit; kelvra-host "
                   "modbus-map lists the map")
      ->type_name("ADDR:PORT");
  command
      ->add_option("--ups-server", options->ups_server,
                   "answer UPS monitors on ADDR[:PORT] (port default 3493), each device a UPS "
                   "named after it; users and the low-battery level come from the settings' "
                   "\"ups_server\" object")
      ->type_name("ADDR[:PORT]");
  command->add_flag("--strict", options->strict,
                    "refuse settings that draw a warning instead of running");
  hostkit::add_bounded(*command, "--comm-lost-after", station::kCommLostAfterMsBounds,
                       store_duration(options->comm_lost_after),
                       "milliseconds without a completed round that raise COMM_LOST (default 3 "
                       "response timeouts + 2 s spacing + 1 poll interval)");
  command
      ->add_option("--lang", options->lang,
                   "en: an English gloss beside the device's alarm names and texts")
      ->type_name("en");
  command->add_flag("--trace", options->trace,
                    "print every frame written and read, and every bad input (JSON lines with "
                    "--json)");
  command
      ->add_option("--trace-file", options->trace_file,
                   "the same trace into FILE instead of standard output")
      ->type_name("FILE");
  command->footer(
      "The \"host\" object: port, baud, data_bits, parity (none|odd|even), stop_bits, address,\n"
      "ver, data_id, response_timeout_ms, poll_interval_ms, comm_lost_after_ms, comm_lost_level\n"
      "(default 1), set_value_min and set_value_max (volts a control's SetValue may ask for,\n"
      "default 40 to 60), keep_days, max_db_mb, keep_events_days, keep_aggregate_days and\n"
      "commit_interval_s (host object only), threshold_levels {KEY: level},\n"
      "threshold_values {KEY: value}, analog_signals [record field names], and devices: an array\n"
      "of objects with the same keys plus name and appSetting, one per device (several\n"
      "addresses on one port are polled in turn, and modbus_unit 1 to 247), plus http and\n"
      "http_token_file for the run. A top-level \"modbus\" object {\"listen\": \"ADDR:PORT\"}\n"
      "starts the Modbus TCP server.\n"
      "Beside \"host\": \"snmp\": {\"agentx\": SOCKET, \"enterprise_oid\": "
      "\"1.3.6.1.4.1.32473.419\"}.\n"
      "Top level \"ups_server\": listen, users_file (\"NAME PASSWORD [primary]\" lines) and\n"
      "low_battery_v (40 to 56, default 47).\n"
      "Numbers have the bounds of the options above.\n"
      "SIGINT or SIGTERM ends the run cleanly. Exit status: 0 done, 1 failed or no round\n"
      "completed, 2 usage or settings that can never work (a rate a port cannot take, a port\n"
      "that is no terminal, two devices at one address on one port, a device name that cannot\n"
      "be an MQTT topic level or a file name, a broker file that cannot be read, an unknown\n"
      "scenario).");
  command->callback([options, &action] { action = [options] { return run(*options); }; });
}

}  // namespace kelvra::app
