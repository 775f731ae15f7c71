#include "northbound/mqtt_messages.h"

#include <cctype>
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

#include "hostkit/json_input.h"
#include "hostkit/local_time.h"
#include "line/console.h"
#include "line/decode_input.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::northbound {
namespace {

constexpr std::size_t kMaxControlPayload = 4096;
constexpr std::size_t kMaxArgument = 1024;

// "第" in UTF-8, the first character of an AC input alarm's text.
constexpr const char* kInputMark = "\xE7\xAC\xAC";

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

// A sensor's name from its field ("AC1 phase A voltage", "Battery 2 current").
std::string sensor_name(const std::string& field, const std::string& unit) {
  const auto index_at = [&](std::size_t open) {
    return std::to_string(std::stoi(field.substr(open + 1)) + 1);
  };
  const std::string quantity = unit == "V" ? "voltage" : unit == "Hz" ? "frequency" : "current";
  const std::string unit_name = field.rfind("dc2", 0) == 0 ? "DC2" : "DC";
  if (field.rfind("ac.channel[", 0) == 0) {
    const std::string input = "AC" + index_at(field.find('['));
    const char phase = field.back();
    if (phase == 'f') return input + " frequency";
    return input + " phase " + static_cast<char>(std::toupper(phase)) + " voltage";
  }
  if (field.rfind("rc.channel[", 0) == 0)
    return "Rectifier " + index_at(field.find('[')) + " current";
  if (field.find(".m[") != std::string::npos) {
    return unit_name + " battery " + index_at(field.find('[')) + " current";
  }
  return unit_name + " output " + quantity;
}

std::string device_class_of(const std::string& unit) {
  if (unit == "V") return "voltage";
  if (unit == "Hz") return "frequency";
  return "current";
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

std::string alarm_topic_key(const std::string& key, const std::string& text) {
  const std::string mark = kInputMark;
  if (text.rfind(mark, 0) != 0) return key;
  std::size_t end = mark.size();
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
  if (end == mark.size()) return key;
  return key + "_" + text.substr(mark.size(), end - mark.size());
}

std::string discovery_id(const std::string& text) {
  std::string id = text;
  for (char& c : id) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
  }
  return id;
}

std::string payload_text(const Json::Value& value) {
  return line::json_line(value);
}

Json::Value state_payload(const history::StoredRecord& stored, const kelvra_419_Data_t& record,
                          const StateContext& context) {
  Json::Value state(Json::objectValue);
  state["site"] = context.site;
  state["device"] = stored.device;
  state["position"] = Json::Int64(stored.id);
  state["replayed"] = context.replayed;
  state["source"] = stored.restored ? "restored" : "polled";
  state["time"] = hostkit::local_time_text(stored.time_ms);
  state["round_time"] = record::time_text(record.round_time);
  state["round_seconds"] = stored.round_seconds;
  state["age_s"] = context.age_s ? Json::Value(*context.age_s) : Json::Value();
  const std::string listing = line::decode_listing(record, true);
  Json::Value decoded;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  reader->parse(listing.data(), listing.data() + listing.size(), &decoded, &errors);
  state["record"] = decoded;
  Json::Value units(Json::objectValue);
  record::for_each_field(record, [&units](const record::FieldValue& field) {
    const std::string unit = record::field_unit(field.name);
    if (!unit.empty()) units[field.name] = unit;
  });
  state["units"] = units;
  return state;
}

Json::Value alarm_event_payload(const events::AlarmEvent& event) {
  Json::Value payload(Json::objectValue);
  payload["type"] = "alarm";
  payload["time"] = hostkit::local_time_text(event.time_ms);
  payload["device"] = event.device;
  payload["event"] = event.raised ? "raised" : "cleared";
  payload["level"] = event.level;
  payload["key"] = event.key;
  payload["alarm"] = alarm_topic_key(event.key, event.text);
  payload["id"] = event.alarm_id;
  payload["text"] = event.text;
  payload["detail"] = event.name;
  payload["seq"] = event.seq;
  return payload;
}

Json::Value comm_event_payload(const events::CommEvent& event) {
  Json::Value payload(Json::objectValue);
  payload["type"] = "link";
  payload["time"] = hostkit::local_time_text(event.time_ms);
  payload["port"] = event.port;
  payload["event"] = event.event;
  payload["detail"] = event.detail;
  return payload;
}

Json::Value control_event_payload(const events::ControlEvent& event) {
  Json::Value payload(Json::objectValue);
  payload["type"] = "control";
  payload["time"] = hostkit::local_time_text(event.time_ms);
  payload["device"] = event.device;
  payload["origin"] = event.origin;
  payload["code"] = event.code;
  payload["argument"] = event.argument;
  payload["verdict"] = event.verdict;
  payload["detail"] = event.detail;
  payload["readback"] = event.readback;
  return payload;
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
      const std::string unit = record::field_unit(field.name);
      if (unit.empty()) return;
      if (field.name.rfind("dc2.", 0) == 0 && input.record->dc2.m_count == 0) return;
      const std::string id = object_id(field.name);
      Json::Value sensor(Json::objectValue);
      sensor["p"] = "sensor";
      sensor["name"] = sensor_name(field.name, unit);
      sensor["unique_id"] = device_id + "_" + id;
      sensor["device_class"] = device_class_of(unit);
      sensor["unit_of_measurement"] = unit;
      sensor["state_class"] = "measurement";
      sensor["state_topic"] = input.topics.state();
      sensor["value_template"] = "{{ value_json.record." + field.name + " }}";
      components[id] = sensor;
    });
  }
  for (const line::AlarmState& alarm : input.alarms) {
    const std::string key = alarm_topic_key(alarm.key, alarm.text);
    const std::string id = "alarm_" + discovery_id(key);
    Json::Value problem(Json::objectValue);
    problem["p"] = "binary_sensor";
    problem["name"] = alarm.text;
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
  ControlParse parsed;
  Json::Value root;
  try {
    root = hostkit::parse_json(payload, hostkit::JsonLimits{kMaxControlPayload, 3});
  } catch (const hostkit::InputError& error) {
    parsed.error = error.what();
    return parsed;
  }
  if (!root.isObject()) {
    parsed.error = "expected a JSON object";
    return parsed;
  }
  if (root.isMember("id") && (root["id"].isString() || root["id"].isIntegral())) {
    parsed.id = root["id"];
  }
  for (const std::string& member : root.getMemberNames()) {
    if (member != "code" && member != "argument" && member != "id") {
      parsed.error = "\"" + member + "\": unknown member (code, argument, id)";
      return parsed;
    }
  }
  if (root.isMember("id") && parsed.id.isNull()) {
    parsed.error = "\"id\" must be a text or an integer";
    return parsed;
  }
  if (!root.isMember("code") || !root["code"].isInt()) {
    parsed.error = "\"code\" must be an integer";
    return parsed;
  }
  if (root.isMember("argument") &&
      (!root["argument"].isString() || root["argument"].asString().size() > kMaxArgument)) {
    parsed.error =
        "\"argument\" must be a text of at most " + std::to_string(kMaxArgument) + " bytes";
    return parsed;
  }
  Json::Value request(Json::objectValue);
  request["command"] = "control";
  request["device"] = device;
  request["code"] = root["code"];
  request["argument"] = root.isMember("argument") ? root["argument"] : Json::Value("");
  parsed.request = request;
  return parsed;
}

}  // namespace kelvra::northbound
