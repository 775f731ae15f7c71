// The host's alarm engine behind CheckThresholdBool: one state per alarm, raised when its
// reported state turns true and cleared when it turns false.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "events/event.h"
#include "host/host_services.h"

namespace kelvra::line {

// One alarm the device has reported, raised or not.
struct AlarmState {
  std::string key;
  std::string alarm_id;
  std::string text;
  bool active = false;
};

class AlarmEngine {
 public:
  // The raise or clear event when the report changes the alarm's state; nullopt otherwise. An
  // alarm never reported before counts as cleared.
  std::optional<events::AlarmEvent> report(const std::string& device, const AlarmReport& report,
                                           const std::string& time);
  // Names of the active alarms, in key order.
  std::vector<std::string> active() const;
  // Every alarm reported so far with its state, in key order.
  std::vector<AlarmState> states() const;

 private:
  // Key, id and alarm name: the rule's detail text changes with the values and is not part of it.
  using AlarmKey = std::tuple<std::string, std::string, std::string>;
  std::map<AlarmKey, bool> states_;
};

}  // namespace kelvra::line
