#include "northbound/mqtt_service.h"

#include <unistd.h>

#include <climits>
#include <map>
#include <set>
#include <variant>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "events/event_json.h"
#include "hostkit/input_file.h"
#include "northbound/mqtt_connection.h"
#include "northbound/mqtt_messages.h"
#include "northbound/report_by_exception.h"
#include "record/kelvra_419_fields.h"
#include "station/device_name.h"
#include "station/station.h"

namespace kelvra::northbound {
namespace {

namespace asio = boost::asio;

constexpr std::size_t kWindow = 64;  // messages handed to the session and not yet acknowledged
constexpr std::size_t kBatch = 32;   // rounds read from history per turn of the loop
constexpr std::size_t kMaxPasswordFile = 4096;
constexpr auto kCursorSaveInterval = std::chrono::seconds(1);

const std::string kOnline = "online";
const std::string kOffline = "offline";

// "down" once the data is stale: the line down or no round within the communication-lost time.
std::string link_state(const station::StationSnapshot& snap) {
  return snap.link_up && !snap.comm_lost && snap.source != station::DataSource::kStale ? "up"
                                                                                       : "down";
}

std::string cursor_prefix(const std::string& site) {
  return "mqtt:" + site + "/";
}

}  // namespace

// One device's session and what it has published.
class DevicePublisher {
 public:
  DevicePublisher(run::RunContext& run, const station::Station& station,
                  const run::MqttSettings& settings, const std::string& site,
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
        connection_(run.io, connection_options(password), handlers(), run.clock),
        pump_timer_(run.io) {
    if (settings.full_state.count() > 0)
      by_exception_.emplace(settings.full_state, settings.deadbands);
  }

  const station::Station& station() const { return station_; }

  // Devices of this site announced by an earlier run and no longer in the settings; their
  // discovery and retained topics are emptied once this session is up.
  void remove_on_connect(std::vector<std::string> departed) { departed_ = std::move(departed); }

  void start() {
    connection_.start();
    every_second();
  }

  void stop() {
    pump_timer_.cancel();
    connection_.publish(topics_.status(), kOffline, 1, true, Keep::kSessionOnly);
    save_cursor(true);
    connection_.stop();
  }

  void round_completed() {
    if (!connection_.up()) return;
    publish_link(false);
    publish_alarms(false);
    publish_discovery(false);
  }

  void link_changed() {
    if (connection_.up()) publish_link(false);
  }

 private:
  // A read of history, or `otherwise` while the database cannot be read; tried again later.
  template <class Read, class Value>
  static Value read_history(const Read& read, Value otherwise) {
    try {
      return read();
    } catch (const history::HistoryError&) {
      return otherwise;
    }
  }

  // Throws history::HistoryError while the database cannot be read.
  std::int64_t newest_record_position() {
    history::HistoryQuery query;
    query.device = station_.settings().name;
    query.kinds = {history::TimelineKind::record};
    query.last = 1;
    const auto newest = run_.history.timeline(query);
    return newest.empty() ? 0 : newest.back().position;
  }

  // The acknowledged position; without one (never acknowledged, or 0), the position before the
  // first round stored within the replay window, so nothing stored while the broker was never
  // reached is skipped, nor years of history sent.
  std::int64_t replay_start() {
    const std::int64_t cursor = run_.history.get_cursor(cursor_name_);
    if (cursor > 0) return cursor;
    const std::int64_t since =
        run_.clock.utc_ms() -
        std::chrono::duration_cast<std::chrono::milliseconds>(settings_.replay_window).count();
    const auto first = run_.history.first_record_since(station_.settings().name, since);
    return first ? *first - 1 : newest_record_position();
  }

  // Reads once what replay needs: where it starts and where the entries stored before this
  // session end. False while history cannot be read: never guessed, tried again each second.
  bool positioned() {
    try {
      if (!acked_read_) {
        acked_ = replay_start();
        sent_ = acked_;
        acked_read_ = true;
      }
      if (!replay_end_) replay_end_ = newest_record_position();
      return true;
    } catch (const history::HistoryError&) {
      return false;
    }
  }

  // Rows reach the database within the store's flush interval; look for them once a second.
  void every_second() {
    pump();
    save_cursor(false);
    pump_timer_.expires_after(std::chrono::seconds(1));
    pump_timer_.async_wait([this](const boost::system::error_code& error) {
      if (!error) every_second();
    });
  }

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
    handlers.delivered = [this](MessageId id) { delivered(id); };
    handlers.message = [this](const std::string& topic, const std::string& payload, bool retained) {
      message(topic, payload, retained);
    };
    handlers.say = [this](const std::string& line) {
      run_.console.note("mqtt " + station_.settings().name, line);
    };
    return handlers;
  }

