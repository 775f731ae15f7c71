#include "station/alarm_engine.h"

#include "events/alarm_identity.h"

namespace kelvra::station {
namespace {

// The detail text of the clear of a restored alarm the device no longer reports.
constexpr const char* kNotReportedAgain = "not reported since the host started";

}  // namespace

std::optional<events::AlarmEvent> AlarmEngine::report(const std::string& device,
                                                      const AlarmReport& report,
                                                      std::int64_t time_ms) {
  const std::string key = events::alarm_key(report.key, report.text);
  auto [found, added] = states_.try_emplace({report.key, report.text});
  AlarmState& state = found->second;
  if (added) {
    state = AlarmState{key,
                       report.key,
                       report.id,
                       report.text,
                       events::alarm_label(report.key, report.text),
                       report.level,
                       false,
                       std::nullopt,
                       false};
  }
  state.restored = false;
  if (state.active == report.state) return std::nullopt;
  state.active = report.state;
  state.level = report.level;
  state.raised_ms = report.state ? std::optional<std::int64_t>(time_ms) : std::nullopt;
  return events::AlarmEvent{time_ms,   device,      report.state, report.level, report.key,
                            report.id, report.name, report.text,  report.seq};
}

void AlarmEngine::restore(const events::AlarmEvent& raised) {
  states_[{raised.key, raised.text}] = AlarmState{events::alarm_key(raised.key, raised.text),
                                                  raised.key,
                                                  raised.alarm_id,
                                                  raised.text,
                                                  events::alarm_label(raised.key, raised.text),
                                                  raised.level,
                                                  true,
                                                  raised.time_ms,
                                                  true};
}

std::vector<events::AlarmEvent> AlarmEngine::settle_restored(const std::string& device,
                                                             std::int64_t time_ms) {
  std::vector<events::AlarmEvent> cleared;
  for (auto& [key, state] : states_) {
    if (!state.restored) continue;
    state.restored = false;
    state.active = false;
    state.raised_ms.reset();
    cleared.push_back(events::AlarmEvent{time_ms, device, false, state.level, state.device_key,
                                         state.alarm_id, kNotReportedAgain, state.text, 0});
  }
  return cleared;
}

std::vector<std::string> AlarmEngine::active() const {
  std::vector<std::string> texts;
  for (const auto& [key, state] : states_) {
    if (state.active) texts.push_back(state.text);
  }
  return texts;
}

std::vector<AlarmState> AlarmEngine::states() const {
  std::vector<AlarmState> states;
  for (const auto& [key, state] : states_) states.push_back(state);
  return states;
}

}  // namespace kelvra::station
