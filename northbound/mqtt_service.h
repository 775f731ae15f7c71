// The run's northbound: every device's rounds, alarms and events on an MQTT broker, with
// discovery for Home Assistant. Rounds and events go out of the history timeline in position
// order with QoS 1; the position the broker acknowledged is kept in history as a named cursor,
// so whatever was stored while the broker was away (or the host was down) follows once it is
// back. Polling never waits for the broker.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "line/bench_run.h"
#include "line/run_events.h"
#include "line/settings.h"

namespace kelvra::northbound {

class DevicePublisher;

class MqttService : public line::RunService, public line::RunObserver {
 public:
  // `version` is the host program's, for discovery.
  MqttService(line::MqttSettings settings, std::string version);
  ~MqttService() override;

  // Throws line::RunError for a password file that cannot be read, a device name that cannot be
  // a topic level or TLS files the client refuses.
  void start(line::RunContext& run) override;
  void stop() override;

  void round_completed(const line::Station& station) override;
  void alarm_event(const events::AlarmEvent& event) override;
  void comm_event(const events::CommEvent& event) override;
  void control_event(const events::ControlEvent& event) override;

 private:
  line::MqttSettings settings_;
  std::string version_;
  line::RunContext* run_ = nullptr;
  std::vector<std::unique_ptr<DevicePublisher>> publishers_;
};

// The host name, or "site" when it has none: the default site name.
std::string default_site_name();

}  // namespace kelvra::northbound
