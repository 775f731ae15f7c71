#include "web/api.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include <json/writer.h>

#include "events/alarm_identity.h"
#include "events/event_json.h"
#include "hostkit/json_output.h"
#include "hostkit/local_time.h"
#include "record/kelvra_419_fields.h"
#include "run/history_listing.h"
#include "station/control_request.h"
#include "web/metrics.h"
#include "web/web_assets.h"

namespace kelvra::web {
namespace {

using station::Station;

constexpr std::int64_t kMinStepMs = 1000;
// Steps longer than this are whole minutes, answered from minute aggregates: a step read from the
// records themselves holds at most an hour of rounds, so one bucket is little work for the loop.
constexpr std::int64_t kLongestRawStepMs = 3600000;
constexpr std::int64_t kMinuteMs = 60000;
constexpr std::int64_t kDefaultSpanMs = 3600 * 1000;
constexpr unsigned kMaxBodyDepth = 4;
constexpr const char* kPrefix = "/api/v1/";

HttpAnswer json_answer(unsigned status, const Json::Value& value) {
  HttpAnswer answer;
  answer.status = status;
  answer.body = hostkit::json_text(value) + "\n";
  return answer;
}

// True when `text` begins with `prefix` (lower case), letters compared in either case.
bool starts_without_case(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char want, char given) {
           return want == static_cast<char>(std::tolower(static_cast<unsigned char>(given)));
         });
}

// Compares in time independent of where the texts first differ.
bool same_secret(const std::string& given, const std::string& token) {
  unsigned char difference = given.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |=
        static_cast<unsigned char>(given[i] ^ token[i % std::max<std::size_t>(1, token.size())]);
  }
  return difference == 0;
}

// The device's reply as it is; one that says "ok": false with `refused` and its status member.
HttpAnswer device_reply(Json::Value reply, unsigned refused) {
  if (reply["ok"].asBool()) return json_answer(200, reply);
  reply["status"] = refused;
  return json_answer(refused, reply);
}

// The span of a history request: since (default an hour before until), until (default now_ms).
std::pair<std::int64_t, std::int64_t> span_of(const Target& target, std::int64_t now_ms) {
  const std::int64_t until = time_param(target, "until").value_or(now_ms);
  const std::int64_t since = time_param(target, "since").value_or(until - kDefaultSpanMs);
  if (since >= until) throw RequestError(400, "\"since\" must lie before \"until\"");
  return {since, until};
}

// The 405 answer that names the one method a resource takes.
HttpAnswer method_refused(const std::string& text, const char* method) {
  HttpAnswer refused = error_answer(405, text);
  refused.allow = method;
  return refused;
}

// True when the request uses `method`; otherwise answers 405 and returns false.
bool method_taken(const HttpRequest& request, const char* method, const Api::Answer& done) {
  if (request.method == method) return true;
  done(method_refused(request.method + " is not taken here; use " + method, method));
  return false;
}

// A file of the page at `path` (GET only), or 404.
void serve_page_file(const HttpRequest& request, const std::string& path, const Api::Answer& done) {
  const EmbeddedFile* file = find_embedded_file(path);
  if (file == nullptr) {
    done(error_answer(404, "nothing at " + path));
    return;
  }
  if (!method_taken(request, "GET", done)) return;
  HttpAnswer answer;
  answer.content_type = content_type_of(path);
  answer.body.assign(reinterpret_cast<const char*>(file->data), file->size);
  done(answer);
}

// The last record of the device `name` with its fields' units; 404 before its first record.
HttpAnswer record_answer(const station::StationSnapshot& snap, const std::string& name) {
  if (!snap.record) throw RequestError(404, "no record of \"" + name + "\" yet");
  Json::Value json(Json::objectValue);
  json["device"] = snap.device;
  json["time_ms"] =
      snap.record_time_ms ? Json::Value(Json::Int64(*snap.record_time_ms)) : Json::Value();
  json["time"] =
      snap.record_time_ms ? hostkit::local_time_text(*snap.record_time_ms) : std::string();
  json["source"] = station::data_source_name(snap.source);
  json["fields"] = fields_with_units(*snap.record);
  return json_answer(200, json);
}

}  // namespace

HttpAnswer error_answer(unsigned status, const std::string& text) {
  Json::Value json(Json::objectValue);
  json["error"] = text;
  json["status"] = status;
  return json_answer(status, json);
}

