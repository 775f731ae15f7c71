#include "northbound/mqtt_service.h"

#include <unistd.h>

#include <climits>
#include <ctime>
#include <deque>
#include <map>
#include <set>

#include <boost/asio/post.hpp>

#include "hostkit/input_file.h"
#include "line/station.h"
#include "northbound/mqtt_connection.h"
#include "northbound/mqtt_messages.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::northbound {
namespace {

namespace asio = boost::asio;

constexpr std::size_t kWindow = 64;  // rounds handed to the session and not yet acknowledged
constexpr std::size_t kBatch = 32;   // rounds read from history per turn of the loop
constexpr std::size_t kMaxQueuedEvents = 100000;
constexpr std::size_t kMaxPasswordFile = 4096;
constexpr auto kCursorSaveInterval = std::chrono::seconds(1);

const std::string kOnline = "online";
const std::string kOffline = "offline";

// Seconds from a stored local time ("YYYY-MM-DD HH:MM:SS.mmm") to now; nullopt if unreadable.
std::optional<double> age_of(const std::string& stored_time) {
  std::tm parts{};
  const char* rest = strptime(stored_time.c_str(), "%Y-%m-%d %H:%M:%S", &parts);
  if (rest == nullptr) return std::nullopt;
  parts.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&parts);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  double millis = 0;
  if (*rest == '.') millis = std::atof(rest + 1);
  const auto stored = std::chrono::system_clock::from_time_t(seconds) +
                      std::chrono::milliseconds(static_cast<long>(millis));
  return std::chrono::duration<double>(std::chrono::system_clock::now() - stored).count();
}

std::string link_state(const line::Station& station) {
  const Json::Value status = station.status();
  const bool comm_lost = status.isMember("comm_lost") && status["comm_lost"].asBool();
  return status["link"].asString() == "up" && !comm_lost ? "up" : "down";
}

std::string cursor_prefix(const std::string& site) {
  return "mqtt:" + site + "/";
}

}  // namespace

// One device's session and what it has published.
class DevicePublisher {
 public:
  DevicePublisher(line::RunContext& run, const line::Station& station,
                  const line::MqttSettings& settings, const std::string& site,
                  const std::string& password, const std::string& version)
      : run_(run),
        station_(station),
        settings_(settings),
        site_(site),
        version_(version),
        topics_(device_topics(settings.prefix, site, station.settings().name)),
        cursor_name_(cursor_prefix(site) + station.settings().name),
        client_id_((settings.client_id.empty() ? "kelvra-" + site : settings.client_id) + "-" +
                   station.settings().name),
        connection_(run.io, connection_options(password), handlers()) {}

  const line::Station& station() const { return station_; }

  // Devices of this site announced by an earlier run and no longer in the settings; their
  // discovery and retained topics are emptied once this session is up.
  void remove_on_connect(std::vector<std::string> departed) { departed_ = std::move(departed); }

  void start() {
    acked_ = run_.history.get_cursor(cursor_name_);
    if (acked_ == 0) {
      // A device new to this broker starts at its newest stored round, not at years of history.
      const std::int64_t newest = run_.history.last_record_id(station_.settings().data_id);
      acked_ = newest > 0 ? newest - 1 : 0;
    }
    saved_ = -1;
    sent_ = acked_;
    connection_.start();
  }

  void stop() {
    connection_.publish(topics_.status(), kOffline, 1, true);
    save_cursor(true);
    connection_.stop();
  }

  void round_completed() {
    if (!connection_.up()) return;
    publish_link(false);
    publish_alarms(false);
    publish_discovery(false);
    pump();
  }

  void event(const Json::Value& payload) {
    const std::string text = payload_text(payload);
    if (connection_.up() && events_waiting_.empty()) {
      send_event(text);
      return;
    }
    if (events_waiting_.size() >= kMaxQueuedEvents) {
      events_waiting_.pop_front();
      ++events_dropped_;
    }
    events_waiting_.push_back(text);
  }

