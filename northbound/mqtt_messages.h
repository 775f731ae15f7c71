// What the site publishes, as topics and payloads: pure functions of settings, records and
// events, so that every message can be checked without a broker.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "history/history_store.h"
#include "northbound/report_by_exception.h"
#include "record/kelvra_419_data.h"
#include "station/alarm_engine.h"

namespace kelvra::northbound {

// The topics of one device under PREFIX/SITE/DEVICE/.
struct DeviceTopics {
  std::string base;  // "PREFIX/SITE/DEVICE"
  std::string status() const { return base + "/status"; }
  std::string link() const { return base + "/link"; }
  std::string state() const { return base + "/state"; }
  std::string event() const { return base + "/event"; }
  std::string alarm(const std::string& alarm_key) const { return base + "/alarm/" + alarm_key; }
  std::string reading(const std::string& field) const { return base + "/reading/" + field; }
  std::string control() const { return base + "/cmd/control"; }
  std::string result() const { return base + "/cmd/result"; }
};

DeviceTopics device_topics(const std::string& prefix, const std::string& site,
                           const std::string& device);

// Letters, digits, '_' and '-' kept, anything else '_': the form of discovery ids.
std::string discovery_id(const std::string& text);

struct StateContext {
  std::string site;
  bool replayed = false;        // stored while the broker was away, sent after its return
  std::optional<double> age_s;  // from the record's making to this message
};

// UTC milliseconds of when the record was made: a polled round when it was stored, a restored
// record at the round time it carries (its storing is only when it was handed back).
std::int64_t record_made_ms(const history::StoredRecord& stored, const kelvra_419_Data_t& record);

// One stored round: its position in history, times, source, the record exactly as
// `decode --json` lists it, and the unit of every field that has one.
Json::Value state_payload(const history::StoredRecord& stored, const kelvra_419_Data_t& record,
                          const StateContext& context);

// A reading's payload: the shortest decimal of its value in base unit, "null" for none.
std::string reading_payload(const std::optional<double>& value);

// A retained message of a round.
struct RoundMessage {
  std::string topic;
  std::string payload;
};

// What one stored round publishes: the state message when the report is whole, then each reading
// the report names on its reading topic.
std::vector<RoundMessage> round_messages(const DeviceTopics& topics,
                                         const history::StoredRecord& stored,
                                         const kelvra_419_Data_t& record,
                                         const StateContext& context, const RoundReport& report);

struct DiscoveryInput {
  std::string site;
  std::string device;
  std::string version;  // of the host program
  DeviceTopics topics;
  const kelvra_419_Data_t* record = nullptr;  // the newest; none: no sensors yet
  std::vector<station::AlarmState> alarms;
  // Readings reported by exception (> 0): each sensor reads its reading topic and expires after
  // 2.5 full-state intervals without one. 0: every sensor reads the state message.
  std::int64_t full_state_s = 0;
};

// The device-based discovery message of one device: device, origin, availability from `status`
// and `link`, sensors for every measured field of the record and a problem binary sensor per
// alarm.
Json::Value discovery_payload(const DiscoveryInput& input);
std::string discovery_topic(const std::string& discovery_prefix, const std::string& site,
                            const std::string& device);

// A control request as it comes on cmd/control: {"code": INT, "argument": TEXT, "id": TEXT},
// argument and id optional, nothing else. The request for the run's request path (with the id as
// text, which the run carries out at most once), or the reason it is refused.
struct ControlParse {
  std::optional<Json::Value> request;
  Json::Value id;  // echoed in the result; null when not given or not usable
  std::string error;
};
ControlParse parse_control_payload(const std::string& payload, const std::string& device);

// JSON without newlines, the form of every payload.
std::string payload_text(const Json::Value& value);

}  // namespace kelvra::northbound
