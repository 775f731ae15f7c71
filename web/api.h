// The JSON API under /api/v1/, the page and the metrics: one answer per request, built from the
// run's stations and history on the run's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "line/bench_run.h"
#include "line/station.h"
#include "web/request_params.h"

namespace kelvra::web {

struct HttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string target;  // as sent: "/api/v1/devices?x=1"
  std::string authorization;
  std::string body;
  std::string origin;  // "http 127.0.0.1:53422"
};

struct HttpAnswer {
  unsigned status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::string allow;          // for 405: the methods the resource takes
  bool authenticate = false;  // for 401: ask for a bearer token
};

// JSON on one line, UTF-8 as it is.
std::string compact_json(const Json::Value& value);

// Events as the API and the event stream give them, each with its time.
Json::Value event_json(const events::AlarmEvent& event);
Json::Value event_json(const events::CommEvent& event);
Json::Value event_json(const events::ControlEvent& event);

// {"error": text, "status": N} with that status.
HttpAnswer error_answer(unsigned status, const std::string& text);

// What the server itself tells the metrics.
struct ServerCounters {
  std::uint64_t clients = 0;
  std::uint64_t stream_clients = 0;
  std::uint64_t requests = 0;
  std::uint64_t refused_clients = 0;  // over the client or stream bound
  std::uint64_t dropped_streams = 0;  // queue over its bound: the client was too slow
};

// Where a station's data comes from and how old it is, from its status with what the server
// saw of its rounds when the status does not say.
struct DataState {
  std::string source;  // "live", "restored" or "none"
  std::optional<double> age_s;
};

// The fields of a record as [{"name", "value", "unit"}] in record order.
Json::Value fields_with_units(const kelvra_419_Data_t& record);

class Api {
 public:
  using Answer = std::function<void(HttpAnswer)>;
  struct Limits {
    std::size_t history_rows = 1000;   // most rows a history listing returns
    std::size_t series_points = 2000;  // most steps one series spans
  };

  // `token` empty: control over HTTP is off and every control request answers 403.
  Api(line::RunContext& run, std::string token, Limits limits);

  // Answers the request, at once or (control) once the device has read back.
  void answer(const HttpRequest& request, const ServerCounters& counters, const Answer& done);

  // Told by the server for each round, so data age is known without the status telling it.
  void round_seen(const line::Station& station);
  DataState data_state(const line::Station& station) const;
  // Time an active alarm was raised, as the server saw it or history holds it.
  void alarm_seen(const events::AlarmEvent& event);

  // The JSON of one event for the event stream, with its kind.
  Json::Value round_json(const line::Station& station) const;

 private:
  void route(const HttpRequest& request, const Target& target, const ServerCounters& counters,
             const Answer& done);
  Json::Value device_json(const line::Station& station) const;
  line::Station* station_named(const std::string& name) const;
  HttpAnswer history_records(const Target& target);
  HttpAnswer history_events(const Target& target);
  HttpAnswer history_series(const Target& target);
  void control(const HttpRequest& request, line::Station& station, const Answer& done);

  line::RunContext& run_;
  std::string token_;
  Limits limits_;
  std::map<const line::Station*, std::chrono::steady_clock::time_point> last_round_;
  // (device, alarm text) -> raise time, for the alarms raised now.
  std::map<std::pair<std::string, std::string>, std::string> raised_at_;
};

}  // namespace kelvra::web
