#include "web/metrics.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "record/kelvra_419_fields.h"

namespace kelvra::web {
namespace {

// One family: its samples are appended as the stations are walked, printed once at the end.
struct Family {
  const char* help;
  const char* type;
  std::string samples;
};

std::string number_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[40];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

using Labels = std::vector<std::pair<std::string, std::string>>;

class Exposition {
 public:
  void add(const std::string& name, const Labels& labels, double value) {
    Family& family = families_.at(name);
    family.samples += name;
    if (!labels.empty()) {
      family.samples += '{';
      for (std::size_t i = 0; i < labels.size(); ++i) {
        family.samples +=
            (i ? "," : "") + labels[i].first + "=\"" + label_value(labels[i].second) + '"';
      }
      family.samples += '}';
    }
    family.samples += ' ' + number_text(value) + '\n';
  }

  void declare(const std::string& name, const char* type, const char* help) {
    order_.push_back(name);
    families_[name] = Family{help, type, ""};
  }

  std::string text() const {
    std::string out;
    for (const std::string& name : order_) {
      const Family& family = families_.at(name);
      if (family.samples.empty()) continue;
      out += "# HELP " + name + ' ' + family.help + "\n# TYPE " + name + ' ' + family.type + '\n';
      out += family.samples;
    }
    return out;
  }

 private:
  std::vector<std::string> order_;
  std::map<std::string, Family> families_;
};

// A reading of the record as a sample of its family, with the labels the field table gives it.
void add_reading(Exposition& out, const std::string& device, const record::FieldValue& field) {
  if (field.spec->metric == nullptr) return;
  Labels labels{{"device", device}};
  for (auto& label : record::metric_labels(field)) labels.push_back(std::move(label));
  out.add(field.spec->metric, labels, field.value.asDouble());
}

}  // namespace

std::string label_value(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string metrics_text(const std::vector<station::Station*>& stations,
                         const history::HistoryStore& history, const ServerCounters& server) {
  Exposition out;
  out.declare("kelvra_info", "gauge", "Device type and data id of each polled device, always 1.");
  out.declare("kelvra_link_up", "gauge", "1 while the device's serial port is open, else 0.");
  out.declare("kelvra_data_source", "gauge",
              "1 for where the device's data comes from now (live, stale, restored or none).");
  out.declare("kelvra_data_age_seconds", "gauge", "Time since the device's last completed round.");
  out.declare("kelvra_rounds_total", "counter", "Completed poll rounds.");
  out.declare("kelvra_commands_total", "counter", "Commands written to the line.");
  out.declare("kelvra_answers_total", "counter", "Valid answers handed to the device.");
  out.declare("kelvra_timeouts_total", "counter", "Commands without a valid answer in time.");
  out.declare("kelvra_refused_total", "counter", "Answers with a return code other than 0.");
  out.declare("kelvra_restored_total", "counter", "Records handed back from history.");
  out.declare("kelvra_alarm_active", "gauge",
              "1 while the alarm is raised, 0 while cleared, for every alarm the device reported.");
  for (const record::MetricFamily& family : record::metric_families()) {
    out.declare(family.name, "gauge", family.help);
  }
  out.declare("kelvra_history_store_ok", "gauge",
              "1 while history is being stored, 0 while writes fail.");
  out.declare("kelvra_history_queued_rows", "gauge",
              "History rows waiting in the queue for the next commit.");
  out.declare("kelvra_history_dropped_rows_total", "counter",
              "History rows dropped past the queue's bound since the run began.");
  out.declare("kelvra_http_clients", "gauge", "Connected HTTP clients.");
  out.declare("kelvra_http_event_stream_clients", "gauge", "Connected event-stream clients.");
  out.declare("kelvra_http_requests_total", "counter", "HTTP requests answered.");
  out.declare("kelvra_http_refused_clients_total", "counter",
              "Connections refused over the client or event-stream bound.");
  out.declare("kelvra_http_dropped_streams_total", "counter",
              "Event-stream clients dropped for not reading fast enough.");

  for (const station::Station* station : stations) {
    const station::StationSnapshot snap = station->snapshot();
    const std::string& device = snap.device;
    const Labels by_device{{"device", device}};
    out.add("kelvra_info",
            {{"device", device},
             {"device_type", "kelvra_419"},
             {"data_id", std::to_string(snap.data_id)}},
            1);
    out.add("kelvra_link_up", {{"device", device}, {"port", snap.port}}, snap.link_up ? 1 : 0);
    const std::string source = station::data_source_name(snap.source);
    for (const char* each : {"live", "stale", "restored", "none"}) {
      out.add("kelvra_data_source", {{"device", device}, {"source", each}}, source == each ? 1 : 0);
    }
    if (snap.age_s) out.add("kelvra_data_age_seconds", by_device, *snap.age_s);
    const station::StationCounters& counters = snap.counters;
    out.add("kelvra_rounds_total", by_device, static_cast<double>(counters.rounds));
    out.add("kelvra_commands_total", by_device, static_cast<double>(counters.commands));
    out.add("kelvra_answers_total", by_device, static_cast<double>(counters.answers));
    out.add("kelvra_timeouts_total", by_device, static_cast<double>(counters.timeouts));
    out.add("kelvra_refused_total", by_device, static_cast<double>(counters.refused));
    out.add("kelvra_restored_total", by_device, static_cast<double>(counters.restored));
    for (const station::AlarmState& alarm : snap.alarms) {
      out.add("kelvra_alarm_active",
              {{"device", device},
               {"key", alarm.key},
               {"alarm_id", alarm.alarm_id},
               {"text", alarm.text},
               {"label", alarm.label}},
              alarm.active ? 1 : 0);
    }
    if (snap.record) {
      record::for_each_field(
          *snap.record, [&](const record::FieldValue& field) { add_reading(out, device, field); });
    }
  }
  out.add("kelvra_history_store_ok", {}, history.not_stored_reason() ? 0 : 1);
  out.add("kelvra_history_queued_rows", {}, static_cast<double>(history.queued_rows()));
  out.add("kelvra_history_dropped_rows_total", {}, static_cast<double>(history.dropped_rows()));
  out.add("kelvra_http_clients", {}, static_cast<double>(server.clients));
  out.add("kelvra_http_event_stream_clients", {}, static_cast<double>(server.stream_clients));
  out.add("kelvra_http_requests_total", {}, static_cast<double>(server.requests));
  out.add("kelvra_http_refused_clients_total", {}, static_cast<double>(server.refused_clients));
  out.add("kelvra_http_dropped_streams_total", {}, static_cast<double>(server.dropped_streams));
  return out.text();
}

}  // namespace kelvra::web
