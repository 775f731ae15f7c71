// `kelvra-host run`: loads the plug-in, polls each configured device over its serial line (or
// the built-in simulator), keeps history and serves the control socket until told to stop.
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

#include "bench-host/console.h"
#include "bench-host/settings.h"

namespace kelvra::sim {
class SimulatorServer;
}

namespace kelvra::bench {

// A run that could not be set up: plug-in, scenario, simulator or control socket; names which.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RunOptions {
  RunSettings settings;
  std::string plugin_path;
  std::string db_path = "kelvra.db";
  // For devices without a port: the built-in simulator's scenario (name or file) and pacing.
  std::string scenario = "normal";
  bool pace = true;
  // The built-in simulator's think time between a command and its answer.
  std::chrono::milliseconds turnaround{5};
  bool simulator_log = false;           // every simulator line, not only its scenario events
  std::optional<std::uint64_t> rounds;  // stop once every device completed this many
  std::optional<std::chrono::milliseconds> duration;
  std::chrono::milliseconds reopen_interval{3000};
  // For soak runs: each built-in simulator closes its terminal and opens a new one after every
  // this many rounds of its device; its port is then a link beside the database that follows it.
  std::optional<std::uint64_t> simulator_hangup_rounds;
  bool control_socket = true;
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

  // Closes the built-in simulator's terminal and opens a new one behind the same link.
  void hang_up(sim::SimulatorServer& simulator, const std::string& device);
  // One control socket request.
  void handle(const Json::Value& request, const std::function<void(const Json::Value&)>& reply);

  RunOptions options_;
  Console& console_;
  boost::asio::io_context io_;
  std::unique_ptr<Parts> parts_;
};

}  // namespace kelvra::bench
