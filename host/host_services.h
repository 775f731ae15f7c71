#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/host_api.h"

class SMDVDevice;
class SMDSPDevice;
struct rule_value;

// One alarm or threshold rule state handed to the host's alarm engine, once per rule and round.
struct AlarmReport {
  int level;
  const std::string& key;
  const std::string& id;
  const std::string& name;
  const std::string& text;
  bool state;
  unsigned short seq;
};

// What the embedding program does behind the framework's calls: the serial line, publication, the
// alarm and threshold engine, history storage. Every default does nothing and declines nothing, so
// a device without services attached runs harmlessly.
class KELVRA_HOST_API HostServices {
 public:
  virtual ~HostServices();

  // The framework's own check before a round may start; false declines the round.
  virtual bool refresh_allowed(SMDSPDevice& device);
  // One command to put on the line; info holds len bytes (len 0: no INFO).
  virtual void send_command(SMDSPDevice& device, std::uint8_t cid1, std::uint8_t cid2,
                            const std::uint8_t* info, int len);
  virtual bool open_port(SMDSPDevice& device);
  virtual void reset(SMDSPDevice& device);
  virtual void process_error(SMDSPDevice& device);
  // The protocol layer's own settings from the device configuration.
  virtual bool init_setting(SMDSPDevice& device, const Json::Value& settings);

  virtual void publish(SMDVDevice& device, int id, const unsigned char* data, unsigned int len,
                       bool flag);
  // True when the analog value changed enough to be reported.
  virtual bool ao_report(SMDVDevice& device, const std::string& name, float value);
  virtual void ao_threshold(SMDVDevice& device, const std::string& name, const std::string& unit,
                            float value, int count);
  virtual void alarm(SMDVDevice& device, const AlarmReport& report);
  // True when any rule of the batch changed state.
  virtual bool batch_check(SMDVDevice& device, const std::vector<rule_value>& rules);
  virtual void save_history(SMDVDevice& device, const unsigned char* data, unsigned int len);
};

// The services used by devices that have none attached: all defaults.
KELVRA_HOST_API HostServices& null_host_services();