  void session_up() {
    connection_.publish(topics_.status(), kOnline, 1, true, Keep::kSessionOnly);
    publish_link(true);
    publish_discovery(true);
    publish_alarms(true);
    connection_.subscribe(settings_.discovery_prefix + "/status", 1);
    if (settings_.control) connection_.subscribe(topics_.control(), 1);
    for (const std::string& device : departed_) remove_device(device);
    departed_.clear();
    for (const std::string& base : departed_bases_) connection_.subscribe(base + "#", 1);
    replay_end_.reset();
    sent_ = acked_;
    if (by_exception_) by_exception_->restart();
    pump();
  }

  void session_down() {
    // What the ended session did not get acknowledged goes again, in its order, next time.
    in_flight_.clear();
    unacknowledged_.clear();
    sent_ = acked_;
    save_cursor(true);
    link_published_.clear();
    discovery_published_.clear();
    alarms_published_.clear();
  }

  bool concerns_this_device(const history::TimelineEntry& entry) const {
    const std::string& name = station_.settings().name;
    if (const auto* record = std::get_if<history::StoredRecord>(&entry.row)) {
      return record->device == name;
    }
    if (const auto* alarm = std::get_if<events::AlarmEvent>(&entry.row))
      return alarm->device == name;
    if (const auto* control = std::get_if<events::ControlEvent>(&entry.row)) {
      return control->device == name;
    }
    return std::get<events::CommEvent>(entry.row).port == station_.snapshot().port;
  }

  struct Outgoing {
    std::string topic;
    std::string payload;
    bool retain;
  };

  // What the entry sends: a round's state and readings (those worth it when reported by
  // exception), or an event; nothing for a row that is not a record of the device's size.
  std::vector<Outgoing> messages_of(const history::TimelineEntry& entry) {
    const bool replayed = entry.position <= replay_end_.value_or(0);
    if (const auto* stored = std::get_if<history::StoredRecord>(&entry.row)) {
      const auto record = record::from_bytes(stored->bytes.data(), stored->bytes.size());
      if (!record) return {};
      const std::int64_t made_ms = record_made_ms(*stored, *record);
      const RoundReport report =
          by_exception_ ? by_exception_->next(*record, made_ms) : RoundReport{true, {}};
      const double age_s = static_cast<double>(run_.clock.utc_ms() - made_ms) / 1000.0;
      std::vector<Outgoing> messages;
      for (RoundMessage& message : round_messages(topics_, *stored, *record,
                                                  StateContext{site_, replayed, age_s}, report)) {
        messages.push_back({std::move(message.topic), std::move(message.payload), true});
      }
      return messages;
    }
    Json::Value event;
    if (const auto* alarm = std::get_if<events::AlarmEvent>(&entry.row)) {
      event = events::event_json(*alarm);
    } else if (const auto* control = std::get_if<events::ControlEvent>(&entry.row)) {
      event = events::event_json(*control);
    } else {
      event = events::event_json(std::get<events::CommEvent>(entry.row));
    }
    event["position"] = Json::Int64(entry.position);
    event["replayed"] = replayed;
    return {{topics_.event(), payload_text(event), false}};
  }

  // Hands what history holds after the last entry sent to the session, a batch per turn.
  void pump() {
    pump_posted_ = false;
    if (!connection_.up() || !positioned() || in_flight_.size() >= kWindow) return;
    const auto entries = read_history([&] { return run_.history.timeline_after(sent_, kBatch); },
                                      std::vector<history::TimelineEntry>{});
    for (const history::TimelineEntry& entry : entries) {
      if (in_flight_.size() >= kWindow) break;
      if (!concerns_this_device(entry)) {
        sent_ = entry.position;
        continue;
      }
      for (const Outgoing& message : messages_of(entry)) {
        const MessageId id = connection_.publish(message.topic, message.payload, settings_.qos,
                                                 message.retain, Keep::kSessionOnly);
        if (!connection_.up()) return;  // the session ended meanwhile and rewound sent_
        in_flight_.emplace(id, entry.position);
        unacknowledged_.insert(entry.position);
      }
      sent_ = entry.position;
    }
    if (unacknowledged_.empty()) acked_ = std::max(acked_, sent_);
    if (entries.size() == kBatch && !pump_posted_) {
      pump_posted_ = true;
      asio::post(run_.io, [this, alive = std::weak_ptr<bool>(alive_)] {
        if (!alive.expired()) pump();
      });
    }
  }