  void link_changed() {
    if (connection_.up()) publish_link(false);
  }

 private:
  ConnectionOptions connection_options(const std::string& password) const {
    ConnectionOptions options;
    options.broker = settings_.url;
    options.host = settings_.host;
    options.port = settings_.port;
    options.tls = settings_.tls;
    options.ca_file = settings_.ca_file;
    options.cert_file = settings_.cert_file;
    options.key_file = settings_.key_file;
    options.username = settings_.username;
    options.password = password;
    options.client_id = client_id_;
    options.keepalive = settings_.keepalive;
    options.will_topic = topics_.status();
    options.will_payload = kOffline;
    return options;
  }

  ConnectionHandlers handlers() {
    ConnectionHandlers handlers;
    handlers.up = [this] { session_up(); };
    handlers.down = [this] { session_down(); };
    handlers.delivered = [this](int mid) { delivered(mid); };
    handlers.message = [this](const std::string& topic, const std::string& payload) {
      message(topic, payload);
    };
    handlers.say = [this](const std::string& line) {
      run_.console.note("mqtt " + station_.settings().name, line);
    };
    return handlers;
  }

  void session_up() {
    connection_.publish(topics_.status(), kOnline, 1, true);
    publish_link(true);
    publish_discovery(true);
    publish_alarms(true);
    connection_.subscribe(settings_.discovery_prefix + "/status", 1);
    if (settings_.control) connection_.subscribe(topics_.control(), 1);
    for (const std::string& device : departed_) remove_device(device);
    departed_.clear();
    if (events_dropped_ > 0) {
      run_.console.note("mqtt " + station_.settings().name,
                        std::to_string(events_dropped_) +
                            " events dropped while the broker was away: the queue was full");
      events_dropped_ = 0;
    }
    while (!events_waiting_.empty()) {
      send_event(events_waiting_.front());
      events_waiting_.pop_front();
    }
    replay_end_ = run_.history.last_record_id(station_.settings().data_id);
    sent_ = acked_;
    pump();
  }

  void session_down() {
    // What the ended session did not get acknowledged goes again, in its order, next time.
    for (auto it = events_in_flight_.rbegin(); it != events_in_flight_.rend(); ++it) {
      events_waiting_.push_front(it->second);
    }
    events_in_flight_.clear();
    rounds_in_flight_.clear();
    unacknowledged_.clear();
    sent_ = acked_;
    save_cursor(true);
    link_published_.clear();
    discovery_published_.clear();
    alarms_published_.clear();
  }

  void send_event(const std::string& text) {
    const auto mid = connection_.publish(topics_.event(), text, settings_.qos, false);
    if (mid) {
      events_in_flight_.emplace(*mid, text);
    } else {
      events_waiting_.push_front(text);
    }
  }

  // Hands the rounds stored after the last one sent to the session, a batch per turn.
  void pump() {
    pump_posted_ = false;
    if (!connection_.up() || rounds_in_flight_.size() >= kWindow) return;
    const std::size_t room = std::min(kBatch, kWindow - rounds_in_flight_.size());
    const auto rows = run_.history.records_after(sent_, station_.settings().data_id, room);
    for (const line::StoredRecord& row : rows) {
      const auto record = record::from_bytes(row.bytes.data(), row.bytes.size());
      if (!record) {
        sent_ = row.id;  // not a record: nothing to publish, and nothing to wait for
        continue;
      }
      StateContext context{site_, row.id <= replay_end_, age_of(row.time)};
      const auto mid = connection_.publish(
          topics_.state(), payload_text(state_payload(row, *record, context)), settings_.qos, true);
      if (!mid) return;
      rounds_in_flight_.emplace(*mid, row.id);
      unacknowledged_.insert(row.id);
      sent_ = row.id;
    }
    if (rows.size() == room && !pump_posted_) {
      pump_posted_ = true;
      asio::post(run_.io, [this, alive = std::weak_ptr<bool>(alive_)] {
        if (!alive.expired()) pump();
      });
    }
    if (unacknowledged_.empty() && !rows.empty()) acked_ = std::max(acked_, sent_);
  }

