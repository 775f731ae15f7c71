// The host's alarm engine behind CheckThresholdBool: one state per alarm instance, raised when
// its reported state turns true and cleared when it turns false.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "events/event.h"
#include "host/host_services.h"

namespace kelvra::station {

// One alarm instance the device has reported, raised or not.
struct AlarmState {
  std::string key;         // the instance: unique per device, the same in every interface
  std::string device_key;  // as the device reports it
  std::string alarm_id;
  std::string text;
  std::string label;  // English
  int level = 0;
  bool active = false;
  std::optional<std::int64_t> raised_ms;  // UTC, while active: when raised, in history if restored
  // Active as history left it at start; no live round has reported it yet.
  bool restored = false;
};

class AlarmEngine {
 public:
  // The raise or clear event when the report changes the alarm's state; nullopt otherwise. An
  // alarm never reported before counts as cleared.
  std::optional<events::AlarmEvent> report(const std::string& device, const AlarmReport& report,
                                           std::int64_t time_ms);
  // Takes an alarm that history holds raised and never cleared as active, without an event: a
  // report that it still holds raises nothing again.
  void restore(const events::AlarmEvent& raised);
  // The clear events of the restored alarms that no live report has mentioned, made at `time_ms`;
  // called after the first complete round, which reports every alarm the device still has.
  std::vector<events::AlarmEvent> settle_restored(const std::string& device, std::int64_t time_ms);
  // Texts of the active alarms, in key order.
  std::vector<std::string> active() const;
  // Every alarm reported so far with its state, in key order.
  std::vector<AlarmState> states() const;

 private:
  // By the device's key and text: the rule's detail text changes with the values.
  std::map<std::pair<std::string, std::string>, AlarmState> states_;
};

}  // namespace kelvra::station
