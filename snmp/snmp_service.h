// The run's SNMP interface: an AgentX subagent of the site's snmpd serving the entity and sensor
// tables and our device and alarm tables, read-only, and sending our notifications through the
// master. The library's sockets and timers are driven from the run's loop; no other thread.
#pragma once

#include <memory>
#include <string>

#include "run/bench_run.h"
#include "run/settings.h"
#include "station/run_events.h"

namespace kelvra::snmp {

class SnmpService : public run::RunService, public station::RunObserver {
 public:
  explicit SnmpService(run::SnmpSettings settings);
  ~SnmpService() override;

  // A master that is not there is said once and tried again each second; the run goes on.
  void start(run::RunContext& run) override;
  void stop() override;

  void round_completed(const station::Station& station) override;
  void alarm_event(const events::AlarmEvent& event) override;
  void comm_event(const events::CommEvent& event) override;
  void control_event(const events::ControlEvent& event) override;

  class Agent;

 private:
  run::SnmpSettings settings_;
  run::RunContext* run_ = nullptr;
  std::unique_ptr<Agent> agent_;
};

}  // namespace kelvra::snmp
