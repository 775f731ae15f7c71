// The run's events: one shape each, shared by the console, history, the web API and MQTT. Every
// event's time is `time_ms` (UTC milliseconds since the epoch); local time exists only in print.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/kelvra_419_data.h"

namespace kelvra::events {

// An alarm of a device raised or cleared, in the device's own words. `key` is the key the device
// reports under, which repeats for every AC input: alarm_key() names the alarm instance.
struct AlarmEvent {
  std::int64_t time_ms = 0;
  std::string device;
  bool raised = false;
  int level = 0;
  std::string key;
  std::string alarm_id;
  std::string name;  // the rule's detail text
  std::string text;  // the alarm's name
  unsigned seq = 0;
};

// A line (serial port, TCP link) lost or back.
struct CommEvent {
  std::int64_t time_ms = 0;
  std::string port;
  std::string event;  // "lost" or "restored"
  std::string detail;
};

// One control request from any path (socket, HTTP, MQTT), what the host's check made of it, what
// went out on the line and what the device read back afterwards.
struct ControlEvent {
  std::int64_t time_ms = 0;
  std::string device;
  std::string origin;    // who asked: "socket uid 1000 pid 42", "http 127.0.0.1", "mqtt"
  int code = 0;          // the DeviceIoControl code asked for
  std::string argument;  // the request's text argument, as given
  std::string verdict;   // "passed" to the device, "forced" past the check, or "refused"
  std::string detail;    // the words of the check or of the device: why refused, what returned
  std::string readback;  // the device's read-back of the last control outcome, when sent
};

// A completed poll round, or a record restored from history, as published.
struct RoundEvent {
  std::int64_t time_ms = 0;
  std::string device;
  unsigned long round = 0;  // completed rounds of this device, this one included
  double seconds = 0;       // from the round's first command to its publication
  bool restored = false;    // a record handed back from history rather than polled
  const kelvra_419_Data_t* record = nullptr;
  std::vector<std::string> alarms;  // keys of the alarms active after the round
};

}  // namespace kelvra::events
