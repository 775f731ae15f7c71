#include "station/console.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <sstream>

#include <json/writer.h>

#include "events/event_json.h"
#include "hostkit/json_output.h"
#include "hostkit/local_time.h"
#include "record/kelvra_419_fields.h"
#include "station/glosses.h"

namespace kelvra::station {

using record::float_text;

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

Console::Console(std::FILE* out, bool json)
    : out_(std::make_unique<ConsoleOutput>(out)), json_(json) {}

void Console::write(const std::string& line) {
  out_->put(line);
}

void Console::flush() {
  out_->flush();
}

void Console::round(const events::RoundEvent& report) {
  if (json_) {
    write(hostkit::json_text(events::event_json(report)));
    return;
  }
  std::ostringstream line;
  line << hostkit::local_time_text(report.time_ms) << " " << report.device << " ";
  if (report.restored) {
    line << "restored from history, record of " << record::time_text(report.record->round_time);
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
    line["time_ms"] = Json::Int64(stored.time_ms);
    line["time"] = hostkit::local_time_text(stored.time_ms);
    line["device"] = stored.device;
    line["data_id"] = stored.data_id;
    line["seconds"] = stored.round_seconds;
    line["restored"] = stored.restored;
    line["position"] = Json::Int64(stored.id);
    line["record"] = record ? record::to_json(*record) : Json::Value();
    write(hostkit::json_text(line));
    return;
  }
  std::string restored;
  if (stored.restored) {
    restored = ", restored from history";
    if (record) restored += ", record of " + record::time_text(record->round_time);
  }
  write(hostkit::local_time_text(stored.time_ms) + " " + stored.device + " record (data id " +
        std::to_string(stored.data_id) + restored + "): " +
        (record ? record_summary(*record)
                : "not a record: " + std::to_string(stored.bytes.size()) + " bytes"));
}

void Console::alarm(const events::AlarmEvent& event) {
  if (json_) {
    write(hostkit::json_text(events::event_json(event)));
    return;
  }
  const auto shown = [this](const std::string& text) {
    return english_ ? with_english_gloss(text) : text;
  };
  write(hostkit::local_time_text(event.time_ms) + " " + event.device + " ALARM " +
        (event.raised ? "raised" : "cleared") + ": " + shown(event.text) + " [level " +
        std::to_string(event.level) + ", " + event.key + " " + event.alarm_id + "] " +
        shown(event.name));
}

void Console::control(const events::ControlEvent& event) {
  if (json_) {
    write(hostkit::json_text(events::event_json(event)));
    return;
  }
  write(hostkit::local_time_text(event.time_ms) + " " + event.device + " CONTROL " +
        std::to_string(event.code) + " '" + event.argument + "' from " + event.origin + ": " +
        event.verdict + (event.detail.empty() ? "" : ", " + event.detail) +
        (event.readback.empty() ? "" : ", read-back " + event.readback));
}

void Console::problem(const char* kind, const std::string& source, const std::string& text) {
  if (json_) {
    Json::Value line(Json::objectValue);
    line["type"] = kind;
    line["time"] = hostkit::local_time_text(now_ms());
    line["source"] = source;
    line["text"] = text;
    write(hostkit::json_text(line));
    return;
  }
  write(source + ": " + kind + ": " + text);
}

void Console::link(const events::CommEvent& event) {
  if (json_) {
    write(hostkit::json_text(events::event_json(event)));
    return;
  }
  write(hostkit::local_time_text(event.time_ms) + " communication " + event.event + " on " +
        event.port + ": " + event.detail);
}

void Console::note(const std::string& source, const std::string& text) {
  if (json_) {
    Json::Value line(Json::objectValue);
    line["type"] = "note";
    line["time"] = hostkit::local_time_text(now_ms());
    line["source"] = source;
    line["text"] = text;
    write(hostkit::json_text(line));
    return;
  }
  write(hostkit::local_time_text(now_ms()) + " " + source + ": " + text);
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
    write(hostkit::json_text(line));
  }
}

}  // namespace kelvra::station