  void delivered(MessageId id) {
    const auto sent = in_flight_.find(id);
    if (sent == in_flight_.end()) return;  // status, link, alarms, discovery, results
    unacknowledged_.erase(unacknowledged_.find(sent->second));
    in_flight_.erase(sent);
    acked_ = unacknowledged_.empty() ? sent_ : *unacknowledged_.begin() - 1;
    save_cursor(false);
    pump();
  }

  void save_cursor(bool now) {
    if (!acked_read_ || acked_ == saved_) return;
    const auto time = run_.clock.steady();
    if (!now && time - last_save_ < kCursorSaveInterval) return;
    run_.history.set_cursor(cursor_name_, acked_);
    saved_ = acked_;
    last_save_ = time;
  }

  void message(const std::string& topic, const std::string& payload, bool retained) {
    if (topic == settings_.discovery_prefix + "/status") {
      if (payload != kOnline) return;
      // Home Assistant started again: it has forgotten everything not retained for it.
      publish_discovery(true);
      publish_alarms(true);
      publish_link(true);
      connection_.publish(topics_.status(), kOnline, 1, true, Keep::kSessionOnly);
      return;
    }
    if (clear_departed(topic, payload, retained)) return;
    if (settings_.control && topic == topics_.control()) control(payload, retained);
  }

