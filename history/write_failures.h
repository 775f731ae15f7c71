// A writer's answer to an unwritable database: strict throws; keep-going queues and says so.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "history/history_types.h"
#include "hostkit/link_health.h"

namespace kelvra::history {

class WriteFailures {
 public:
  virtual ~WriteFailures() = default;
  // How long a write waits on another connection's lock.
  virtual int busy_timeout_ms() const = 0;
  // Rows could not be stored at `now`: throws HistoryError(path, reason), or notes it and returns.
  virtual void not_stored(const std::string& path, const std::string& reason,
                          std::chrono::steady_clock::time_point now) = 0;
  // Something beside storing rows failed (retention, a read): throws it, or returns.
  virtual void side_failure(const HistoryError& error) = 0;
  // The queue was written at `now` (rows waiting meanwhile included).
  virtual void stored(std::size_t rows, std::chrono::steady_clock::time_point now) = 0;
  // The oldest queued row was dropped past the queue's bound.
  virtual void dropped_oldest() = 0;
  virtual std::optional<std::string> not_stored_reason() const = 0;
  // Something the owner should hear once that is no failure (the database file was replaced).
  virtual void notice(const std::string& text) = 0;
};

// Throws every failure to the caller.
class StrictWriteFailures : public WriteFailures {
 public:
  int busy_timeout_ms() const override { return 2000; }
  void not_stored(const std::string& path, const std::string& reason,
                  std::chrono::steady_clock::time_point now) override;
  void side_failure(const HistoryError& error) override;
  void stored(std::size_t, std::chrono::steady_clock::time_point) override {}
  void dropped_oldest() override {}
  std::optional<std::string> not_stored_reason() const override { return std::nullopt; }
  void notice(const std::string&) override {}
};

// Keeps the rows; says once "history not stored: REASON", reminds at most every reminder
// interval while writes keep failing, and says once "history stored again".
class KeepGoingWriteFailures : public WriteFailures {
 public:
  static constexpr std::chrono::minutes kReminder{10};
  KeepGoingWriteFailures(HistoryStatus status, std::size_t queue_bound);
  // A run must not wait on a lock: its rows stay queued instead.
  int busy_timeout_ms() const override { return 50; }
  void not_stored(const std::string& path, const std::string& reason,
                  std::chrono::steady_clock::time_point now) override;
  void side_failure(const HistoryError&) override {}
  void stored(std::size_t rows, std::chrono::steady_clock::time_point now) override;
  void dropped_oldest() override;
  std::optional<std::string> not_stored_reason() const override { return failing_; }
  void notice(const std::string& text) override { status_(text); }

 private:
  HistoryStatus status_;
  std::size_t queue_bound_;
  std::optional<std::string> failing_;
  hostkit::LinkHealth health_{kReminder};
  std::uint64_t dropped_during_failure_ = 0;
  bool said_full_ = false;
};

}  // namespace kelvra::history
