#include "line/bench_run.h"

#include <csignal>
#include <functional>
#include <map>
#include <set>

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "hostkit/json_input.h"
#include "hostkit/plugin_loader.h"
#include "line/control_socket.h"
#include "line/history_store.h"
#include "line/serial_line.h"
#include "line/station.h"

namespace kelvra::line {
namespace {

namespace asio = boost::asio;

constexpr auto kIdleCheck = std::chrono::milliseconds(20);

// Calls done once the station has no exchange open or waiting, or at the deadline.
void when_idle(asio::io_context& io, Station& station,
               std::chrono::steady_clock::time_point deadline, std::function<void()> done) {
  if (station.idle() || std::chrono::steady_clock::now() >= deadline) {
    done();
    return;
  }
  auto timer = std::make_shared<asio::steady_timer>(io, kIdleCheck);
  timer->async_wait([&io, &station, deadline, done, timer](const boost::system::error_code& error) {
    if (error) return;
    when_idle(io, station, deadline, done);
  });
}

// Why a control request cannot be served as it is, or empty: a member of the wrong type or one
// no command takes.
std::string request_problem(const Json::Value& request) {
  try {
    kelvra::hostkit::JsonObjectReader members = kelvra::hostkit::JsonNode(request, "").object();
    for (const char* text_member : {"command", "device", "key", "argument"}) {
      if (auto member = members.find(text_member)) member->text();
    }
    if (auto code = members.find("code")) {
      if (!code->value().isInt()) code->fail("expected an integer");
    }
    members.finish();
    return "";
  } catch (const kelvra::hostkit::InputError& error) {
    return error.what();
  }
}

}  // namespace

struct BenchRun::Parts {
  std::unique_ptr<HistoryStore> history;
  std::unique_ptr<kelvra::hostkit::LoadedPlugin> plugin;
  std::vector<std::unique_ptr<Station>> stations;
  std::vector<std::unique_ptr<SerialLine>> lines;
  std::unique_ptr<ControlServer> control;
  std::vector<Station*> station_views;
  RunEvents events;
  std::unique_ptr<RunContext> context;
  std::vector<RunService*> started_services;
  std::chrono::steady_clock::time_point started;

  Station* station_named(const Json::Value& name) {
    if (name.isNull()) return stations.front().get();
    for (const auto& station : stations) {
      if (station->settings().name == name.asString()) return station.get();
    }
    return nullptr;
  }
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
      for (const auto& line : parts_->lines) line->stop();
      if (parts_->control) parts_->control->stop();
    }
    io_.stop();
  });
}

