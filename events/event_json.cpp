#include "events/event_json.h"

#include "events/alarm_identity.h"
#include "hostkit/local_time.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::events {
namespace {

Json::Value event_head(const char* type, std::int64_t time_ms) {
  Json::Value json(Json::objectValue);
  json["type"] = type;
  json["time_ms"] = Json::Int64(time_ms);
  json["time"] = hostkit::local_time_text(time_ms);
  return json;
}

}  // namespace

Json::Value event_json(const AlarmEvent& event) {
  Json::Value json = event_head("alarm", event.time_ms);
  json["device"] = event.device;
  json["event"] = event.raised ? "raised" : "cleared";
  json["raised"] = event.raised;
  json["level"] = event.level;
  json["key"] = alarm_key(event.key, event.text);
  json["device_key"] = event.key;
  json["alarm_id"] = event.alarm_id;
  json["name"] = event.name;
  json["text"] = event.text;
  json["label"] = alarm_label(event.key, event.text);
  json["seq"] = event.seq;
  return json;
}

Json::Value event_json(const CommEvent& event) {
  Json::Value json = event_head("link", event.time_ms);
  json["port"] = event.port;
  json["event"] = event.event;
  json["detail"] = event.detail;
  return json;
}

Json::Value event_json(const ControlEvent& event) {
  Json::Value json = event_head("control", event.time_ms);
  json["device"] = event.device;
  json["origin"] = event.origin;
  json["code"] = event.code;
  json["argument"] = event.argument;
  json["verdict"] = event.verdict;
  json["detail"] = event.detail;
  json["readback"] = event.readback;
  return json;
}

Json::Value event_json(const RoundEvent& event) {
  Json::Value json = event_head("round", event.time_ms);
  json["device"] = event.device;
  json["round"] = Json::UInt64(event.round);
  json["seconds"] = event.seconds;
  json["restored"] = event.restored;
  json["source"] = event.restored ? "restored" : "live";
  json["alarms"] = Json::Value(Json::arrayValue);
  for (const std::string& alarm : event.alarms) json["alarms"].append(alarm);
  json["record"] = event.record ? record::to_json(*event.record) : Json::Value();
  return json;
}

}  // namespace kelvra::events
