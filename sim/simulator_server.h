// Serves a Simulator on a pseudo-terminal it opens itself, or on a serial device,
// from a thread of its own.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "sim/simulator.h"

namespace kelvra::sim {

struct ServerOptions {
  std::string serial_port;  // empty: open a pseudo-terminal pair
  std::string link_path;    // if set, a symlink to the host's end is made here
};

class SimulatorServer {
 public:
  SimulatorServer(SimulatorConfig config, ServerOptions options, LogSink log);
  ~SimulatorServer();
  SimulatorServer(const SimulatorServer&) = delete;
  SimulatorServer& operator=(const SimulatorServer&) = delete;

  // Opens the terminal and starts serving; throws std::runtime_error on failure.
  void start();
  // Stops serving and closes the terminal; safe to call twice.
  void stop();
  // The path a host opens: the pseudo-terminal's slave end, or the serial device.
  const std::string& device_path() const { return device_path_; }

  // Runs `change` on the simulator under its lock, e.g. to set faults or model values.
  template <typename Change>
  auto with_simulator(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    return change(simulator_);
  }

 private:
  void open_pseudo_terminal();
  void open_serial_port();
  void serve();
  // Sleeps up to `timeout_ms`; false when stop() was called.
  bool wait_unless_stopping(int timeout_ms);
  void write_all(const std::string& bytes);
  void close_all();

  ServerOptions options_;
  unsigned baud_;
  frame::FrameTrace* trace_;
  LogSink log_;
  std::mutex mutex_;
  Simulator simulator_;
  std::string device_path_;
  int line_fd_ = -1;
  int held_slave_fd_ = -1;  // keeps the pty readable while no host has it open
  int wake_pipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace kelvra::sim
