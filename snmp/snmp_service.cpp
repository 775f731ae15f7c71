#include "snmp/snmp_service.h"

#include <sys/select.h>

#include <chrono>
#include <map>
#include <vector>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

// The library's headers, in the order it asks for.
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
// clang-format on

#include "events/alarm_identity.h"
#include "hostkit/link_health.h"
#include "snmp/mib_rows.h"
#include "station/station.h"

namespace kelvra::snmp {
namespace {

namespace asio = boost::asio;

constexpr const char* kAppName = "kelvra-host";
constexpr int kPingSeconds = 1;  // how soon a master that went away is tried again
// The library waits for the master's answer to its open, registrations and pings: a master that
// accepts and then never answers holds the loop this long, once per ping.
constexpr int kMasterTimeoutSeconds = 1;
constexpr auto kLongestWait = std::chrono::seconds(1);
constexpr auto kTreeMaxAge = std::chrono::seconds(1);  // ages and staleness move on
constexpr auto kReminder = std::chrono::minutes(10);

std::vector<oid> library_oid(const Oid& arcs) {
  return std::vector<oid>(arcs.begin(), arcs.end());
}

Oid our_oid(const oid* arcs, std::size_t length) {
  return Oid(arcs, arcs + length);
}

bool starts_with(const Oid& oid_value, const Oid& root) {
  return oid_value.size() >= root.size() && std::equal(root.begin(), root.end(), oid_value.begin());
}

void set_value(netsnmp_variable_list* var, const MibValue& value) {
  switch (value.type) {
    case MibValue::Type::integer: {
      const long number = static_cast<long>(value.number);
      snmp_set_var_typed_value(var, ASN_INTEGER, &number, sizeof number);
      return;
    }
    case MibValue::Type::octets:
      snmp_set_var_typed_value(var, ASN_OCTET_STR, value.octets.data(), value.octets.size());
      return;
    case MibValue::Type::object_id: {
      const std::vector<oid> arcs = library_oid(value.object_id);
      snmp_set_var_typed_value(var, ASN_OBJECT_ID, arcs.data(), arcs.size() * sizeof(oid));
      return;
    }
    case MibValue::Type::gauge:
    case MibValue::Type::counter:
    case MibValue::Type::timeticks: {
      const u_long number = static_cast<u_long>(value.number);
      const u_char type = value.type == MibValue::Type::gauge     ? ASN_GAUGE
                          : value.type == MibValue::Type::counter ? ASN_COUNTER
                                                                  : ASN_TIMETICKS;
      snmp_set_var_typed_value(var, type, &number, sizeof number);
      return;
    }
  }
}

}  // namespace

// The library's agent: one per process, since the library keeps its sessions in globals.
class SnmpService::Agent {
 public:
  Agent(run::RunContext& run, const run::SnmpSettings& settings)
      : run_(run),
        agentx_(settings.agentx),
        enterprise_root_(settings.enterprise_oid),
        start_ms_(run.clock.utc_ms()),
        timer_(run.io),
        health_(kReminder) {}