Json::Value fields_with_units(const kelvra_419_Data_t& record) {
  Json::Value fields(Json::arrayValue);
  record::for_each_field(record, [&](const record::FieldValue& field) {
    Json::Value entry(Json::objectValue);
    entry["name"] = field.name;
    entry["value"] = hostkit::finite_json(field.value);
    entry["unit"] = field.unit;
    entry["label"] = field.label;
    entry["part"] = field.part;
    entry["reading"] = field.series();
    fields.append(entry);
  });
  return fields;
}

Api::Api(run::RunContext& run, std::string token, Limits limits)
    : run_(run), token_(std::move(token)), limits_(limits) {
  // Raise times of the alarms active now are in history when they were raised before this run.
  history::HistoryQuery query;
  query.last = 1000;
  try {
    for (const events::AlarmEvent& event : run_.history.alarm_events(query)) alarm_seen(event);
  } catch (const history::HistoryError&) {
    // History that cannot be read now leaves raise times to the events of this run.
  }
}

void Api::alarm_seen(const events::AlarmEvent& event) {
  const auto key = std::make_pair(event.device, events::alarm_key(event.key, event.text));
  if (event.raised) {
    raised_at_[key] = event.time_ms;
  } else {
    raised_at_.erase(key);
  }
}

Station* Api::station_named(const std::string& name) const {
  for (Station* station : run_.stations) {
    if (station->settings().name == name) return station;
  }
  return nullptr;
}

Json::Value Api::device_json(const station::StationSnapshot& snap) const {
  Json::Value json(Json::objectValue);
  json["name"] = snap.device;
  json["port"] = snap.port;
  json["address"] = snap.address;
  json["data_id"] = snap.data_id;
  json["link"] = snap.link_up ? "up" : "down";
  json["poll_state"] = snap.poll_state_name;
  json["source"] = station::data_source_name(snap.source);
  json["data_age_s"] = snap.age_s ? Json::Value(*snap.age_s) : Json::Value();
  json["stale"] = snap.stale;
  json["comm_lost"] = snap.comm_lost;
  const std::optional<std::string> not_stored = run_.history.not_stored_reason();
  json["history_not_stored"] = not_stored ? Json::Value(*not_stored) : Json::Value();
  json["record_time"] = snap.record_time_ms
                            ? Json::Value(hostkit::local_time_text(*snap.record_time_ms))
                            : Json::Value();
  json["counters"]["rounds"] = Json::UInt64(snap.counters.rounds);
  json["counters"]["commands"] = Json::UInt64(snap.counters.commands);
  json["counters"]["answers"] = Json::UInt64(snap.counters.answers);
  json["counters"]["timeouts"] = Json::UInt64(snap.counters.timeouts);
  json["counters"]["refused"] = Json::UInt64(snap.counters.refused);
  json["counters"]["restored"] = Json::UInt64(snap.counters.restored);
  json["alarms"] = Json::Value(Json::arrayValue);
  for (const station::AlarmState& alarm : snap.alarms) {
    if (!alarm.active) continue;
    Json::Value entry(Json::objectValue);
    entry["key"] = alarm.key;
    entry["device_key"] = alarm.device_key;
    entry["alarm_id"] = alarm.alarm_id;
    entry["level"] = alarm.level;
    entry["text"] = alarm.text;
    entry["label"] = alarm.label;
    const auto raised = raised_at_.find({snap.device, alarm.key});
    const std::optional<std::int64_t> raised_ms =
        raised != raised_at_.end() ? std::optional<std::int64_t>(raised->second) : alarm.raised_ms;
    entry["raised_ms"] = raised_ms ? Json::Value(Json::Int64(*raised_ms)) : Json::Value();
    entry["raised"] = raised_ms ? Json::Value(hostkit::local_time_text(*raised_ms)) : Json::Value();
    json["alarms"].append(entry);
  }
  return json;
}

Json::Value Api::round_json(const Station& station) const {
  const station::StationSnapshot snap = station.snapshot();
  Json::Value json(Json::objectValue);
  json["time_ms"] =
      snap.last_round_ms ? Json::Value(Json::Int64(*snap.last_round_ms)) : Json::Value();
  json["time"] = snap.last_round_ms ? hostkit::local_time_text(*snap.last_round_ms) : std::string();
  json["device"] = device_json(snap);
  if (snap.record) {
    json["record"] = record::to_json(*snap.record);
    json["fields"] = fields_with_units(*snap.record);
  }
  return json;
}

