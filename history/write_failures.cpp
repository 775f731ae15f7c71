#include "history/write_failures.h"

#include <utility>

namespace kelvra::history {
void StrictWriteFailures::not_stored(const std::string& path, const std::string& reason,
                                     std::chrono::steady_clock::time_point) {
  throw HistoryError(path, reason);
}

void StrictWriteFailures::side_failure(const HistoryError& error) {
  throw error;
}

KeepGoingWriteFailures::KeepGoingWriteFailures(HistoryStatus status, std::size_t queue_bound)
    : status_(std::move(status)), queue_bound_(queue_bound) {}

void KeepGoingWriteFailures::not_stored(const std::string&, const std::string& reason,
                                        std::chrono::steady_clock::time_point now) {
  const auto verdict = health_.step(hostkit::LinkHealth::Input::kFailed, now);
  if (!failing_) failing_ = reason;
  if (verdict.say == hostkit::LinkHealth::Say::kLost) {
    status_("history not stored: " + reason + "; rows are kept (up to " +
            std::to_string(queue_bound_) + ") and written when the database can be written again");
  } else if (verdict.say == hostkit::LinkHealth::Say::kReminder) {
    status_("history still not stored after " + std::to_string(verdict.down_for.count()) +
            " s: " + reason);
  }
}

void KeepGoingWriteFailures::stored(std::size_t rows, std::chrono::steady_clock::time_point now) {
  const auto verdict = health_.step(hostkit::LinkHealth::Input::kWorking, now);
  if (verdict.say != hostkit::LinkHealth::Say::kBack) return;
  status_("history stored again; " + std::to_string(rows) + " rows kept meanwhile written, " +
          std::to_string(dropped_during_failure_) + " dropped");
  failing_.reset();
  dropped_during_failure_ = 0;
  said_full_ = false;
}

void KeepGoingWriteFailures::dropped_oldest() {
  ++dropped_during_failure_;
  if (said_full_) return;
  said_full_ = true;
  status_("history queue full (" + std::to_string(queue_bound_) +
          " rows): the oldest are dropped until the database can be written");
}

}  // namespace kelvra::history