  void start() {
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, agentx_.c_str());
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    // The library's own lines (its MIB search among them) are dropped: the link is said here.
    snmp_disable_log();
    snmp_enable_calllog();
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &Agent::drop_line, this);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, &Agent::master_up,
                           this);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP,
                           &Agent::master_down, this);
    init_agent(kAppName);
    // After init_agent, which sets the library's own default.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       kPingSeconds);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_TIMEOUT,
                       kMasterTimeoutSeconds);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_RETRIES, 0);
    register_subtree("kelvraEntPhysical", kEntPhysicalTable);
    register_subtree("kelvraEntPhySensor", kEntPhySensorTable);
    register_subtree("kelvraPowerMIB", enterprise_root_);
    init_snmp(kAppName);
    turn();
  }

  void stop() {
    stopped_ = true;
    timer_.cancel();
    release_watches();
    snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START,
                             &Agent::master_up, this, 1);
    snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP,
                             &Agent::master_down, this, 1);
    snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &Agent::drop_line, this,
                             1);
    snmp_shutdown(kAppName);
  }

  void changed() { tree_due_ = true; }

  void notify(const Notification& note) {
    static const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
    netsnmp_variable_list* vars = nullptr;
    const std::vector<oid> trap = library_oid(note.trap_oid);
    snmp_varlist_add_variable(&vars, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                              trap.data(), trap.size() * sizeof(oid));
    for (const auto& [name, value] : note.varbinds) {
      const std::vector<oid> arcs = library_oid(name);
      netsnmp_variable_list* var =
          snmp_varlist_add_variable(&vars, arcs.data(), arcs.size(), ASN_NULL, nullptr, 0);
      if (var) set_value(var, value);
    }
    send_v2trap(vars);
    snmp_free_varbind(vars);
  }

  const Oid& enterprise_root() const { return enterprise_root_; }

 private:
  void register_subtree(const char* name, const Oid& root) {
    const std::vector<oid> arcs = library_oid(root);
    netsnmp_handler_registration* registration = netsnmp_create_handler_registration(
        name, &Agent::handle, arcs.data(), arcs.size(), HANDLER_CAN_RONLY);
    registration->handler->myvoid = this;
    netsnmp_register_handler(registration);
  }

  static int drop_line(int, int, void*, void*) { return SNMP_ERR_NOERROR; }
  static int master_up(int, int, void*, void* self) {
    static_cast<Agent*>(self)->connected_ = true;
    ++static_cast<Agent*>(self)->session_changes_;
    return SNMP_ERR_NOERROR;
  }
  static int master_down(int, int, void*, void* self) {
    static_cast<Agent*>(self)->connected_ = false;
    ++static_cast<Agent*>(self)->session_changes_;
    return SNMP_ERR_NOERROR;
  }

  static int handle(netsnmp_mib_handler* handler, netsnmp_handler_registration* registration,
                    netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
    Agent& agent = *static_cast<Agent*>(handler->myvoid);
    const Oid root = our_oid(registration->rootoid, registration->rootoid_len);
    const MibTree& tree = agent.tree();
    for (netsnmp_request_info* request = requests; request; request = request->next) {
      if (request->processed) continue;
      const Oid asked = our_oid(request->requestvb->name, request->requestvb->name_length);
      if (info->mode == MODE_GET) {
        const auto found = tree.find(asked);
        if (found == tree.end()) {
          netsnmp_set_request_error(info, request, SNMP_NOSUCHINSTANCE);
        } else {
          set_value(request->requestvb, found->second);
        }
      } else if (info->mode == MODE_GETNEXT) {
        const auto next = tree.upper_bound(asked);
        if (next == tree.end() || !starts_with(next->first, root)) continue;
        const std::vector<oid> arcs = library_oid(next->first);
        snmp_set_var_objid(request->requestvb, arcs.data(), arcs.size());
        set_value(request->requestvb, next->second);
      }
    }
    return SNMP_ERR_NOERROR;
  }

  // The served tree, made again after a round or an event, and at least each second.
  const MibTree& tree() {
    const auto now = run_.clock.steady();
    if (tree_due_ || now - tree_made_ >= kTreeMaxAge) {
      std::vector<DeviceView> views;
      for (const station::Station* station : run_.stations) {
        views.push_back(
            DeviceView{station->snapshot(),
                       static_cast<std::uint32_t>(station->settings().poll_interval.count())});
      }
      tree_ = mib_tree(mib_rows(views, start_ms_), enterprise_root_);
      tree_made_ = now;
      tree_due_ = false;
    }
    return tree_;
  }

  // Lets the library read what arrived and run its timers, then waits again.
  void turn() {
    if (stopped_) return;
    agent_check_and_process(0);
    say_link();
    arm();
  }

  void say_link() {
    const auto verdict = health_.step(
        connected_ ? hostkit::LinkHealth::Input::kWorking : hostkit::LinkHealth::Input::kFailed,
        run_.clock.steady());
    const std::string down_for = std::to_string(verdict.down_for.count()) + " s";
    switch (verdict.say) {
      case hostkit::LinkHealth::Say::kNothing:
        return;
      case hostkit::LinkHealth::Say::kLost:
        run_.console.note("snmp", "AgentX master " + agentx_ +
                                      " not reachable; polling goes on, tried again each second");
        return;
      case hostkit::LinkHealth::Say::kReminder:
        run_.console.note("snmp",
                          "AgentX master " + agentx_ + " still not reachable (" + down_for + ")");
        return;
      case hostkit::LinkHealth::Say::kBack:
        run_.console.note("snmp", "AgentX master " + agentx_ + " back after " + down_for);
        return;
    }
  }

  // One wait per socket the library reads and one for its next timeout; whichever fires makes
  // the next turn. A socket's wait stays armed across turns until it fires; all are dropped when
  // the master session opens or closes, since a closed socket's number may come back as another.
  void arm() {
    int fd_count = 0;
    fd_set readable;
    FD_ZERO(&readable);
    timeval timeout{};
    int block = 1;  // in: no wait of ours; out: 0 when the library set `timeout`
    snmp_select_info(&fd_count, &readable, &timeout, &block);
    if (armed_sessions_ != session_changes_) {
      release_watches();
      armed_sessions_ = session_changes_;
    }
    for (auto it = watches_.begin(); it != watches_.end();) {
      if (it->first < fd_count && FD_ISSET(it->first, &readable)) {
        ++it;
        continue;
      }
      it->second.descriptor->release();
      it = watches_.erase(it);
    }
    for (int fd = 0; fd < fd_count; ++fd) {
      if (FD_ISSET(fd, &readable)) watch(fd);
    }
    auto wait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::seconds(timeout.tv_sec) + std::chrono::microseconds(timeout.tv_usec));
    if (block || wait > kLongestWait) wait = kLongestWait;
    timer_.expires_after(wait);
    timer_.async_wait([this](const boost::system::error_code& error) {
      if (!error) turn();
    });
  }

  // Waits for the socket to be readable unless a wait is armed already.
  void watch(int fd) {
    Watch& watch = watches_[fd];
    if (!watch.descriptor) {
      watch.descriptor = std::make_unique<asio::posix::stream_descriptor>(run_.io, fd);
      watch.id = ++watch_ids_;
    }
    if (watch.waiting) return;
    watch.waiting = true;
    watch.descriptor->async_wait(asio::posix::stream_descriptor::wait_read,
                                 [this, fd, id = watch.id](const boost::system::error_code& error) {
                                   if (error) return;  // released: the agent may be gone
                                   const auto found = watches_.find(fd);
                                   if (found == watches_.end() || found->second.id != id) return;
                                   found->second.waiting = false;
                                   turn();
                                 });
  }

  // The sockets stay the library's: released, never closed here.
  void release_watches() {
    for (auto& [fd, watch] : watches_) watch.descriptor->release();
    watches_.clear();
  }

  struct Watch {
    std::unique_ptr<asio::posix::stream_descriptor> descriptor;
    std::uint64_t id = 0;
    bool waiting = false;
  };

  run::RunContext& run_;
  std::string agentx_;
  Oid enterprise_root_;
  std::int64_t start_ms_;
  asio::steady_timer timer_;
  std::map<int, Watch> watches_;
  std::uint64_t watch_ids_ = 0;
  std::uint64_t session_changes_ = 0;  // master sessions opened or closed
  std::uint64_t armed_sessions_ = 0;
  hostkit::LinkHealth health_;
  bool connected_ = false;
  bool stopped_ = false;
  MibTree tree_;
  bool tree_due_ = true;
  hostkit::TurnClock::Steady::time_point tree_made_{};
};

SnmpService::SnmpService(run::SnmpSettings settings) : settings_(std::move(settings)) {}

SnmpService::~SnmpService() = default;

void SnmpService::start(run::RunContext& run) {
  agent_ = std::make_unique<Agent>(run, settings_);
  run.events.subscribe(*this);
  run_ = &run;
  agent_->start();
}

void SnmpService::stop() {
  if (!agent_) return;
  run_->events.unsubscribe(*this);
  agent_->stop();
  agent_.reset();
}

void SnmpService::round_completed(const station::Station&) {
  if (agent_) agent_->changed();
}

void SnmpService::alarm_event(const events::AlarmEvent& event) {
  if (!agent_) return;
  agent_->changed();
  if (event.key == station::kCommLostKey) {
    agent_->notify(
        comm_notification(agent_->enterprise_root(), event.device, event.raised, event.time_ms));
  } else {
    agent_->notify(alarm_notification(agent_->enterprise_root(), event,
                                      events::alarm_label(event.key, event.text)));
  }
}

void SnmpService::comm_event(const events::CommEvent&) {
  if (agent_) agent_->changed();
}

void SnmpService::control_event(const events::ControlEvent&) {}

}  // namespace kelvra::snmp