  void control(const std::string& payload, bool retained) {
    if (payload.empty()) return;  // a retained request cleared, ours or another's
    ControlParse parsed = parse_control_payload(payload, station_.settings().name);
    if (retained) {
      // The broker hands a retained request over at every connect: it would run at every start.
      connection_.publish(topics_.control(), "", 1, true);
      run_.console.note("mqtt " + station_.settings().name,
                        "retained control request on " + topics_.control() +
                            " refused and cleared from the broker; nothing was sent");
      refuse_control("retained control requests are not carried out: publish without retain",
                     parsed.id);
      return;
    }
    if (!parsed.request) {
      refuse_control(parsed.error, parsed.id);
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

  void refuse_control(const std::string& error, const Json::Value& id) {
    Json::Value answer(Json::objectValue);
    answer["ok"] = false;
    answer["error"] = error;
    if (!id.isNull()) answer["id"] = id;
    connection_.publish(topics_.result(), payload_text(answer), settings_.qos, false);
  }

  void publish_link(bool always) {
    const std::string state = link_state(station_.snapshot());
    if (!always && state == link_published_) return;
    connection_.publish(topics_.link(), state, settings_.qos, true, Keep::kSessionOnly);
    link_published_ = state;
  }

  void publish_alarms(bool always) {
    for (const station::AlarmState& alarm : station_.snapshot().alarms) {
      const std::string& key = alarm.key;
      const std::string value = alarm.active ? "ON" : "OFF";
      auto& published = alarms_published_[key];
      if (!always && published == value) continue;
      connection_.publish(topics_.alarm(key), value, settings_.qos, true, Keep::kSessionOnly);
      published = value;
    }
  }

  void publish_discovery(bool always) {
    const station::StationSnapshot snap = station_.snapshot();
    DiscoveryInput input{site_,
                         snap.device,
                         version_,
                         topics_,
                         snap.record ? &*snap.record : nullptr,
                         snap.alarms,
                         settings_.full_state.count()};
    const Json::Value payload = discovery_payload(input);
    // Announced once its record or alarms give it components: an empty device is of no use.
    if (payload["cmps"].empty()) return;
    const std::string text = payload_text(payload);
    if (!always && text == discovery_published_) return;
    const std::string topic =
        discovery_topic(settings_.discovery_prefix, site_, station_.settings().name);
    connection_.publish(topic, text, 1, true, Keep::kSessionOnly);
    discovery_published_ = text;
  }

  // Empties the departed device's discovery and known topics, and through a subscription to all
  // of its topics whatever else the broker retains for it (alarm/KEY, cmd/control).
  void remove_device(const std::string& device) {
    const DeviceTopics gone = device_topics(settings_.prefix, site_, device);
    for (const std::string& topic : {discovery_topic(settings_.discovery_prefix, site_, device),
                                     gone.status(), gone.link(), gone.state()}) {
      connection_.publish(topic, "", 1, true);
    }
    departed_bases_.push_back(gone.base + "/");
    run_.history.set_cursor(cursor_prefix(site_) + device, 0);
    run_.console.note("mqtt", "device " + device +
                                  " left the settings: removed from discovery, its retained "
                                  "topics cleared from the broker");
  }

  // A retained message of a departed device, as the broker hands it over on subscribing: emptied.
  bool clear_departed(const std::string& topic, const std::string& payload, bool retained) {
    for (const std::string& base : departed_bases_) {
      if (topic.rfind(base, 0) != 0) continue;
      if (retained && !payload.empty()) connection_.publish(topic, "", 1, true);
      return true;
    }
    return false;
  }

  run::RunContext& run_;
  const station::Station& station_;
  const run::MqttSettings& settings_;
  std::string site_;
  std::string version_;
  DeviceTopics topics_;
  std::string cursor_name_;
  std::string client_id_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  MqttConnection connection_;
  std::vector<std::string> departed_;
  std::vector<std::string> departed_bases_;  // "PREFIX/SITE/DEVICE/" of each device removed

  bool acked_read_ = false;  // acked_ holds the position read from history
  std::int64_t acked_ = 0;   // every entry up to this position the broker acknowledged
  std::int64_t saved_ = -1;  // the position last written to history
  std::int64_t sent_ = 0;    // the last position handed to the session
  // Entries up to this one were stored before the session began; none until read.
  std::optional<std::int64_t> replay_end_;
  std::map<MessageId, std::int64_t> in_flight_;    // message id to position
  std::multiset<std::int64_t> unacknowledged_;     // a position per message in flight
  std::optional<ReportByException> by_exception_;  // none: the whole state every round
  std::chrono::steady_clock::time_point last_save_{};
  boost::asio::steady_timer pump_timer_;
  bool pump_posted_ = false;

  std::string link_published_;
  std::string discovery_published_;
  std::map<std::string, std::string> alarms_published_;
};

std::string default_site_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "site";
  return discovery_id(name);
}

MqttService::MqttService(run::MqttSettings settings, std::string version)
    : settings_(std::move(settings)), version_(std::move(version)) {}

MqttService::~MqttService() {
  stop();
}

void MqttService::start(run::RunContext& run) {
  const std::string site = settings_.site.empty() ? default_site_name() : settings_.site;
  std::string password;
  if (!settings_.password_file.empty()) {
    try {
      password = hostkit::read_input_file(settings_.password_file, kMaxPasswordFile);
    } catch (const hostkit::InputFileError& error) {
      throw run::RunConfigError("mqtt.password_file " + settings_.password_file + ": " +
                                error.what());
    }
    password = password.substr(0, password.find_first_of("\r\n"));
  }
  // Made aside and kept only once all are made: a start that throws holds nothing of the run.
  std::vector<std::unique_ptr<DevicePublisher>> publishers;
  std::set<std::string> configured;
  for (const station::Station* station : run.stations) {
    const std::string& name = station->settings().name;
    const std::string problem = station::device_name_problem(name);
    if (!problem.empty()) throw run::RunConfigError(problem);
    configured.insert(name);
    try {
      publishers.push_back(
          std::make_unique<DevicePublisher>(run, *station, settings_, site, password, version_));
    } catch (const MqttSetupError& error) {
      throw run::RunConfigError("mqtt " + settings_.url + ": " + error.what());
    }
  }
  publishers_ = std::move(publishers);
  run_ = &run;
  std::vector<std::string> departed;
  try {
    for (const std::string& device : run.history.device_names()) {
      if (!configured.count(device) && run.history.get_cursor(cursor_prefix(site) + device) != 0) {
        departed.push_back(device);
      }
    }
  } catch (const history::HistoryError&) {
    // Unreadable history: departed devices are removed at a later start.
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
  run_->history.flush();  // the acknowledged positions, before the run's end
  run_ = nullptr;
}

void MqttService::round_completed(const station::Station& station) {
  for (const auto& publisher : publishers_) {
    if (&publisher->station() == &station) publisher->round_completed();
  }
}

// Events reach the broker out of history, in the order they were stored; communication lost or
// back turns the data stale or live, which the link topic tells at once.
void MqttService::alarm_event(const events::AlarmEvent& event) {
  if (event.key != station::kCommLostKey) return;
  for (const auto& publisher : publishers_) {
    if (publisher->station().settings().name == event.device) publisher->link_changed();
  }
}

void MqttService::comm_event(const events::CommEvent& event) {
  for (const auto& publisher : publishers_) {
    if (publisher->station().snapshot().port == event.port) publisher->link_changed();
  }
}

void MqttService::control_event(const events::ControlEvent&) {}

}  // namespace kelvra::northbound