  void delivered(int mid) {
    const auto round = rounds_in_flight_.find(mid);
    if (round != rounds_in_flight_.end()) {
      unacknowledged_.erase(round->second);
      rounds_in_flight_.erase(round);
      acked_ = unacknowledged_.empty() ? sent_ : *unacknowledged_.begin() - 1;
      save_cursor(unacknowledged_.empty());
      pump();
      return;
    }
    events_in_flight_.erase(mid);
  }

  void save_cursor(bool now) {
    if (acked_ == saved_) return;
    const auto time = std::chrono::steady_clock::now();
    if (!now && time - last_save_ < kCursorSaveInterval) return;
    run_.history.set_cursor(cursor_name_, acked_);
    saved_ = acked_;
    last_save_ = time;
  }

  void message(const std::string& topic, const std::string& payload) {
    if (topic == settings_.discovery_prefix + "/status") {
      if (payload != kOnline) return;
      // Home Assistant started again: it has forgotten everything not retained for it.
      publish_discovery(true);
      publish_alarms(true);
      publish_link(true);
      connection_.publish(topics_.status(), kOnline, 1, true);
      return;
    }
    if (settings_.control && topic == topics_.control()) control(payload);
  }

  void control(const std::string& payload) {
    ControlParse parsed = parse_control_payload(payload, station_.settings().name);
    if (!parsed.request) {
      Json::Value answer(Json::objectValue);
      answer["ok"] = false;
      answer["error"] = parsed.error;
      if (!parsed.id.isNull()) answer["id"] = parsed.id;
      connection_.publish(topics_.result(), payload_text(answer), settings_.qos, false);
      return;
    }
    run_.handle(
        *parsed.request, "mqtt " + client_id_,
        [this, id = parsed.id, alive = std::weak_ptr<bool>(alive_)](const Json::Value& reply) {
          if (alive.expired()) return;
          Json::Value answer = reply;
          if (!id.isNull()) answer["id"] = id;
          connection_.publish(topics_.result(), payload_text(answer), settings_.qos, false);
        });
  }

  void publish_link(bool always) {
    const std::string state = link_state(station_);
    if (!always && state == link_published_) return;
    if (connection_.publish(topics_.link(), state, settings_.qos, true)) link_published_ = state;
  }

  void publish_alarms(bool always) {
    for (const line::AlarmState& alarm : station_.alarm_states()) {
      const std::string key = alarm_topic_key(alarm.key, alarm.text);
      const std::string value = alarm.active ? "ON" : "OFF";
      auto& published = alarms_published_[key];
      if (!always && published == value) continue;
      if (connection_.publish(topics_.alarm(key), value, settings_.qos, true)) published = value;
    }
  }

  void publish_discovery(bool always) {
    const auto& record = station_.last_record();
    DiscoveryInput input{site_,   station_.settings().name,    version_,
                         topics_, record ? &*record : nullptr, station_.alarm_states()};
    const std::string text = payload_text(discovery_payload(input));
    if (!always && text == discovery_published_) return;
    const std::string topic =
        discovery_topic(settings_.discovery_prefix, site_, station_.settings().name);
    if (connection_.publish(topic, text, 1, true)) discovery_published_ = text;
  }

  void remove_device(const std::string& device) {
    const DeviceTopics gone = device_topics(settings_.prefix, site_, device);
    for (const std::string& topic : {discovery_topic(settings_.discovery_prefix, site_, device),
                                     gone.status(), gone.link(), gone.state()}) {
      connection_.publish(topic, "", 1, true);
    }
    run_.history.remove_cursor(cursor_prefix(site_) + device);
    run_.console.note("mqtt", "device " + device + " left the settings: removed from discovery");
  }