void BenchRun::run() {
  parts_ = std::make_unique<Parts>();
  Parts& parts = *parts_;
  parts.started = std::chrono::steady_clock::now();
  // History that cannot be written is said once and tried again every round; polling goes on.
  parts.history = std::make_unique<HistoryStore>(
      options_.db_path, [this](const std::string& text) { console_.note(options_.db_path, text); });
  try {
    parts.plugin = std::make_unique<kelvra::hostkit::LoadedPlugin>(options_.plugin_path);
  } catch (const kelvra::hostkit::PluginLoadError& error) {
    throw RunError(std::string("--plugin ") + options_.plugin_path + ": " + error.what());
  }

  std::vector<DeviceSettings> devices = options_.settings.devices;
  std::set<std::string> provided_ports;
  for (DeviceSettings& device : devices) {
    if (!device.port.empty()) continue;
    if (options_.port_provider == nullptr) throw RunError(device.name + ": no port given");
    device.port = options_.port_provider->provide(device);
    provided_ports.insert(device.port);
  }

  std::map<std::string, SerialLine*> line_of_port;
  for (const DeviceSettings& device : devices) {
    kelvra::hostkit::DevicePtr created;
    try {
      created = parts.plugin->create_device();
    } catch (const kelvra::hostkit::PluginLoadError& error) {
      throw RunError(options_.plugin_path + ": " + error.what());
    }
    std::unique_ptr<Station> station;
    try {
      station = std::make_unique<Station>(device, std::move(created), console_, *parts.history);
    } catch (const std::runtime_error& error) {
      throw RunError(options_.plugin_path + ": " + error.what());
    }
    SerialLine*& line = line_of_port[device.port];
    if (line == nullptr) {
      LineTiming timing;
      timing.poll_interval = device.poll_interval;
      timing.reopen_interval = options_.reopen_interval;
      parts.lines.push_back(std::make_unique<SerialLine>(io_, device.port, device.serial, timing,
                                                         console_, *parts.history));
      line = parts.lines.back().get();
    }
    line->add(*station);
    station->configure(*line);
    PortProvider* provider = provided_ports.count(device.port) ? options_.port_provider : nullptr;
    station->on_round([this, provider](const Station& done) {
      if (provider) {
        asio::post(io_, [provider, name = done.settings().name, rounds = done.counters().rounds] {
          provider->after_round(name, rounds);
        });
      }
      if (!options_.rounds) return;
      for (const auto& each : parts_->stations) {
        if (each->counters().rounds < *options_.rounds) return;
      }
      request_stop();
    });
    parts.stations.push_back(std::move(station));
  }

  if (options_.control_socket) {
    parts.control =
        std::make_unique<ControlServer>(io_, control_socket_path(options_.db_path),
                                        [this](const Json::Value& request, ControlReply reply) {
                                          handle(request, "socket", reply);
                                        });
    try {
      parts.control->start();
    } catch (const ControlError& error) {
      throw RunError(error.what());
    }
  }

  for (const auto& station : parts.stations) {
    station->set_observer(&parts.events);
    parts.station_views.push_back(station.get());
  }
  for (const auto& line : parts.lines) line->set_observer(&parts.events);
  parts.context = std::make_unique<RunContext>(
      RunContext{io_, parts.station_views, *parts.history, console_, parts.events,
                 [this](const Json::Value& request, const std::string& origin, RunReply reply) {
                   handle(request, origin, reply);
                 }});
  for (RunService* service : options_.services) {
    service->start(*parts.context);
    parts.started_services.push_back(service);
  }

  for (const auto& station : parts.stations) {
    if (station->restore_from_history()) {
      console_.note(station->settings().name, "last stored record handed to the device");
    }
  }

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

  for (const auto& line : parts.lines) line->start();
  io_.run();

  for (const auto& line : parts.lines) line->stop();
  if (parts.control) parts.control->stop();
  for (RunService* service : parts.started_services) service->stop();
  parts.started_services.clear();
  std::uint64_t rounds = 0;
  for (const auto& station : parts.stations) rounds += station->counters().rounds;
  console_.note("kelvra-host", "stopped after " + std::to_string(rounds) + " rounds; history in " +
                                   options_.db_path);
}

void BenchRun::record_control(const ControlEvent& event) {
  parts_->history->add_control_event(event);
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
    answer["uptime_s"] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - parts.started).count();
    answer["db"] = options_.db_path;
    answer["devices"] = Json::Value(Json::arrayValue);
    for (const auto& station : parts.stations) answer["devices"].append(station->status());
    answer["lines"] = Json::Value(Json::arrayValue);
    for (const auto& line : parts.lines) answer["lines"].append(line->status());
    reply(answer);
    return;
  }
  Station* station = parts.station_named(request["device"]);
  if (station == nullptr) {
    answer["ok"] = false;
    answer["error"] = "no device named \"" + request["device"].asString() + "\"";
    reply(answer);
    return;
  }
  if (command == "query") {
    reply(station->query(request["key"].asString()));
    return;
  }
  if (command == "control") {
    ControlEvent event{local_time_text(),
                       station->settings().name,
                       origin,
                       request["code"].asInt(),
                       request["argument"].asString(),
                       "",
                       "",
                       ""};
    Json::Value result = station->control(event.code, event.argument);
    if (!result["ok"].asBool()) {
      event.verdict = "refused";
      event.detail = result["error"].asString();
      record_control(event);
      reply(result);
      return;
    }
    event.verdict = "passed";
    event.detail = "device returned " + result["result"].asString();
    // The answer to the control command comes through the poll cycle; wait for the exchange.
    const auto deadline = std::chrono::steady_clock::now() +
                          station->settings().response_timeout * 10 + std::chrono::seconds(1);
    when_idle(io_, *station, deadline, [this, station, result, reply, event]() mutable {
      result["readback"] = station->control_readback();
      event.readback = result["readback"].isNull() ? "" : result["readback"].asString();
      record_control(event);
      reply(result);
    });
    return;
  }
  answer["ok"] = false;
  answer["error"] = "unknown command \"" + command + "\" (query, control, status)";
  reply(answer);
}

}  // namespace kelvra::line
