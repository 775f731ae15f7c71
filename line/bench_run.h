// `kelvra-host run`: loads the plug-in, polls each configured device over its serial line (ports
// not named in the settings come from a PortProvider), keeps history and serves the control socket
// until told to stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/asio/io_context.hpp>

#include "line/console.h"
#include "line/line_observer.h"
#include "line/settings.h"

namespace kelvra::line {

// A run that could not be set up: plug-in, scenario, simulator or control socket; names which.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
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

struct RunOptions {
  RunSettings settings;
  std::string plugin_path;
  std::string db_path = "kelvra.db";
  PortProvider* port_provider = nullptr;  // for devices without a port; none: they are refused
  std::optional<std::uint64_t> rounds;    // stop once every device completed this many
  std::optional<std::chrono::milliseconds> duration;
  std::chrono::milliseconds reopen_interval{3000};
  bool control_socket = true;
  // Called once per serial line, with its port, for what watches its traffic (wire trace,
  // hints); unset or returning null: the line is not watched.
  std::function<std::unique_ptr<LineObserver>(const std::string& port)> watch_line;
};

class BenchRun {
 public:
  BenchRun(RunOptions options, Console& console);
  ~BenchRun();
  BenchRun(const BenchRun&) = delete;
  BenchRun& operator=(const BenchRun&) = delete;

  // Sets up and runs until the rounds or the duration are done, SIGINT or SIGTERM arrives, or
  // request_stop is called. Throws RunError when setting up fails.
  void run();
  // Ends the run from any thread; the round in progress is left, nothing half-stored.
  void request_stop();

 private:
  struct Parts;

  // One control socket request.
  void handle(const Json::Value& request, const std::function<void(const Json::Value&)>& reply);

  RunOptions options_;
  Console& console_;
  boost::asio::io_context io_;
  std::unique_ptr<Parts> parts_;
};

}  // namespace kelvra::line