  line::RunContext& run_;
  const line::Station& station_;
  const line::MqttSettings& settings_;
  std::string site_;
  std::string version_;
  DeviceTopics topics_;
  std::string cursor_name_;
  std::string client_id_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  MqttConnection connection_;
  std::vector<std::string> departed_;

  std::int64_t acked_ = 0;       // every round up to this row the broker acknowledged
  std::int64_t saved_ = -1;      // the position last written to history
  std::int64_t sent_ = 0;        // the last row handed to the session
  std::int64_t replay_end_ = 0;  // rows up to this one were stored before the session began
  std::map<int, std::int64_t> rounds_in_flight_;  // message id to row
  std::set<std::int64_t> unacknowledged_;
  std::chrono::steady_clock::time_point last_save_{};
  bool pump_posted_ = false;

  std::map<int, std::string> events_in_flight_;
  std::deque<std::string> events_waiting_;
  std::uint64_t events_dropped_ = 0;

  std::string link_published_;
  std::string discovery_published_;
  std::map<std::string, std::string> alarms_published_;
};

std::string default_site_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "site";
  return discovery_id(name);
}

MqttService::MqttService(line::MqttSettings settings, std::string version)
    : settings_(std::move(settings)), version_(std::move(version)) {}

MqttService::~MqttService() {
  stop();
}

void MqttService::start(line::RunContext& run) {
  run_ = &run;
  const std::string site = settings_.site.empty() ? default_site_name() : settings_.site;
  std::string password;
  if (!settings_.password_file.empty()) {
    try {
      password = hostkit::read_input_file(settings_.password_file, kMaxPasswordFile);
    } catch (const hostkit::InputFileError& error) {
      throw line::RunError("mqtt.password_file " + settings_.password_file + ": " + error.what());
    }
    password = password.substr(0, password.find_first_of("\r\n"));
  }
  std::set<std::string> configured;
  for (const line::Station* station : run.stations) {
    const std::string& name = station->settings().name;
    if (name.empty() || name.find_first_of("/+#") != std::string::npos) {
      throw line::RunError("device name \"" + name +
                           "\" cannot be an MQTT topic level (no '/', '+' or '#')");
    }
    configured.insert(name);
    try {
      publishers_.push_back(
          std::make_unique<DevicePublisher>(run, *station, settings_, site, password, version_));
    } catch (const MqttSetupError& error) {
      throw line::RunError("mqtt " + settings_.url + ": " + error.what());
    }
  }
  std::vector<std::string> departed;
  const std::string prefix = cursor_prefix(site);
  for (const std::string& name : run.history.cursor_names(prefix)) {
    const std::string device = name.substr(prefix.size());
    if (!configured.count(device)) departed.push_back(device);
  }
  if (!publishers_.empty()) publishers_.front()->remove_on_connect(std::move(departed));
  run.events.subscribe(*this);
  for (const auto& publisher : publishers_) publisher->start();
}

void MqttService::stop() {
  if (run_ == nullptr) return;
  run_->events.unsubscribe(*this);
  for (const auto& publisher : publishers_) publisher->stop();
  publishers_.clear();
  run_ = nullptr;
}

void MqttService::round_completed(const line::Station& station) {
  for (const auto& publisher : publishers_) {
    if (&publisher->station() == &station) publisher->round_completed();
  }
}

void MqttService::alarm_event(const line::AlarmEvent& event) {
  for (const auto& publisher : publishers_) {
    if (publisher->station().settings().name == event.device) {
      publisher->event(alarm_event_payload(event));
    }
  }
}

void MqttService::comm_event(const line::CommEvent& event) {
  for (const auto& publisher : publishers_) {
    if (publisher->station().status()["port"].asString() == event.port) {
      publisher->event(comm_event_payload(event));
      publisher->link_changed();
    }
  }
}

void MqttService::control_event(const line::ControlEvent& event) {
  for (const auto& publisher : publishers_) {
    if (publisher->station().settings().name == event.device) {
      publisher->event(control_event_payload(event));
    }
  }
}

}  // namespace kelvra::northbound