void Api::answer(const HttpRequest& request, const ServerCounters& counters, const Answer& done) {
  try {
    route(request, parse_target(request.target), counters, done);
  } catch (const RequestError& error) {
    done(error_answer(error.status(), error.what()));
  } catch (const history::HistoryError& error) {
    done(error_answer(503, error.what()));
  } catch (const std::exception& error) {
    // Whatever else went wrong is this request's alone; the run goes on.
    done(error_answer(500, error.what()));
  }
}

void Api::route(const HttpRequest& request, const Target& target, const ServerCounters& counters,
                const Answer& done) {
  const std::string& path = target.path;
  if (path == "/metrics") return serve_metrics(request, target, counters, done);
  if (path.rfind(kPrefix, 0) != 0) return serve_page_file(request, path, done);
  const std::vector<std::string> parts = path_parts(path.substr(std::strlen(kPrefix)));
  const std::string resource = parts.empty() ? "" : parts[0];
  if (resource == "devices" && parts.size() == 1) return serve_devices(request, target, done);
  if (resource == "events" && parts.size() == 1) {
    // The server takes a GET of the stream over before routing; other methods reach here.
    return done(method_refused("the event stream is read with GET", "GET"));
  }
  bool served = false;
  if (resource == "devices" && parts.size() <= 3) {
    served = serve_device(request, target, parts, done);
  } else if (resource == "history" && parts.size() == 2) {
    served = serve_history(request, target, parts[1], done);
  }
  if (!served) done(error_answer(404, "no API resource at " + path));
}

void Api::serve_metrics(const HttpRequest& request, const Target& target,
                        const ServerCounters& counters, const Answer& done) {
  if (!method_taken(request, "GET", done)) return;
  allow_only(target, {});
  HttpAnswer answer;
  answer.content_type = "text/plain; version=0.0.4; charset=utf-8";
  answer.body = metrics_text(run_.stations, run_.history, counters);
  done(answer);
}

void Api::serve_devices(const HttpRequest& request, const Target& target, const Answer& done) {
  if (!method_taken(request, "GET", done)) return;
  allow_only(target, {});
  Json::Value json(Json::objectValue);
  json["devices"] = Json::Value(Json::arrayValue);
  for (const Station* station : run_.stations) {
    json["devices"].append(device_json(station->snapshot()));
  }
  done(json_answer(200, json));
}

bool Api::serve_device(const HttpRequest& request, const Target& target,
                       const std::vector<std::string>& parts, const Answer& done) {
  Station* station = station_named(parts[1]);
  if (station == nullptr) throw RequestError(404, "no device named \"" + parts[1] + "\"");
  const std::string what = parts.size() == 3 ? parts[2] : "";
  if (what.empty() || what == "record") {
    if (!method_taken(request, "GET", done)) return true;
    allow_only(target, {});
    const station::StationSnapshot snap = station->snapshot();
    done(what.empty() ? json_answer(200, device_json(snap)) : record_answer(snap, parts[1]));
    return true;
  }
  if (what == "query") {
    if (!method_taken(request, "GET", done)) return true;
    ask_query(request, target, *station, done);
    return true;
  }
  if (what == "control") {
    if (!method_taken(request, "POST", done)) return true;
    allow_only(target, {});
    control(request, *station, done);
    return true;
  }
  return false;
}

bool Api::serve_history(const HttpRequest& request, const Target& target, const std::string& what,
                        const Answer& done) {
  if (!method_taken(request, "GET", done)) return true;
  if (what == "records") {
    done(history_records(target));
  } else if (what == "events") {
    done(history_events(target));
  } else if (what == "series") {
    done(history_series(target));
  } else {
    return false;
  }
  return true;
}

void Api::ask_query(const HttpRequest& request, const Target& target, const Station& station,
                    const Answer& done) {
  allow_only(target, {"key"});
  const auto key = target.params.find("key");
  if (key == target.params.end()) throw RequestError(400, "parameter \"key\" is missing");
  Json::Value ask(Json::objectValue);
  ask["command"] = "query";
  ask["device"] = station.settings().name;
  ask["key"] = key->second;
  run_.handle(ask, request.origin,
              [done](const Json::Value& reply) { done(device_reply(reply, 422)); });
}

// The "before" parameter, "TIME_MS:POSITION" as a truncated listing's "next_before" gives it.
std::optional<history::ListingPlace> before_param(const Target& target) {
  const auto given = target.params.find("before");
  if (given == target.params.end()) return std::nullopt;
  const std::string& text = given->second;
  const auto colon = text.find(':');
  const auto digits = [](const std::string& part) {
    return !part.empty() && part.size() <= 18 &&
           part.find_first_not_of("0123456789") == std::string::npos;
  };
  if (colon == std::string::npos || !digits(text.substr(0, colon)) ||
      !digits(text.substr(colon + 1))) {
    throw RequestError(400, "parameter \"before\": \"" + text + "\" is not TIME_MS:POSITION");
  }
  return history::ListingPlace{std::stoll(text.substr(0, colon)),
                               std::stoll(text.substr(colon + 1))};
}

