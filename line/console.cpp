#include "line/console.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <sstream>

#include <unistd.h>

#include <json/writer.h>

#include "hostkit/local_time.h"
#include "line/glosses.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::line {

using record::float_text;

std::string json_line(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["precision"] = 7;
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

std::string record_summary(const kelvra_419_Data_t& record) {
  std::ostringstream line;
  const std::size_t inputs =
      std::min<std::size_t>(record.ac.channel_count, kelvra_419_Data_t::AC_CHANNEL_ROOM);
  for (std::size_t i = 0; i < inputs; ++i) {
    const kelvra_419_ac_channel& input = record.ac.channel[i];
    line << "AC" << i + 1 << " " << float_text(input.a.get()) << "/" << float_text(input.b.get())
         << "/" << float_text(input.c.get()) << " V " << float_text(input.f.get()) << " Hz | ";
  }
  const std::size_t modules =
      std::min<std::size_t>(record.rc.channel_count, kelvra_419_Data_t::RC_CHANNEL_ROOM);
  line << "rectifiers " << modules << ":";
  for (std::size_t i = 0; i < modules; ++i)
    line << " " << float_text(record.rc.channel[i].value.get());
  line << " A (" << float_text(record.rc.group_value.get()) << " V) | DC "
       << float_text(record.dc.out_v.get()) << " V " << float_text(record.dc.out_i.get()) << " A";
  const kelvra_419_dc& second = record.dc2;
  if (second.out_v.get() != 0 || second.out_i.get() != 0 || second.m_count != 0) {
    line << " | DC2 " << float_text(second.out_v.get()) << " V " << float_text(second.out_i.get())
         << " A";
  }
  return line.str();
}

std::string local_time_text() {
  return hostkit::local_time_text(hostkit::utc_now_ms());
}

Console::Console(std::FILE* out, bool json)
    : out_(out), json_(json), terminal_(isatty(fileno(out)) == 1) {}

void Console::write(const std::string& line) {
  // One call per line: the simulator's thread writes here too, and stdio locks each call.
  std::fputs((line + "\n").c_str(), out_);
  if (terminal_) std::fflush(out_);
}

void Console::flush() {
  std::fflush(out_);
}

void Console::round(const RoundReport& report) {
  if (json_) {
    Json::Value line(Json::objectValue);
    line["type"] = "round";
    line["device"] = report.device;
    line["time"] = report.time;
    line["round"] = Json::UInt64(report.round);
    line["seconds"] = report.seconds;
    line["restored"] = report.restored;
    line["source"] = report.restored ? "restored" : "live";
    line["alarms"] = Json::Value(Json::arrayValue);
    for (const std::string& alarm : report.alarms) line["alarms"].append(alarm);
    line["record"] = record::to_json(*report.record);
    write(json_line(line));
    return;
  }
  std::ostringstream line;
  line << report.time << " " << report.device << " ";
  if (report.restored) {
    line << "restored from history";
  } else {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f s", report.seconds);
    line << "round " << report.round << " (" << seconds << ")";
  }
  line << " | " << record_summary(*report.record) << " | alarms: ";
  if (report.alarms.empty()) line << "none";
  for (std::size_t i = 0; i < report.alarms.size(); ++i) {
    line << (i ? ", " : "") << report.alarms[i];
  }
  write(line.str());
}

void Console::stored_record(const history::StoredRecord& stored) {
  const auto record = record::from_bytes(stored.bytes.data(), stored.bytes.size());
  if (json_) {
    Json::Value line(Json::objectValue);
    line["type"] = "record";
    line["time"] = stored.time;
    line["device"] = stored.device;
    line["data_id"] = stored.data_id;
    line["seconds"] = stored.round_seconds;
    line["restored"] = stored.restored;
    line["position"] = Json::Int64(stored.id);
    line["record"] = record ? record::to_json(*record) : Json::Value();
    write(json_line(line));
    return;
  }
  write(stored.time + " " + stored.device + " record (data id " + std::to_string(stored.data_id) +
        (stored.restored ? ", restored from history" : "") + "): " +
        (record ? record_summary(*record)
                : "not a record: " + std::to_string(stored.bytes.size()) + " bytes"));
}

void Console::alarm(const events::AlarmEvent& event) {
  if (json_) {
    Json::Value line(Json::objectValue);
    line["type"] = "alarm";
    line["device"] = event.device;
    line["time"] = event.time;
    line["event"] = event.raised ? "raised" : "cleared";
    line["level"] = event.level;
    line["key"] = event.key;
    line["id"] = event.alarm_id;
    line["name"] = event.name;
    line["text"] = event.text;
    line["seq"] = event.seq;
    write(json_line(line));
    return;
  }
  const auto shown = [this](const std::string& text) {
    return english_ ? with_english_gloss(text) : text;
  };
  write(event.time + " " + event.device + " ALARM " + (event.raised ? "raised" : "cleared") + ": " +
        shown(event.text) + " [level " + std::to_string(event.level) + ", " + event.key + " " +
        event.alarm_id + "] " + shown(event.name));
}

void Console::control(const events::ControlEvent& event) {
  if (json_) {
    Json::Value line(Json::objectValue);
    line["type"] = "control";
    line["time"] = event.time;
    line["device"] = event.device;
    line["origin"] = event.origin;
    line["code"] = event.code;
    line["argument"] = event.argument;
    line["verdict"] = event.verdict;
    line["detail"] = event.detail;
    line["readback"] = event.readback;
    write(json_line(line));
    return;
  }
  write(event.time + " " + event.device + " CONTROL " + std::to_string(event.code) + " '" +
        event.argument + "' from " + event.origin + ": " + event.verdict +
        (event.detail.empty() ? "" : ", " + event.detail) +
        (event.readback.empty() ? "" : ", read-back " + event.readback));
}

void Console::problem(const char* kind, const std::string& source, const std::string& text) {
  if (json_) {
    Json::Value line(Json::objectValue);
    line["type"] = kind;
    line["time"] = local_time_text();
    line["source"] = source;
    line["text"] = text;
    write(json_line(line));
    return;
  }
  write(source + ": " + kind + ": " + text);
}

void Console::link(const events::CommEvent& event) {
  if (json_) {
    Json::Value line(Json::objectValue);
    line["type"] = "link";
    line["time"] = event.time;
    line["port"] = event.port;
    line["event"] = event.event;
    line["detail"] = event.detail;
    write(json_line(line));
    return;
  }
  write(event.time + " communication " + event.event + " on " + event.port + ": " + event.detail);
}

void Console::note(const std::string& source, const std::string& text) {
  if (json_) {
    Json::Value line(Json::objectValue);
    line["type"] = "note";
    line["time"] = local_time_text();
    line["source"] = source;
    line["text"] = text;
    write(json_line(line));
    return;
  }
  write(local_time_text() + " " + source + ": " + text);
}

void Console::pass_device_output() {
  if (!device_lines_) return;
  for (const std::string& text : device_lines_()) {
    if (!show_device_lines_) continue;
    if (!json_) {
      write("    | " + text);
      continue;
    }
    Json::Value line(Json::objectValue);
    line["type"] = "device_output";
    line["line"] = text;
    write(json_line(line));
  }
}

}  // namespace kelvra::line
