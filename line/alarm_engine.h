// The host's alarm engine behind CheckThresholdBool: one state per alarm, raised when its
// reported state turns true and cleared when it turns false.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "host/host_services.h"
#include "line/history_store.h"

namespace kelvra::line {

class AlarmEngine {
 public:
  // The raise or clear event when the report changes the alarm's state; nullopt otherwise. An
  // alarm never reported before counts as cleared.
  std::optional<AlarmEvent> report(const std::string& device, const AlarmReport& report,
                                   const std::string& time);
  // Names of the active alarms, in key order.
  std::vector<std::string> active() const;

 private:
  // Key, id and alarm name: the rule's detail text changes with the values and is not part of it.
  using AlarmKey = std::tuple<std::string, std::string, std::string>;
  std::map<AlarmKey, bool> states_;
};

}  // namespace kelvra::line
