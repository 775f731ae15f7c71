#include "line/alarm_engine.h"

namespace kelvra::line {

std::optional<events::AlarmEvent> AlarmEngine::report(const std::string& device,
                                                      const AlarmReport& report,
                                                      const std::string& time) {
  bool& active = states_[AlarmKey(report.key, report.id, report.text)];
  if (active == report.state) return std::nullopt;
  active = report.state;
  return events::AlarmEvent{time,      device,      report.state, report.level, report.key,
                            report.id, report.name, report.text,  report.seq};
}

std::vector<std::string> AlarmEngine::active() const {
  std::vector<std::string> names;
  for (const auto& [key, active] : states_) {
    if (active) names.push_back(std::get<2>(key));
  }
  return names;
}

std::vector<AlarmState> AlarmEngine::states() const {
  std::vector<AlarmState> states;
  for (const auto& [key, active] : states_) {
    states.push_back(AlarmState{std::get<0>(key), std::get<1>(key), std::get<2>(key), active});
  }
  return states;
}

}  // namespace kelvra::line
