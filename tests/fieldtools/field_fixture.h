// A bench run whose lines are watched by the field tools: its trace goes to a file the test reads
// while the run goes on, its hints to a list.
#pragma once

#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fieldtools/line_watch.h"
#include "tests/line/bench_fixture.h"

namespace field_testing {

using namespace std::chrono_literals;

// The simulator's equipment cut down so that its rectifier answer is short: no modules.
inline kelvra::sim::SimulatorConfig small_simulator() {
  kelvra::sim::Scenario scenario = *kelvra::sim::builtin_scenario("normal");
  scenario.shape.rectifiers = 0;
  return bench_testing::quiet_simulator(scenario);
}

class WatchedSession {
 public:
  explicit WatchedSession(kelvra::sim::SimulatorConfig config, bool json = false)
      : session_(std::move(config)), trace_path_(dir_.file("trace.txt")) {
    trace_file_ = std::fopen(trace_path_.c_str(), "w");
    // A clock that stands still keeps the times out of the lines compared.
    trace_ = std::make_unique<kelvra::frame::FrameTrace>(
        trace_file_, json, kelvra::frame::TraceSide::kHost,
        [] { return std::chrono::steady_clock::time_point{}; });
    session_.options().watch_line = [this](const std::string& port) {
      auto hints = std::make_unique<kelvra::fieldtools::LineHints>(
          port, [this](kelvra::fieldtools::Hint hint, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            hints_.emplace_back(hint, text);
          });
      return std::make_unique<kelvra::fieldtools::LineWatch>(trace_.get(), std::move(hints));
    };
  }
  ~WatchedSession() {
    session_.stop();
    std::fclose(trace_file_);
  }

  bench_testing::BenchSession& session() { return session_; }
  kelvra::station::DeviceSettings& device() { return session_.options().settings.devices.front(); }
  // Rounds start with the rectifiers.
  void without_ac() { device().device_json["appSetting"]["has_ac"] = "0"; }

  std::vector<std::string> trace_lines() const {
    std::ifstream in(trace_path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Waits, within a bound, for `count` trace lines; then the run is stopped.
  std::vector<std::string> first_trace_lines(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (trace_lines().size() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    session_.stop();
    std::vector<std::string> lines = trace_lines();
    if (lines.size() > count) lines.resize(count);
    return lines;
  }

  bool said(kelvra::fieldtools::Hint hint, std::string* text = nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [said_hint, said_text] : hints_) {
      if (said_hint != hint) continue;
      if (text) *text = said_text;
      return true;
    }
    return false;
  }
  std::size_t hint_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hints_.size();
  }
  // Waits, within `limit`, until `hint` is said.
  bool wait_for_hint(kelvra::fieldtools::Hint hint, std::chrono::milliseconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!said(hint) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    return said(hint);
  }

 private:
  bench_testing::TempDir dir_;
  bench_testing::BenchSession session_;
  std::string trace_path_;
  std::FILE* trace_file_ = nullptr;
  std::unique_ptr<kelvra::frame::FrameTrace> trace_;
  std::mutex mutex_;
  std::vector<std::pair<kelvra::fieldtools::Hint, std::string>> hints_;
};

}  // namespace field_testing
