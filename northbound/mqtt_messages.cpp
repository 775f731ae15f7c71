#include "northbound/mqtt_messages.h"

#include <cctype>
#include <memory>

#include <json/writer.h>

#include "hostkit/json_output.h"
#include "hostkit/local_time.h"
#include "record/kelvra_419_fields.h"
#include "station/control_request.h"

namespace kelvra::northbound {
namespace {

constexpr std::size_t kMaxControlPayload = 4096;
constexpr unsigned kMaxControlDepth = 3;

Json::Value availability(const DeviceTopics& topics) {
  Json::Value list(Json::arrayValue);
  Json::Value status(Json::objectValue);
  status["topic"] = topics.status();
  status["payload_available"] = "online";
  status["payload_not_available"] = "offline";
  list.append(status);
  Json::Value link(Json::objectValue);
  link["topic"] = topics.link();
  link["payload_available"] = "up";
  link["payload_not_available"] = "down";
  list.append(link);
  return list;
}

// "ac.channel[0].a" to "ac_channel_0_a".
std::string object_id(const std::string& field) {
  std::string id;
  for (const char c : field) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      id += c;
    } else if (!id.empty() && id.back() != '_') {
      id += '_';
    }
  }
  while (!id.empty() && id.back() == '_') id.pop_back();
  return id;
}

}  // namespace

DeviceTopics device_topics(const std::string& prefix, const std::string& site,
                           const std::string& device) {
  return DeviceTopics{prefix + "/" + site + "/" + device};
}

std::string discovery_id(const std::string& text) {
  std::string id = text;
  for (char& c : id) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
  }
  return id;
}

std::string payload_text(const Json::Value& value) {
  return hostkit::json_text(value);
}

std::int64_t record_made_ms(const history::StoredRecord& stored, const kelvra_419_Data_t& record) {
  if (!stored.restored) return stored.time_ms;
  return record::time_ms(record.round_time).value_or(stored.time_ms);
}

Json::Value state_payload(const history::StoredRecord& stored, const kelvra_419_Data_t& record,
                          const StateContext& context) {
  const std::int64_t made_ms = record_made_ms(stored, record);
  Json::Value state(Json::objectValue);
  state["site"] = context.site;
  state["device"] = stored.device;
  state["position"] = Json::Int64(stored.id);
  state["replayed"] = context.replayed;
  state["source"] = stored.restored ? "restored" : "polled";
  state["time_ms"] = Json::Int64(made_ms);
  state["time"] = hostkit::local_time_text(made_ms);
  state["round_time"] = record::time_text(record.round_time);
  state["round_seconds"] = stored.round_seconds;
  state["age_s"] = context.age_s ? Json::Value(*context.age_s) : Json::Value();
  state["record"] = record::to_json(record);
  Json::Value units(Json::objectValue);
  record::for_each_field(record, [&units](const record::FieldValue& field) {
    if (!field.unit.empty()) units[field.name] = field.unit;
  });
  state["units"] = units;
  return state;
}

std::string reading_payload(const std::optional<double>& value) {
  return value ? record::float_text(static_cast<float>(*value)) : "null";
}

std::vector<RoundMessage> round_messages(const DeviceTopics& topics,
                                         const history::StoredRecord& stored,
                                         const kelvra_419_Data_t& record,
                                         const StateContext& context, const RoundReport& report) {
  std::vector<RoundMessage> messages;
  if (report.full) {
    messages.push_back({topics.state(), payload_text(state_payload(stored, record, context))});
  }
  for (const auto& [field, value] : report.readings) {
    messages.push_back({topics.reading(field), reading_payload(value)});
  }
  return messages;
}

std::string discovery_topic(const std::string& discovery_prefix, const std::string& site,
                            const std::string& device) {
  return discovery_prefix + "/device/" + discovery_id("kelvra_" + site + "_" + device) + "/config";
}

Json::Value discovery_payload(const DiscoveryInput& input) {
  const std::string device_id = discovery_id("kelvra_" + input.site + "_" + input.device);
  Json::Value payload(Json::objectValue);
  Json::Value& device = payload["dev"];
  device["ids"].append(device_id);
  device["name"] = input.site + " " + input.device;
  device["mf"] = "kelvra";
  device["mdl"] = "419 48 V DC power system";
  device["sw"] = input.version;
  payload["o"]["name"] = "kelvra-host";
  payload["o"]["sw"] = input.version;
  payload["availability"] = availability(input.topics);
  payload["availability_mode"] = "all";
  payload["qos"] = 1;
  Json::Value& components = payload["cmps"];
  components = Json::Value(Json::objectValue);
  if (input.record != nullptr) {
    record::for_each_field(*input.record, [&](const record::FieldValue& field) {
      if (!field.series()) return;
      const std::string id = object_id(field.name);
      Json::Value sensor(Json::objectValue);
      sensor["p"] = "sensor";
      sensor["name"] = field.label;
      sensor["unique_id"] = device_id + "_" + id;
      sensor["device_class"] = field.spec->device_class;
      sensor["unit_of_measurement"] = field.unit;
      sensor["state_class"] = "measurement";
      if (input.full_state_s > 0) {
        sensor["state_topic"] = input.topics.reading(field.name);
        sensor["value_template"] = "{{ none if value == 'null' else value }}";
        sensor["expire_after"] = Json::Int64(input.full_state_s * 5 / 2);
      } else {
        sensor["state_topic"] = input.topics.state();
        sensor["value_template"] = "{{ value_json.record." + field.name + " }}";
      }
      components[id] = sensor;
    });
  }
  for (const station::AlarmState& alarm : input.alarms) {
    const std::string& key = alarm.key;
    const std::string id = "alarm_" + discovery_id(key);
    Json::Value problem(Json::objectValue);
    problem["p"] = "binary_sensor";
    problem["name"] = alarm.label;
    problem["unique_id"] = device_id + "_" + id;
    problem["device_class"] = "problem";
    problem["state_topic"] = input.topics.alarm(key);
    problem["payload_on"] = "ON";
    problem["payload_off"] = "OFF";
    components[id] = problem;
  }
  return payload;
}

ControlParse parse_control_payload(const std::string& payload, const std::string& device) {
  const station::ControlRequestRead read = station::read_control_request(
      payload, station::ControlRequestLimits{kMaxControlPayload, kMaxControlDepth, true});
  ControlParse parsed;
  parsed.id = read.id;
  parsed.error = read.error;
  if (read.request) parsed.request = station::control_run_request(*read.request, device);
  if (parsed.request && !read.id.isNull()) (*parsed.request)["id"] = read.id.asString();
  return parsed;
}

}  // namespace kelvra::northbound
