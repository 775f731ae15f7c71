// Which alarm an alarm is: one key per alarm instance of a device, the same in every interface,
// and an English label beside the device's own text (which every interface still carries).
#pragma once

#include <string>
#include <vector>

namespace kelvra::events {

// The device's key, with the AC input number appended for the alarms every input reports under
// one key: "p40_44_1" of AC input 2 ("第2路交流输入-停电") is "p40_44_1_2".
std::string alarm_key(const std::string& device_key, const std::string& text);

// "AC input 2 mains failure", "battery 1 temperature high", "communication lost"; the device's
// text itself for an alarm this host has no words for.
std::string alarm_label(const std::string& device_key, const std::string& text);

// An alarm the device can report, known before it is ever reported.
struct KnownAlarm {
  std::string key;    // as alarm_key gives it
  std::string label;  // as alarm_label gives it
};

// Every alarm of the device's own checks in a fixed order that never changes between versions:
// each AC input's alarms (input 1 first), then the DC unit's. The host's own and the threshold
// rules' alarms are not among them.
const std::vector<KnownAlarm>& known_device_alarms();

}  // namespace kelvra::events
