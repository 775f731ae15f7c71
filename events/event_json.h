// The one JSON form of every event, shared by the console's JSON lines, the web API and its
// event stream, and MQTT: "type", "time_ms" (UTC) and "time" (local, for people) first, then
// the event's own members. A consumer may add members; it never renames these.
#pragma once

#include <json/value.h>

#include "events/event.h"

namespace kelvra::events {

// {"type":"alarm", "device", "event": "raised"|"cleared", "raised", "level", "key" (the alarm
// instance), "device_key", "alarm_id", "name", "text", "label" (English), "seq"}.
Json::Value event_json(const AlarmEvent& event);
// {"type":"link", "port", "event": "lost"|"restored", "detail"}.
Json::Value event_json(const CommEvent& event);
// {"type":"control", "device", "origin", "code", "argument", "verdict", "detail", "readback"}.
Json::Value event_json(const ControlEvent& event);
// {"type":"round", "device", "round", "seconds", "restored", "source", "alarms", "record"}.
Json::Value event_json(const RoundEvent& event);

}  // namespace kelvra::events