HttpAnswer Api::history_records(const Target& target) {
  allow_only(target, {"device", "since", "until", "limit", "before", "format"});
  const auto format = target.params.find("format");
  const bool csv = format != target.params.end() && format->second == "csv";
  if (format != target.params.end() && !csv) {
    throw RequestError(400, "parameter \"format\": \"" + format->second + "\" is not csv");
  }
  const auto [since, until] = span_of(target, run_.clock.utc_ms());
  const auto limit = static_cast<std::size_t>(
      integer_param(target, "limit", 1, static_cast<std::int64_t>(limits_.history_rows))
          .value_or(100));
  const auto device = target.params.find("device");
  if (device != target.params.end() && station_named(device->second) == nullptr) {
    throw RequestError(404, "no device named \"" + device->second + "\"");
  }
  history::HistoryQuery query;
  query.since_ms = since;
  query.until_ms = until;
  if (device != target.params.end()) query.device = device->second;
  query.last = limit + 1;  // one more than answered tells a truncated listing
  query.before = before_param(target);
  std::vector<history::StoredRecord> rows = run_.history.records(query);
  const std::size_t first = rows.size() > limit ? rows.size() - limit : 0;
  if (csv) {
    HttpAnswer answer;
    answer.content_type = "text/csv; charset=utf-8";
    answer.body =
        run::readings_csv({rows.begin() + static_cast<std::ptrdiff_t>(first), rows.end()});
    return answer;
  }
  Json::Value json(Json::objectValue);
  json["records"] = Json::Value(Json::arrayValue);
  json["truncated"] = first > 0;
  if (first > 0) {
    // The older rows follow with before=this; the same since, until and device.
    json["next_before"] =
        std::to_string(rows[first].time_ms) + ":" + std::to_string(rows[first].id);
  }
  for (std::size_t i = first; i < rows.size(); ++i) {
    const history::StoredRecord& row = rows[i];
    Json::Value entry(Json::objectValue);
    entry["time_ms"] = Json::Int64(row.time_ms);
    entry["time"] = hostkit::local_time_text(row.time_ms);
    entry["device"] = row.device;
    entry["data_id"] = row.data_id;
    entry["restored"] = row.restored;
    if (const auto record = record::from_bytes(row.bytes.data(), row.bytes.size())) {
      entry["record"] = record::to_json(*record);
    }
    json["records"].append(entry);
  }
  return json_answer(200, json);
}

