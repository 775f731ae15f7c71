#include "run/control_outcomes.h"

#include <utility>

#include "hostkit/json_output.h"

namespace kelvra::run {

std::uint64_t ControlOutcomes::sent(const events::ControlEvent& event, Json::Value answer,
                                    Reply reply) {
  events::ControlEvent sent_row = event;
  sent_row.verdict = "sent";
  sent_row.detail =
      event.verdict + (event.detail.empty() ? "" : "; " + event.detail) + "; read-back pending";
  record_(sent_row);
  waiting_.emplace(++last_ticket_, Waiting{event, std::move(answer), std::move(reply)});
  return last_ticket_;
}

void ControlOutcomes::read_back(std::uint64_t ticket, const Outcome& outcome) {
  const auto found = waiting_.find(ticket);
  if (found == waiting_.end()) return;
  Waiting waiting = std::move(found->second);
  waiting_.erase(found);
  waiting.answer["readback"] = outcome.readback;
  waiting.answer["sent"] = Json::Value(Json::arrayValue);
  for (const std::string& command : outcome.sent) waiting.answer["sent"].append(command);
  waiting.event.detail += outcome.sent.empty()
                              ? "; nothing sent"
                              : "; sent " + hostkit::json_text(waiting.answer["sent"]);
  waiting.event.readback = outcome.readback.isNull() ? "" : outcome.readback.asString();
  conclude(waiting, "read back");
}

std::size_t ControlOutcomes::stop_all() {
  std::map<std::uint64_t, Waiting> stopped;
  stopped.swap(waiting_);
  for (auto& entry : stopped) {
    entry.second.event.detail += std::string("; ") + kStoppedBeforeReadBack;
    conclude(entry.second, kStoppedBeforeReadBack);
  }
  return stopped.size();
}

void ControlOutcomes::conclude(Waiting& waiting, const std::string& outcome) {
  waiting.answer["outcome"] = outcome;
  record_(waiting.event);
  waiting.reply(waiting.answer);
}

}  // namespace kelvra::run
