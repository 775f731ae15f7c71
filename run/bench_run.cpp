#include "run/bench_run.h"

#include <csignal>
#include <functional>
#include <map>
#include <set>

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "history/database_lock.h"
#include "history/history_store.h"
#include "hostkit/json_input.h"
#include "hostkit/json_output.h"
#include "hostkit/local_time.h"
#include "hostkit/plugin_loader.h"
#include "run/control_outcomes.h"
#include "run/control_socket.h"
#include "run/serial_line.h"
#include "run/start_checks.h"
#include "station/control_check.h"
#include "station/station.h"

namespace kelvra::run {

using station::check_control;
using station::comm_lost_after;
using station::Console;
using station::ControlVerdict;
using station::device_control_table;
using station::DeviceSettings;
using station::LineObserver;
using station::refusal_text;
using station::RunEvents;
using station::SetValueRange;
using station::Station;
namespace {

namespace asio = boost::asio;

constexpr auto kIdleCheck = std::chrono::milliseconds(20);
constexpr auto kCommunicationCheck = std::chrono::milliseconds(100);

// Calls done once the station has no exchange open or waiting, or at the deadline.
void when_idle(asio::io_context& io, const hostkit::TurnClock& clock, Station& station,
               std::chrono::steady_clock::time_point deadline, std::function<void()> done) {
  if (station.idle() || clock.steady() >= deadline) {
    done();
    return;
  }
  auto timer = std::make_shared<asio::steady_timer>(io, kIdleCheck);
  timer->async_wait(
      [&io, &clock, &station, deadline, done, timer](const boost::system::error_code& error) {
        if (error) return;
        when_idle(io, clock, station, deadline, done);
      });
}

// Why a control request cannot be served as it is, or empty: a member of the wrong type or one
// no command takes.
std::string request_problem(const Json::Value& request) {
  try {
    kelvra::hostkit::JsonObjectReader members = kelvra::hostkit::JsonNode(request, "").object();
    for (const char* text_member : {"command", "device", "key", "argument", "id"}) {
      if (auto member = members.find(text_member)) member->text();
    }
    if (auto code = members.find("code")) {
      if (!code->value().isInt()) code->fail("expected an integer");
    }
    for (const char* flag_member : {"force", "all"}) {
      if (auto member = members.find(flag_member)) member->boolean();
    }
    members.finish();
    return "";
  } catch (const kelvra::hostkit::InputError& error) {
    return error.what();
  }
}

// The answer to a control request not carried out: the run is stopping, or a request with its id
// was carried out at `done_ms` (UTC).
Json::Value not_carried_out(const std::string& device, const std::string& request_id,
                            std::optional<std::int64_t> done_ms) {
  Json::Value answer(Json::objectValue);
  answer["ok"] = false;
  answer["device"] = device;
  if (done_ms) {
    answer["duplicate"] = true;
    answer["error"] = "request id \"" + request_id + "\" was carried out at " +
                      hostkit::local_time_text(*done_ms) + ": not again";
  } else {
    answer["error"] = "the run is stopping: nothing was sent";
  }
  return answer;
}

}  // namespace

struct BenchRun::Parts {
  std::unique_ptr<history::DatabaseLock> lock;  // outlives the history written under it
  std::unique_ptr<history::HistoryStore> history;
  std::unique_ptr<kelvra::hostkit::LoadedPlugin> plugin;
  std::vector<std::unique_ptr<Station>> stations;
  std::vector<std::unique_ptr<LineObserver>> watchers;  // outlive the lines they watch
  std::vector<std::unique_ptr<SerialLine>> lines;
  std::unique_ptr<ControlServer> control;
  std::unique_ptr<ControlOutcomes> control_outcomes;
  bool stopping = false;  // control requests are no longer carried out
  std::vector<Station*> station_views;
  RunEvents events;
  std::unique_ptr<RunContext> context;
  std::vector<RunService*> started_services;
  std::chrono::steady_clock::time_point started;
  std::string plugin_path;  // as loaded, for the errors of creating devices

