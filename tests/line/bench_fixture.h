// A bench run against an in-process simulator on a real pseudo-terminal, unpaced, with short
// timeouts; the run polls on a thread of its own while the test watches history and the socket.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "history/history_reader.h"
#include "history/history_store.h"
#include "run/bench_run.h"
#include "run/control_socket.h"
#include "sim/simulator_server.h"
#include "station/console.h"

namespace bench_testing {

using namespace std::chrono_literals;

// A fresh directory for one test's database, socket and terminal link, removed afterwards.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/kelvra-bench-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The simulator with its faults off and answers at once, at address 1.
inline kelvra::sim::SimulatorConfig quiet_simulator(kelvra::sim::Scenario scenario) {
  kelvra::sim::SimulatorConfig config;
  config.scenario = std::move(scenario);
  config.pacing.enabled = false;
  config.late_delay = 0ms;
  return config;
}

class BenchSession {
 public:
  explicit BenchSession(kelvra::sim::SimulatorConfig config =
                            quiet_simulator(*kelvra::sim::builtin_scenario("normal")))
      : link_(dir_.file("tty")),
        simulator_(std::make_unique<kelvra::sim::SimulatorServer>(
            std::move(config), kelvra::sim::ServerOptions{"", link_},
            [this](const std::string& line) {
              const std::lock_guard<std::mutex> lock(wire_mutex_);
              wire_.push_back(line);
            })) {
    simulator_->start();
    options_.settings = kelvra::run::default_settings();
    for (auto& device : options_.settings.devices) {
      device.port = link_;
      device.response_timeout = 150ms;
      device.poll_interval = 50ms;
    }
    options_.plugin_path = KELVRA_PLUGIN_PATH;
    options_.db_path = dir_.file("history.db");
    options_.reopen_interval = 100ms;
    options_.history.flush_interval = 100ms;  // a round reaches the readers soon after its end
    options_.duration = 25s;                  // a bound should a test's condition never come
  }

  ~BenchSession() {
    stop();
    if (output_) std::fclose(output_);
    std::free(output_text_);
  }

  kelvra::run::RunOptions& options() { return options_; }
  kelvra::sim::SimulatorServer& simulator() { return *simulator_; }
  // The simulator's log lines so far: one per command it received ("[   1.250] 42/48 adr 01 ...").
  std::vector<std::string> wire() {
    const std::lock_guard<std::mutex> lock(wire_mutex_);
    return wire_;
  }
  // Commands received whose log line starts with `command` ("42/48").
  std::size_t received(const std::string& command) {
    std::size_t count = 0;
    for (const std::string& line : wire()) {
      count += line.find("] " + command + " ") != std::string::npos ? 1 : 0;
    }
    return count;
  }
  const std::string& db() const { return options_.db_path; }
  const std::string& link() const { return link_; }

  // Starts `run` on its own thread; its lines are kept for output().
  void start() {
    output_ = open_memstream(&output_text_, &output_size_);
    console_ = std::make_unique<kelvra::station::Console>(output_, json_);
    console_->gloss_in_english(english_);
    run_ = std::make_unique<kelvra::run::BenchRun>(options_, *console_);
    thread_ = std::thread([this] {
      try {
        summary_ = run_->run();
      } catch (const kelvra::run::RunConfigError& error) {
        failure_ = error.what();
        config_error_ = true;
      } catch (const std::exception& error) {
        failure_ = error.what();
      }
    });
  }
  void json_output() { json_ = true; }
  void english_console() { english_ = true; }
  // How the run ended; a set-up failure's text, and whether it was a configuration error.
  const kelvra::run::RunSummary& summary() const { return summary_; }
  const std::string& failure() const { return failure_; }
  bool config_error() const { return config_error_; }
  std::string temp_file(const std::string& name) const { return dir_.file(name); }

  // Runs to its own end (rounds or duration) and returns what it printed.
  std::string run_to_end() {
    start();
    thread_.join();
    EXPECT_EQ(failure_, "");
    return output();
  }

  void stop() {
    if (!thread_.joinable()) return;
    run_->request_stop();
    thread_.join();
  }
  // Waits for the run to end by itself.
  void join() { thread_.join(); }

  std::string output() {
    std::fflush(output_);
    return std::string(output_text_, output_size_);
  }

  // Waits until `condition` over the history database holds; false after `limit`.
  // Reads history read-only while the run writes it; a database the run has not yet laid out
  // counts as not there yet.
  bool wait_for(const std::function<bool(kelvra::history::HistoryReader&)>& condition,
                std::chrono::milliseconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      try {
        kelvra::history::HistoryReader history(db());
        if (condition(history)) return true;
      } catch (const kelvra::history::HistoryError&) {
        // not laid out yet
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  bool wait_for_records(std::size_t count) {
    return wait_for([count](kelvra::history::HistoryReader& history) {
      return history.records({}).size() >= count;
    });
  }

  Json::Value ask(const Json::Value& request) {
    return kelvra::run::control_request(kelvra::run::control_socket_path(db()), request, 10s);
  }

 private:
  TempDir dir_;
  std::string link_;
  std::mutex wire_mutex_;
  std::vector<std::string> wire_;
  std::unique_ptr<kelvra::sim::SimulatorServer> simulator_;
  kelvra::run::RunOptions options_;
  bool json_ = false;
  bool english_ = false;
  std::FILE* output_ = nullptr;
  char* output_text_ = nullptr;
  std::size_t output_size_ = 0;
  std::unique_ptr<kelvra::station::Console> console_;
  std::unique_ptr<kelvra::run::BenchRun> run_;
  std::thread thread_;
  std::string failure_;
  bool config_error_ = false;
  kelvra::run::RunSummary summary_;
};

inline Json::Value request(const char* command) {
  Json::Value value(Json::objectValue);
  value["command"] = command;
  return value;
}

}  // namespace bench_testing
