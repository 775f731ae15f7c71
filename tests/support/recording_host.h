#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/pmbus_protocol.h"

namespace testing_support {

// One command the device wrote, as the host layer received it.
struct SentCommand {
  std::uint8_t cid1;
  std::uint8_t cid2;
  std::vector<std::uint8_t> info;
  bool operator==(const SentCommand& o) const {
    return cid1 == o.cid1 && cid2 == o.cid2 && info == o.info;
  }
};

inline std::ostream& operator<<(std::ostream& os, const SentCommand& c) {
  os << std::hex << std::setfill('0') << std::setw(2) << int(c.cid1) << '/' << std::setw(2)
     << int(c.cid2) << " [";
  for (std::uint8_t b : c.info) os << ' ' << std::setw(2) << int(b);
  return os << " ]" << std::dec;
}

// Host services that record every call in order, as one text line per call, and answer with
// configurable results.
class RecordingHost : public HostServices {
 public:
  bool refresh_result = true;
  bool ao_report_result = false;
  bool batch_result = false;

  std::vector<std::string> calls;
  std::vector<SentCommand> sent;
  std::vector<std::vector<std::uint8_t>> published;
  std::vector<std::vector<std::uint8_t>> stored;
  struct Alarm {
    int level;
    std::string key, id, name, text;
    bool state;
    unsigned short seq;
  };
  std::vector<Alarm> alarms;

  bool refresh_allowed(SMDSPDevice&) override {
    calls.push_back("refresh_allowed");
    return refresh_result;
  }
  void send_command(SMDSPDevice&, std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info,
                    int len) override {
    sent.push_back({cid1, cid2, std::vector<std::uint8_t>(info, info + len)});
    std::ostringstream os;
    os << "send " << sent.back();
    calls.push_back(os.str());
  }
  bool open_port(SMDSPDevice&) override {
    calls.push_back("open_port");
    return true;
  }
  void reset(SMDSPDevice&) override { calls.push_back("reset"); }
  void process_error(SMDSPDevice&) override { calls.push_back("process_error"); }
  bool init_setting(SMDSPDevice&, const Json::Value&) override {
    calls.push_back("init_setting");
    return true;
  }
  void publish(SMDVDevice&, int id, const unsigned char* data, unsigned int len,
               bool flag) override {
    published.emplace_back(data, data + len);
    calls.push_back("publish " + std::to_string(id) + " " + std::to_string(len) +
                    (flag ? " true" : " false"));
  }
  bool ao_report(SMDVDevice&, const std::string& name, float value) override {
    std::ostringstream os;
    os << "ao_report " << name << " " << value;
    calls.push_back(os.str());
    return ao_report_result;
  }
  void ao_threshold(SMDVDevice&, const std::string& name, const std::string& unit, float value,
                    int count) override {
    std::ostringstream os;
    os << "ao_threshold " << name << " '" << unit << "' " << value << " " << count;
    calls.push_back(os.str());
  }
  void alarm(SMDVDevice&, const AlarmReport& r) override {
    alarms.push_back({r.level, r.key, r.id, r.name, r.text, r.state, r.seq});
    calls.push_back("alarm " + r.key);
  }
  bool batch_check(SMDVDevice&, const std::vector<rule_value>& rules) override {
    calls.push_back("batch " + std::to_string(rules.size()));
    return batch_result;
  }
  void save_history(SMDVDevice&, const unsigned char* data, unsigned int len) override {
    stored.emplace_back(data, data + len);
    calls.push_back("history " + std::to_string(len));
  }
};

// Builds the decoded response the protocol layer hands to process(): VER, ADR, CID1, RTN, the
// length field (twice the INFO bytes unless given, least significant byte first), INFO.
inline std::vector<std::uint8_t> decoded_response(std::uint8_t cid1,
                                                  const std::vector<std::uint8_t>& info,
                                                  int lenid = -1) {
  const unsigned field = lenid < 0 ? static_cast<unsigned>(info.size() * 2) : unsigned(lenid);
  std::vector<std::uint8_t> out = {
      0x20, 0x01, cid1, 0x00, std::uint8_t(field & 0xFF), std::uint8_t(field >> 8)};
  out.insert(out.end(), info.begin(), info.end());
  return out;
}

// Hands one response to the device from a heap buffer of exactly its size, so a read past its
// end is caught by AddressSanitizer.
inline bool respond(PMBusProtocol& device, const std::vector<std::uint8_t>& response) {
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[response.size()]);
  std::copy(response.begin(), response.end(), exact.get());
  return device.process(exact.get(), static_cast<unsigned>(response.size()));
}

// Captures what the device prints through printf and std::cout while fn runs.
template <class Fn>
std::string capture_stdout(Fn&& fn) {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  fn();
  std::cout.flush();
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

}  // namespace testing_support
