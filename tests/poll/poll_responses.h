#pragma once

#include <cstdint>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "device/kelvra_419.h"
#include "tests/support/recording_host.h"

namespace poll_testing {

using Bytes = std::vector<std::uint8_t>;
using testing_support::decoded_response;
using testing_support::SentCommand;

inline Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Well-formed INFO of each poll response, DATAFLAG first. Floats least significant byte first.
inline Bytes ac_analog_info(std::uint8_t dataflag) {
  return join({{dataflag, 0x02},            // DATAFLAG, channel count 2
               {0x00, 0x00, 0x5C, 0x43},    // ch1 a 220.0
               {0x00, 0x80, 0x5C, 0x43},    // ch1 b 220.5
               {0x00, 0x00, 0x5D, 0x43},    // ch1 c 221.0
               {0x00, 0x00, 0x48, 0x42},    // ch1 f 50.0
               {0x00},                      // ch1 user-defined count 0
               {0x00, 0x00, 0x5E, 0x43},    // ch2 a 222.0
               {0x20, 0x20, 0x20, 0x20},    // ch2 b invalid marker -> 0.0
               {0x00, 0x00, 0x5F, 0x43},    // ch2 c 223.0
               {0x00, 0x00, 0x48, 0x42},    // ch2 f 50.0
               {0x00},                      // ch2 user-defined count 0
               {0x00, 0x00, 0x80, 0x3F},    // extra[0] 1.0
               {0xFF, 0xFF, 0xFF, 0xFF},    // extra[1] invalid marker -> -0.1
               {0x00, 0x00, 0x00, 0x40}});  // extra[2] 2.0
}
inline Bytes ac_switch_info(std::uint8_t dataflag) {
  return join({{dataflag, 0x00},                  // DATAFLAG, airlock count 0
               {0x04, 0x11, 0x12, 0x13, 0x14}});  // 4 user-defined switch states
}
inline Bytes ac_alarm_info(std::uint8_t dataflag) {
  return join({{dataflag, 0x02},                                        // DATAFLAG, channel count 2
               {0x01, 0x02, 0x03, 0x04, 0x00, 0x03, 0x05, 0xE0, 0xE1},  // ch1: states, s 0, u 3
               {0x05, 0x06, 0x07, 0x08, 0x00, 0x03, 0x00, 0x00, 0x00},  // ch2: states, s 0, u 3
               {0x21, 0x22, 0x23}});                                    // extra states
}
inline Bytes rect_analog_info(std::uint8_t dataflag) {
  return join({{dataflag},                        // DATAFLAG
               {0x00, 0x00, 0x40, 0x42},          // group value 48.0
               {0x02},                            // module count 2
               {0x00, 0x00, 0x20, 0x41, 0x00},    // module 1: value 10.0, count 0
               {0x00, 0x00, 0x30, 0x41, 0x00}});  // module 2: value 11.0, count 0
}
inline Bytes rect_switch_info(std::uint8_t dataflag) {
  return join({{dataflag, 0x02},                  // DATAFLAG, module count 2
               {0x31, 0x32, 0x33, 0x01, 0x34},    // module 1: 3 states, u 1, its byte
               {0x41, 0x42, 0x43, 0x01, 0x44}});  // module 2: 3 states, u 1, its byte
}
inline Bytes rect_alarm_info(std::uint8_t dataflag) {
  return join({{dataflag, 0x02},  // DATAFLAG, module count 2
               {0x51, 0x00},      // module 1: state, u 0
               {0x61, 0x00}});    // module 2: state, u 0
}
// One DC analog unit block: output voltage, current, no m, n or p floats.
inline Bytes dc_analog_unit(const Bytes& out_v) {
  return join({out_v,                     // out_v
               {0x00, 0x00, 0x20, 0x41},  // out_i 10.0
               {0x00, 0x00, 0x00}});      // m, n, p counts 0
}
inline const Bytes kVolts53_5 = {0x00, 0x00, 0x56, 0x42};
inline const Bytes kVolts48 = {0x00, 0x00, 0x40, 0x42};
inline const Bytes kVolts40 = {0x00, 0x00, 0x20, 0x42};
inline const Bytes kVolts60 = {0x00, 0x00, 0x70, 0x42};
inline const Bytes kVolts0 = {0x00, 0x00, 0x00, 0x00};
inline const Bytes kVoltsNaN = {0x00, 0x00, 0xC0, 0x7F};
inline Bytes dc_analog_info_format1(std::uint8_t dataflag) {
  return join({{dataflag}, dc_analog_unit(kVolts53_5)});
}
// Format 2: DATAFLAG, unit count, then `blocks` unit blocks (by default as many as counted).
inline Bytes dc_analog_info_format2(std::uint8_t dataflag, std::uint8_t units, int blocks = -1) {
  Bytes info = {dataflag, units};
  for (int u = 0; u < (blocks < 0 ? units : blocks); ++u) {
    info = join({info, dc_analog_unit({0x00, 0x00, std::uint8_t(0x50 + u), 0x42})});
  }
  return info;
}
inline Bytes dc_alarm_unit(std::uint8_t out_v_state) {
  return {out_v_state, 0x00, 0x00};  // out_v state, alert_m 0, alert_p 0
}
inline Bytes dc_alarm_info_format1(std::uint8_t dataflag) {
  return join({{dataflag}, dc_alarm_unit(0x01)});
}
inline Bytes dc_alarm_info_format2(std::uint8_t dataflag, std::uint8_t units, int blocks = -1) {
  Bytes info = {dataflag, units};
  for (int u = 0; u < (blocks < 0 ? units : blocks); ++u) {
    info = join({info, dc_alarm_unit(std::uint8_t(0x70 + u))});
  }
  return info;
}

// Commands as the host layer records them; AC commands carry the INFO byte 1.
inline const SentCommand kAcAnalog{0x40, 0x41, {0x01}};
inline const SentCommand kAcSwitch{0x40, 0x43, {0x01}};
inline const SentCommand kAcAlarm{0x40, 0x44, {0x01}};
inline const SentCommand kRectAnalog{0x41, 0x41, {}};
inline const SentCommand kRectSwitch{0x41, 0x43, {}};
inline const SentCommand kRectAlarm{0x41, 0x44, {}};
inline const SentCommand kDcAnalog{0x42, 0x41, {}};
inline const SentCommand kDcAlarm{0x42, 0x44, {}};

// A device attached to a recording host, with helpers that drive it through the host layer.
struct PolledDevice {
  testing_support::RecordingHost host;
  kelvra_419 device;

  PolledDevice() { device.AttachHost(&host); }

  // Answers the command in flight with INFO, through the protocol layer.
  bool answer(std::uint8_t cid1, const Bytes& info) {
    return testing_support::respond(device, decoded_response(cid1, info));
  }
  // Lets the 2-second spacing pass without waiting.
  void age_last_round() { device.last_round_time_ -= boost::posix_time::seconds(5); }
  // Marks the device as having completed a round, so only flagged optional commands follow.
  void complete_first_round() { device.data_valid_ = 1; }
};

}  // namespace poll_testing