HttpAnswer Api::history_events(const Target& target) {
  allow_only(target, {"kind", "since", "until", "limit"});
  const auto [since, until] = span_of(target, run_.clock.utc_ms());
  const auto limit = static_cast<std::size_t>(
      integer_param(target, "limit", 1, static_cast<std::int64_t>(limits_.history_rows))
          .value_or(100));
  const auto kind = target.params.find("kind");
  const std::string wanted = kind == target.params.end() ? "" : kind->second;
  if (!wanted.empty() && wanted != "alarm" && wanted != "link" && wanted != "control") {
    throw RequestError(400, "parameter \"kind\": \"" + wanted + "\" is not alarm, link or control");
  }
  history::HistoryQuery query;
  query.since_ms = since;
  query.until_ms = until;
  query.last = limit;
  std::vector<std::pair<std::int64_t, Json::Value>> events;  // (UTC ms, event) to merge by time
  const auto take = [&](const char* name, auto rows, auto to_json) {
    if (!wanted.empty() && wanted != name) return;
    for (const auto& row : rows) {
      Json::Value json = to_json(row);
      json["kind"] = name;
      events.emplace_back(row.time_ms, std::move(json));
    }
  };
  take("alarm", run_.history.alarm_events(query),
       [](const auto& row) { return events::event_json(row); });
  take("link", run_.history.comm_events(query),
       [](const auto& row) { return events::event_json(row); });
  take("control", run_.history.control_events(query),
       [](const auto& row) { return events::event_json(row); });
  std::stable_sort(events.begin(), events.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  const std::size_t first = events.size() > limit ? events.size() - limit : 0;
  Json::Value json(Json::objectValue);
  json["events"] = Json::Value(Json::arrayValue);
  for (std::size_t i = first; i < events.size(); ++i) json["events"].append(events[i].second);
  return json_answer(200, json);
}

HttpAnswer Api::history_series(const Target& target) {
  allow_only(target, {"device", "field", "since", "until", "step"});
  const auto [since, until] = span_of(target, run_.clock.utc_ms());
  const auto device = target.params.find("device");
  const auto field = target.params.find("field");
  if (device == target.params.end()) throw RequestError(400, "parameter \"device\" is missing");
  if (field == target.params.end()) throw RequestError(400, "parameter \"field\" is missing");
  if (station_named(device->second) == nullptr) {
    throw RequestError(404, "no device named \"" + device->second + "\"");
  }
  const record::FieldDescription described = record::describe_field(field->second);
  const std::string& unit = described.unit;
  if (described.spec == nullptr || described.spec->kind != record::FieldKind::reading) {
    throw RequestError(400, "parameter \"field\": \"" + field->second +
                                "\" is not a reading (a record field with a unit)");
  }
  const auto points_max = static_cast<std::int64_t>(limits_.series_points);
  const auto whole_minutes_above_an_hour = [](std::int64_t ms) {
    return ms > kLongestRawStepMs ? (ms + kMinuteMs - 1) / kMinuteMs * kMinuteMs : ms;
  };
  const std::int64_t fitting_step = whole_minutes_above_an_hour(
      std::max(kMinStepMs, (until - since + points_max - 1) / points_max));
  std::int64_t step =
      integer_param(target, "step", kMinStepMs, std::numeric_limits<std::int32_t>::max())
          .value_or(0);
  if (step == 0) {
    step = whole_minutes_above_an_hour(std::max(fitting_step, (until - since) / 300));
  } else if (step > kLongestRawStepMs && step % kMinuteMs != 0) {
    throw RequestError(400, "parameter \"step\": " + std::to_string(step) +
                                " ms; a step longer than an hour must be whole minutes");
  }
  if ((until - since) / step > points_max) {
    throw RequestError(400, "parameter \"step\": " + std::to_string(step) + " ms gives more than " +
                                std::to_string(points_max) + " points; at least " +
                                std::to_string(fitting_step));
  }
  history::SeriesPart part;
  try {
    part = run_.history.series_part(device->second, field->second, since, until, step,
                                    limits_.series_rows);
  } catch (const history::HistoryError& error) {
    throw RequestError(400, "parameter \"field\": " + error.reason());
  }
  const std::vector<history::SeriesPoint>& points = part.points;
  Json::Value json(Json::objectValue);
  json["device"] = device->second;
  json["field"] = field->second;
  json["unit"] = unit;
  json["label"] = described.label;
  json["since"] = Json::Int64(since);
  json["until"] = Json::Int64(until);
  json["step"] = Json::Int64(step);
  // A part: the points from next_since on come with since=next_since and the same step.
  if (part.reached_ms < until) json["next_since"] = Json::Int64(part.reached_ms);
  json["points"] = Json::Value(Json::arrayValue);
  for (const history::SeriesPoint& point : points) {
    Json::Value entry(Json::objectValue);
    entry["time"] = Json::Int64(point.time_ms);
    entry["min"] = point.min;
    entry["mean"] = point.mean;
    entry["max"] = point.max;
    entry["count"] = Json::UInt64(point.count);
    json["points"].append(entry);
  }
  return json_answer(200, json);
}

void Api::control(const HttpRequest& request, Station& station, const Answer& done) {
  if (token_.empty()) {
    done(error_answer(403, "control over HTTP is off: the host was started without a token file"));
    return;
  }
  const std::string scheme = "bearer ";  // the scheme's name is case-insensitive
  if (!starts_without_case(request.authorization, scheme)) {
    HttpAnswer answer = error_answer(401, "control needs Authorization: Bearer TOKEN");
    answer.authenticate = true;
    done(answer);
    return;
  }
  if (!same_secret(request.authorization.substr(scheme.size()), token_)) {
    done(error_answer(403, "the bearer token is not the one configured"));
    return;
  }
  const station::ControlRequestRead read = station::read_control_request(
      request.body, station::ControlRequestLimits{request.body.size(), kMaxBodyDepth, false});
  if (!read.request) throw RequestError(400, "request body: " + read.error);
  const Json::Value ask = station::control_run_request(*read.request, station.settings().name);
  run_.handle(ask, request.origin,
              [done](const Json::Value& reply) { done(device_reply(reply, 409)); });
}

}  // namespace kelvra::web
