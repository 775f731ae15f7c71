// The run's northbound: every device's rounds, alarms and events on an MQTT broker, with
// discovery for Home Assistant. Rounds and events go out of the history timeline in position
// order with QoS 1; the position the broker acknowledged is kept in history as a named cursor,
// so whatever was stored while the broker was away (or the host was down) follows once it is
// back. A round sends the readings that moved by their deadband, and the whole state at each
// connect and every full_state (or every round when it is 0). Polling never waits for the broker.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "run/bench_run.h"
#include "run/settings.h"
#include "station/run_events.h"

namespace kelvra::northbound {

class DevicePublisher;

class MqttService : public run::RunService, public station::RunObserver {
 public:
  // `version` is the host program's, for discovery.
  MqttService(run::MqttSettings settings, std::string version);
  ~MqttService() override;

  // Throws run::RunConfigError for a password file that cannot be read, a device name that
  // cannot be a topic level or TLS files the client refuses, and then holds nothing of `run`.
  void start(run::RunContext& run) override;
  void stop() override;

  void round_completed(const station::Station& station) override;
  void alarm_event(const events::AlarmEvent& event) override;
  void comm_event(const events::CommEvent& event) override;
  void control_event(const events::ControlEvent& event) override;

 private:
  run::MqttSettings settings_;
  std::string version_;
  run::RunContext* run_ = nullptr;
  std::vector<std::unique_ptr<DevicePublisher>> publishers_;
};

// The host name, or "site" when it has none: the default site name.
std::string default_site_name();

}  // namespace kelvra::northbound
