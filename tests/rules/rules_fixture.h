#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/kelvra_419.h"
#include "tests/support/recording_host.h"

namespace rules_testing {

using GenericRules = pmbuspower_419<kelvra_419_Data_t, kKelvra419PublicationId>;

// The eight threshold keys in report order.
inline const std::vector<std::string> kThresholdKeys = {
    "220600120010", "220600130010", "220600140010", "220600160010",
    "220600170010", "210600320010", "210600330010", "210600340010"};

// One alarm report as a line: level|key|id|name|text|state|seq.
inline std::string line(const testing_support::RecordingHost::Alarm& a) {
  return std::to_string(a.level) + "|" + a.key + "|" + a.id + "|" + a.name + "|" + a.text + "|" +
         (a.state ? "1" : "0") + "|" + std::to_string(a.seq);
}

inline std::vector<std::string> lines(const testing_support::RecordingHost& host) {
  std::vector<std::string> out;
  for (const auto& alarm : host.alarms) out.push_back(line(alarm));
  return out;
}

// Keys reported, each followed by '=' and its state: "220600120010=0".
inline std::vector<std::string> states(const testing_support::RecordingHost& host) {
  std::vector<std::string> out;
  for (const auto& alarm : host.alarms) out.push_back(alarm.key + (alarm.state ? "=1" : "=0"));
  return out;
}

inline void set_input(kelvra_419& device, int input, float a, float b, float c, float f = 0.0f) {
  auto& channel = device.data_.ac.channel[input];
  channel.a.set(a);
  channel.b.set(b);
  channel.c.set(c);
  channel.f.set(f);
}

// A device with recording host services attached; the host outlives the device.
struct RecordedDevice {
  testing_support::RecordingHost host;
  kelvra_419 device;
  RecordedDevice() { device.AttachHost(&host); }
};

}  // namespace rules_testing
