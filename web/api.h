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

#include "history/history_reader.h"
#include "run/bench_run.h"
#include "station/station.h"
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

// The fields of a record as [{"name", "value", "unit", "label", "part", "reading"}] in record
// order; "reading": a number drawn over time.
Json::Value fields_with_units(const kelvra_419_Data_t& record);

class Api {
 public:
  using Answer = std::function<void(HttpAnswer)>;
  struct Limits {
    std::size_t history_rows = 1000;   // most rows a history listing returns
    std::size_t series_points = 2000;  // most steps one series spans
    // most records and aggregates one series request reads; past it the series answers in parts
    std::size_t series_rows = history::kSeriesRowsPerRequest;
  };

  // `token` empty: control over HTTP is off and every control request answers 403.
  Api(run::RunContext& run, std::string token, Limits limits);

  // Answers the request, at once or (control) once the device has read back.
  void answer(const HttpRequest& request, const ServerCounters& counters, const Answer& done);

  // Time an active alarm was raised, as the server saw it or history holds it.
  void alarm_seen(const events::AlarmEvent& event);

  // The JSON of one event for the event stream, with its kind.
  Json::Value round_json(const station::Station& station) const;

 private:
  // Hands the request to the handler of its resource; 404 when none takes it.
  void route(const HttpRequest& request, const Target& target, const ServerCounters& counters,
             const Answer& done);
  // The handlers of the resources; those returning bool return false, without answering, when
  // the path names nothing they serve.
  void serve_metrics(const HttpRequest& request, const Target& target,
                     const ServerCounters& counters, const Answer& done);
  void serve_devices(const HttpRequest& request, const Target& target, const Answer& done);
  // devices/NAME, devices/NAME/record, devices/NAME/query, devices/NAME/control.
  bool serve_device(const HttpRequest& request, const Target& target,
                    const std::vector<std::string>& parts, const Answer& done);
  // history/records, history/events, history/series.
  bool serve_history(const HttpRequest& request, const Target& target, const std::string& what,
                     const Answer& done);
  // Asks the run for the ?key= of the station; answers once the device replied.
  void ask_query(const HttpRequest& request, const Target& target, const station::Station& station,
                 const Answer& done);
  Json::Value device_json(const station::StationSnapshot& snap) const;
  station::Station* station_named(const std::string& name) const;
  HttpAnswer history_records(const Target& target);
  HttpAnswer history_events(const Target& target);
  HttpAnswer history_series(const Target& target);
  void control(const HttpRequest& request, station::Station& station, const Answer& done);

  run::RunContext& run_;
  std::string token_;
  Limits limits_;
  // (device, alarm key) -> raise time (UTC ms), for the alarms raised now, from history at start.
  std::map<std::pair<std::string, std::string>, std::int64_t> raised_at_;
};

}  // namespace kelvra::web
