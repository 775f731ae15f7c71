// Control requests handed to a device and waiting for its read-back. Each is stored as "sent" at
// once and again with its outcome, or with "stopped before read-back" when the run ends first,
// so that no request that reached the line goes unstored or unanswered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

#include "events/event.h"

namespace kelvra::run {

class ControlOutcomes {
 public:
  using Record = std::function<void(const events::ControlEvent&)>;
  using Reply = std::function<void(const Json::Value&)>;

  // What the device made of a request: the commands that went out, and its read-back (null when
  // none came).
  struct Outcome {
    std::vector<std::string> sent;
    Json::Value readback;
  };

  explicit ControlOutcomes(Record record) : record_(std::move(record)) {}

  // Stores `event` (verdict "passed" or "forced") as sent and returns its ticket; `reply` is
  // called once with `answer` completed, by read_back or stop_all.
  std::uint64_t sent(const events::ControlEvent& event, Json::Value answer, Reply reply);
  // Stores and answers the request's outcome; nothing when it was concluded already.
  void read_back(std::uint64_t ticket, const Outcome& outcome);
  // Stores and answers every request still waiting as stopped before read-back; how many.
  std::size_t stop_all();

 private:
  struct Waiting {
    events::ControlEvent event;
    Json::Value answer;
    Reply reply;
  };
  // Stores the event and answers the requester, with the outcome's words.
  void conclude(Waiting& waiting, const std::string& outcome);

  Record record_;
  std::uint64_t last_ticket_ = 0;
  std::map<std::uint64_t, Waiting> waiting_;
};

// The outcome words of a request whose run stopped before the device's read-back.
inline constexpr const char* kStoppedBeforeReadBack = "stopped before read-back";

}  // namespace kelvra::run
