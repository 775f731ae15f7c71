// `kelvra-host run`: loads the plug-in, polls each configured device over its serial line (ports
// not named in the settings come from a PortProvider), keeps history and serves the control socket
// until told to stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/asio/io_context.hpp>

#include "history/history_store.h"
#include "hostkit/turn_clock.h"
#include "run/settings.h"
#include "station/console.h"
#include "station/line_observer.h"
#include "station/run_events.h"

namespace kelvra::run {

using station::Console;
using station::DeviceSettings;
using station::LineObserver;
using station::RunEvents;
using station::Station;
// A run that could not be set up: plug-in, scenario, simulator or control socket; names which.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A setting that can never work (a rate a port cannot take, a port that is a directory or a
// regular file) or a database another run holds: refused before anything starts; exit code 2.
class RunConfigError : public RunError {
 public:
  using RunError::RunError;
};

// How a run ended: its completed rounds and, when it failed, why ("no device completed a round",
// "power2 completed no round within 2450 ms").
struct RunSummary {
  std::uint64_t rounds = 0;
  std::string failure;
  bool ok() const { return failure.empty(); }
};

// Supplies the port of a device whose settings name none, for example a simulator on a
// pseudo-terminal. Called on the run's own thread.
class PortProvider {
 public:
  virtual ~PortProvider() = default;
  // The path to open for the device; throws RunError naming what failed.
  virtual std::string provide(const DeviceSettings& device) = 0;
  // After each completed round of a device this provider supplied, outside the round's call.
  virtual void after_round(const std::string& device_name, std::uint64_t rounds) = 0;
};

class SerialLine;

// A reply to one request of the control path; called once, on the run's thread.
using RunReply = std::function<void(const Json::Value&)>;

// What a service beside polling sees of the run: its event loop, devices, history and events,
// and the one request path every origin (socket, HTTP, MQTT) goes through.
struct RunContext {
  boost::asio::io_context& io;
  const std::vector<Station*>& stations;
  history::HistoryStore& history;
  Console& console;
  RunEvents& events;
  const hostkit::TurnClock& clock;  // the loop turn's time: read it here, not from the system
  // A control-socket style request ({"command": "status"|"query"|"control", ...}); `origin` says
  // who asked ("http 127.0.0.1:53422"), for the control events stored.
  std::function<void(const Json::Value& request, const std::string& origin, RunReply reply)> handle;
};

// Something that runs on the run's event loop beside polling, such as an HTTP server or an MQTT
// client. It must never block the loop.
class RunService {
 public:
  virtual ~RunService() = default;
  // After set-up, before polling starts; throws RunError naming what cannot start.
  virtual void start(RunContext& run) = 0;
  // When the run ends, before the devices are destroyed.
  virtual void stop() = 0;
};

struct RunOptions {
  RunSettings settings;
  std::string plugin_path;  // empty: the plug-in installed beside the program
  std::string db_path = "kelvra.db";
  std::vector<RunService*> services;      // started after set-up, stopped at the end
  PortProvider* port_provider = nullptr;  // for devices without a port; none: they are refused
  // Stop once every device completed this many; a device that completes none within its
  // communication-lost time ends the run as failed.
  std::optional<std::uint64_t> rounds;
  std::optional<std::chrono::milliseconds> duration;
  std::chrono::milliseconds reopen_interval{3000};
  bool control_socket = true;
  // Called once per serial line, with its port, for what watches its traffic (wire trace,
  // hints); unset or returning null: the line is not watched.
  std::function<std::unique_ptr<LineObserver>(const std::string& port)> watch_line;
  history::HistoryOptions
      history;  // batching of the run's history; retention comes from the settings
};

class BenchRun {
 public:
  BenchRun(RunOptions options, Console& console);
  ~BenchRun();
  BenchRun(const BenchRun&) = delete;
  BenchRun& operator=(const BenchRun&) = delete;

  // Sets up and runs until the rounds or the duration are done, SIGINT or SIGTERM arrives, or
  // request_stop is called. Throws RunConfigError for a setting that can never work and RunError
  // when setting up fails otherwise; a run without a completed round returns a failure.
  RunSummary run();
  // Ends the run from any thread; the round in progress is left, nothing half-stored.
  void request_stop();

 private:
  struct Parts;

  // Stores a control event and tells the run's observers.
  void record_control(const events::ControlEvent& event);
  // One request of the control path, from the socket or a service.
  void handle(const Json::Value& request, const std::string& origin, const RunReply& reply);
  // A control request checked, then handed to the station unless refused.
  void handle_control(Station& station, const Json::Value& request, const std::string& origin,
                      const RunReply& reply);
  // Refuses what can never work before the plug-in, the socket or a simulator starts.
  void check_configuration() const;
  // The phases of run(): history, plug-in, control socket, stations and their lines; services
  // and stored records; polling until stopped; everything stopped and the run summed up.
  void set_up();
  void start();
  void poll_until_stopped();
  RunSummary finish();
  // Locks the database against a second run (RunConfigError when one holds it) and opens the
  // history store with the settings' retention.
  void open_history();
  // Loads the plug-in named by the options or the one beside the program; throws RunError.
  void load_plugin();
  // Listens on the control socket beside the database; throws RunError when it is taken.
  void open_control_socket();
  // The settings' devices, those without a port given one by the port provider (noted in
  // `provided_ports`); throws RunError when there is none.
  std::vector<DeviceSettings> devices_with_ports(std::set<std::string>& provided_ports);
  // Creates the device and its station on the serial line of its port; `provider` (or null) is
  // told of each completed round.
  void add_station(const DeviceSettings& device, std::map<std::string, SerialLine*>& line_of_port,
                   PortProvider* provider);
  // The serial line of the device's port, opened (and watched) on first use.
  SerialLine& line_for(const DeviceSettings& device,
                       std::map<std::string, SerialLine*>& line_of_port);
  // After each round of a station: tells its port provider, and stops a --rounds run once every
  // station has done them.
  void round_done(const Station& station, PortProvider* provider);
  // Every 100 ms: COMM_LOST for each station, and the end of a --rounds run a device holds up.
  void watch_communication();

  RunOptions options_;
  Console& console_;
  boost::asio::io_context io_;
  hostkit::TurnClock clock_;  // read once per turn of io_
  std::unique_ptr<Parts> parts_;
  std::string failure_;
};

}  // namespace kelvra::run