  Station* station_named(const Json::Value& name) {
    if (name.isNull()) return stations.size() == 1 ? stations.front().get() : nullptr;
    for (const auto& station : stations) {
      if (station->settings().name == name.asString()) return station.get();
    }
    return nullptr;
  }
  std::string device_names() const {
    std::string names;
    for (const auto& station : stations) {
      names += (names.empty() ? "" : ", ") + station->settings().name;
    }
    return names;
  }
  std::unique_ptr<asio::steady_timer> communication_timer;
};

BenchRun::BenchRun(RunOptions options, Console& console)
    : options_(std::move(options)), console_(console) {}

BenchRun::~BenchRun() {
  if (parts_) {
    for (RunService* service : parts_->started_services) service->stop();
  }
}

void BenchRun::request_stop() {
  asio::post(io_, [this] {
    if (parts_) {
      parts_->stopping = true;
      for (const auto& line : parts_->lines) line->stop();
      if (parts_->control) parts_->control->stop();
      // Requesters still waiting for a read-back are answered; one more turn sends the answers.
      if (parts_->control_outcomes && parts_->control_outcomes->stop_all() > 0) {
        asio::post(io_, [this] { io_.stop(); });
        return;
      }
    }
    io_.stop();
  });
}

void BenchRun::check_configuration() const {
  const RunSettings& settings = options_.settings;
  for (const DeviceSettings& device : settings.devices) check_port(device);
  check_one_device_per_address(settings.devices);
  if (!settings.mqtt.url.empty()) check_mqtt_files(settings.mqtt);
}

RunSummary BenchRun::run() {
  check_configuration();
  // The console dates its notes by the loop's turns while the run lasts.
  struct ConsoleClock {
    Console& console;
    ~ConsoleClock() { console.read_time_from(nullptr); }
  } console_clock{console_};
  console_.read_time_from(&clock_);
  set_up();
  start();
  poll_until_stopped();
  const RunSummary summary = finish();
  // An ended run holds nothing: its history is written out and the database lock let go.
  parts_.reset();
  return summary;
}

void BenchRun::set_up() {
  parts_ = std::make_unique<Parts>();
  parts_->started = clock_.steady();
  parts_->control_outcomes = std::make_unique<ControlOutcomes>(
      [this](const events::ControlEvent& event) { record_control(event); });
  open_history();
  load_plugin();
  // The socket before any simulator: a second run on the same database is refused untouched.
  if (options_.control_socket) open_control_socket();
  std::set<std::string> provided_ports;
  const std::vector<DeviceSettings> devices = devices_with_ports(provided_ports);
  std::map<std::string, SerialLine*> line_of_port;
  for (const DeviceSettings& device : devices) {
    PortProvider* provider = provided_ports.count(device.port) ? options_.port_provider : nullptr;
    add_station(device, line_of_port, provider);
  }
}

void BenchRun::open_history() {
  // History that cannot be written is said once; its rows wait in memory and polling goes on.
  history::HistoryOptions history_options = options_.history;
  const HistoryRetention& retention = options_.settings.history;
  history_options.keep_days = retention.keep_days;
  history_options.max_db_mb = retention.max_db_mb;
  history_options.keep_events_days = retention.keep_events_days;
  history_options.keep_aggregate_days = retention.keep_aggregate_days;
  if (retention.commit_interval_s) {
    history_options.flush_interval = std::chrono::seconds(*retention.commit_interval_s);
  }
  if (!history_options.wall_clock && !history_options.steady_clock) {
    history_options.wall_clock = [this] { return clock_.utc_ms(); };
    history_options.steady_clock = [this] { return clock_.steady(); };
  }
  try {
    parts_->lock = std::make_unique<history::DatabaseLock>(options_.db_path);
  } catch (const history::DatabaseInUse& error) {
    throw RunConfigError(error.what());
  }
  if (const auto& untaken = parts_->lock->untaken_reason()) {
    console_.note(options_.db_path, "not locked against a second run: " + *untaken);
  }
  parts_->history = std::make_unique<history::HistoryStore>(
      options_.db_path, [this](const std::string& text) { console_.note(options_.db_path, text); },
      history_options);
}

void BenchRun::load_plugin() {
  Parts& parts = *parts_;
  parts.plugin_path = options_.plugin_path.empty() ? kelvra::hostkit::plugin_beside_program()
                                                   : options_.plugin_path;
  try {
    parts.plugin = std::make_unique<kelvra::hostkit::LoadedPlugin>(parts.plugin_path);
  } catch (const kelvra::hostkit::PluginLoadError& error) {
    throw RunError(options_.plugin_path.empty()
                       ? "the plug-in installed beside the program (" + parts.plugin_path +
                             "; --plugin names another): " + error.what()
                       : "--plugin " + parts.plugin_path + ": " + error.what());
  }
}

void BenchRun::open_control_socket() {
  Parts& parts = *parts_;
  parts.control = std::make_unique<ControlServer>(
      io_, control_socket_path(options_.db_path),
      [this](const Json::Value& request, const std::string& origin, ControlReply reply) {
        handle(request, origin, reply);
      },
      [this](const std::string& text) { console_.note("kelvra-host", text); }, clock_);
  try {
    parts.control->start();
  } catch (const ControlError& error) {
    throw RunError(error.what());
  }
}

std::vector<DeviceSettings> BenchRun::devices_with_ports(std::set<std::string>& provided_ports) {
  std::vector<DeviceSettings> devices = options_.settings.devices;
  for (DeviceSettings& device : devices) {
    if (!device.port.empty()) continue;
    if (options_.port_provider == nullptr) throw RunError(device.name + ": no port given");
    device.port = options_.port_provider->provide(device);
    provided_ports.insert(device.port);
  }
  return devices;
}

void BenchRun::add_station(const DeviceSettings& device,
                           std::map<std::string, SerialLine*>& line_of_port,
                           PortProvider* provider) {
  Parts& parts = *parts_;
  kelvra::hostkit::DevicePtr created;
  try {
    created = parts.plugin->create_device();
  } catch (const kelvra::hostkit::PluginLoadError& error) {
    throw RunError(parts.plugin_path + ": " + error.what());
  }
  std::unique_ptr<Station> station;
  try {
    station =
        std::make_unique<Station>(device, std::move(created), console_, *parts.history, clock_);
  } catch (const std::runtime_error& error) {
    throw RunError(parts.plugin_path + ": " + error.what());
  }
  SerialLine& line = line_for(device, line_of_port);
  line.add(*station);
  station->configure(line.access());
  station->on_round([this, provider](const Station& done) { round_done(done, provider); });
  parts.stations.push_back(std::move(station));
}

SerialLine& BenchRun::line_for(const DeviceSettings& device,
                               std::map<std::string, SerialLine*>& line_of_port) {
  Parts& parts = *parts_;
  SerialLine*& line = line_of_port[device.port];
  if (line != nullptr) return *line;
  serial::LineTiming timing;
  timing.poll_interval = device.poll_interval;
  timing.reopen_interval = options_.reopen_interval;
  parts.lines.push_back(std::make_unique<SerialLine>(io_, device.port, device.serial, timing,
                                                     console_, *parts.history, clock_));
  line = parts.lines.back().get();
  if (options_.watch_line) {
    parts.watchers.push_back(options_.watch_line(device.port));
    line->watch(parts.watchers.back().get());
  }
  return *line;
}

void BenchRun::round_done(const Station& station, PortProvider* provider) {
  if (provider) {
    asio::post(io_, [provider, name = station.settings().name, rounds = station.counters().rounds] {
      provider->after_round(name, rounds);
    });
  }
  if (!options_.rounds) return;
  for (const auto& each : parts_->stations) {
    if (each->counters().rounds < *options_.rounds) return;
  }
  request_stop();
}

void BenchRun::start() {
  Parts& parts = *parts_;
  for (const auto& station : parts.stations) {
    station->set_observer(&parts.events);
    parts.station_views.push_back(station.get());
  }
  for (const auto& line : parts.lines) line->set_observer(&parts.events);
  parts.context = std::make_unique<RunContext>(
      RunContext{io_, parts.station_views, *parts.history, console_, parts.events, clock_,
                 [this](const Json::Value& request, const std::string& origin, RunReply reply) {
                   handle(request, origin, reply);
                 }});
  for (RunService* service : options_.services) {
    service->start(*parts.context);
    parts.started_services.push_back(service);
  }

  for (const auto& station : parts.stations) {
    if (station->restore_from_history()) {
      console_.note(station->settings().name,
                    "last stored record handed to the device: " + station->data_text());
    }
  }
}

void BenchRun::poll_until_stopped() {
  Parts& parts = *parts_;
  asio::signal_set signals(io_, SIGINT, SIGTERM);
  signals.async_wait([this](const boost::system::error_code& error, int signal_number) {
    if (error) return;
    console_.note("kelvra-host", "stopping on signal " + std::to_string(signal_number));
    request_stop();
  });
  asio::steady_timer duration_timer(io_);
  if (options_.duration) {
    duration_timer.expires_after(*options_.duration);
    duration_timer.async_wait([this](const boost::system::error_code& error) {
      if (error) return;
      console_.note("kelvra-host", "run duration reached");
      request_stop();
    });
  }
  parts.communication_timer = std::make_unique<asio::steady_timer>(io_);

  // Once a second: history's queue committed, console lines written out.
  asio::steady_timer flush_timer(io_);
  std::function<void()> flush_every_second = [&] {
    flush_timer.expires_after(std::chrono::seconds(1));
    flush_timer.async_wait([&](const boost::system::error_code& error) {
      if (error) return;
      parts.history->tick();
      console_.flush();
      flush_every_second();
    });
  };
  flush_every_second();

  for (const auto& line : parts.lines) line->start();
  watch_communication();
  hostkit::run_in_turns(io_, clock_);
}

RunSummary BenchRun::finish() {
  Parts& parts = *parts_;
  parts.communication_timer->cancel();
  for (const auto& line : parts.lines) line->stop();
  if (parts.control) parts.control->stop();
  for (RunService* service : parts.started_services) service->stop();
  parts.started_services.clear();
  RunSummary summary;
  for (const auto& station : parts.stations) summary.rounds += station->counters().rounds;
  summary.failure = failure_;
  if (summary.failure.empty() && summary.rounds == 0) {
    summary.failure = "no device completed a round";
  }
  parts.history->flush();
  const auto not_stored = parts.history->not_stored_reason();
  const std::uint64_t dropped = parts.history->dropped_rows();
  const std::string lost =
      not_stored ? "; " + std::to_string(parts.history->queued_rows()) + " queued rows lost at exit"
                 : "";
  console_.note(
      "kelvra-host",
      "stopped after " + std::to_string(summary.rounds) +
          (summary.rounds == 1 ? " round" : " rounds") +
          (summary.ok() ? "" : " (" + summary.failure + ")") + "; " +
          (not_stored ? "history NOT stored: " + *not_stored : "history in " + options_.db_path) +
          (dropped ? " (" + std::to_string(dropped) + " rows dropped)" : "") + lost);
  console_.flush();
  // A run whose history is not all stored failed, though it polled.
  if (summary.ok() && (not_stored || dropped)) {
    summary.failure = not_stored ? "history NOT stored: " + *not_stored + lost
                                 : std::to_string(dropped) + " history rows dropped";
  }
  return summary;
}

void BenchRun::watch_communication() {
  Parts& parts = *parts_;
  for (const auto& station : parts.stations) {
    station->watch_communication();
    if (options_.rounds && failure_.empty() && station->counters().rounds < *options_.rounds &&
        station->overdue()) {
      failure_ = station->settings().name + " completed no round within " +
                 std::to_string(comm_lost_after(station->settings()).count()) + " ms";
      console_.note("kelvra-host", "stopping: " + failure_);
      request_stop();
    }
  }
  parts.communication_timer->expires_after(kCommunicationCheck);
  parts.communication_timer->async_wait([this](const boost::system::error_code& error) {
    if (!error) watch_communication();
  });
}

void BenchRun::record_control(const events::ControlEvent& event) {
  parts_->history->add_control_event(event);
  console_.control(event);
  parts_->events.control_event(event);
}

void BenchRun::handle(const Json::Value& request, const std::string& origin,
                      const RunReply& reply) {
  Parts& parts = *parts_;
  Json::Value answer(Json::objectValue);
  const std::string problem = request_problem(request);
  if (!problem.empty()) {
    answer["ok"] = false;
    answer["error"] = problem;
    reply(answer);
    return;
  }
  const std::string command = request["command"].asString();
  if (command == "status") {
    answer["ok"] = true;
    answer["uptime_s"] = std::chrono::duration<double>(clock_.steady() - parts.started).count();
    answer["db"] = options_.db_path;
    answer["history"] = parts.history->storing_text();
    answer["devices"] = Json::Value(Json::arrayValue);
    for (const auto& station : parts.stations) answer["devices"].append(station->status());
    answer["lines"] = Json::Value(Json::arrayValue);
    for (const auto& line : parts.lines) answer["lines"].append(line->status());
    reply(answer);
    return;
  }
  if (command != "query" && command != "control") {
    answer["ok"] = false;
    answer["error"] = "unknown command \"" + command + "\" (query, control, status)";
    reply(answer);
    return;
  }
  Station* station = parts.station_named(request["device"]);
  if (station == nullptr) {
    answer["ok"] = false;
    answer["error"] = request["device"].isNull()
                          ? "several devices: name one with --device (" + parts.device_names() + ")"
                          : "no device named \"" + request["device"].asString() + "\" (" +
                                parts.device_names() + ")";
    reply(answer);
    return;
  }
  if (command == "query") {
    reply(request["all"].asBool() ? station->query_all()
                                  : station->query(request["key"].asString()));
    return;
  }
  handle_control(*station, request, origin, reply);
}

void BenchRun::handle_control(Station& station, const Json::Value& request,
                              const std::string& origin, const RunReply& reply) {
  Parts& parts = *parts_;
  const std::string request_id = request["id"].asString();
  const auto done_ms =
      request_id.empty() ? std::nullopt : parts.history->control_id_time(request_id);
  if (parts.stopping || done_ms) {
    reply(not_carried_out(station.settings().name, request_id, done_ms));
    return;
  }
  events::ControlEvent event{clock_.utc_ms(),
                             station.settings().name,
                             origin,
                             request["code"].asInt(),
                             request["argument"].asString(),
                             "",
                             "",
                             ""};
  const DeviceSettings& settings = station.settings();
  const ControlVerdict check =
      check_control(event.code, event.argument, device_control_table(),
                    SetValueRange{settings.set_value_min, settings.set_value_max});
  const bool force = request["force"].asBool();
  if (check.refused && !force) {
    // HTTP and MQTT requests cannot carry "force"; only the socket's origin names start so.
    const bool origin_can_force = origin.rfind("socket", 0) == 0;
    event.verdict = "refused";
    event.detail = refusal_text(check, origin_can_force);
    record_control(event);
    Json::Value answer(Json::objectValue);
    answer["ok"] = false;
    answer["device"] = settings.name;
    answer["code"] = event.code;
    answer["refused"] = true;
    answer["error"] = event.detail;
    reply(answer);
    return;
  }
  Json::Value result = station.control(event.code, event.argument);
  if (!result["ok"].asBool()) {
    event.verdict = "refused";
    event.detail = result["error"].asString();
    record_control(event);
    reply(result);
    return;
  }
  event.verdict = check.refused ? "forced" : "passed";
  if (!check.words.empty()) result["note"] = check.words;
  event.detail = (check.words.empty() ? "" : check.words + "; ") + "device returned " +
                 result["result"].asString();
  if (!request_id.empty()) parts.history->add_control_id(request_id);
  const std::uint64_t ticket = parts.control_outcomes->sent(event, result, reply);
  // The answer to the control command comes through the poll cycle; wait for the exchange.
  const auto deadline = clock_.steady() + settings.response_timeout * 10 + std::chrono::seconds(1);
  Station* target = &station;
  when_idle(io_, clock_, station, deadline, [this, target, ticket] {
    parts_->control_outcomes->read_back(
        ticket,
        ControlOutcomes::Outcome{target->control_commands_sent(), target->control_readback()});
  });
}

}  // namespace kelvra::run
