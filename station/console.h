// The bench host's own output: one line per round, alarm event, link event or note, as text or
// as JSON lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "events/event.h"
#include "history/history_store.h"
#include "hostkit/local_time.h"
#include "hostkit/turn_clock.h"
#include "record/kelvra_419_data.h"
#include "station/console_output.h"

namespace kelvra::station {

// AC phases and frequency, rectifiers, DC voltage and current of a record, on one line.
std::string record_summary(const kelvra_419_Data_t& record);

class Console {
 public:
  // Lines are flushed one by one to a terminal; to a file they are buffered until flush(),
  // which a run calls once a second; to a pipe they are written without waiting, see
  // ConsoleOutput.
  Console(std::FILE* out, bool json);

  void round(const events::RoundEvent& report);
  void alarm(const events::AlarmEvent& event);
  // A record read back from history, decoded when it is one.
  void stored_record(const history::StoredRecord& stored);
  void link(const events::CommEvent& event);
  // A control request, the host's verdict, what went out and the read-back.
  void control(const events::ControlEvent& event);
  // Errors and warnings of a command: a JSON line in JSON mode.
  void problem(const char* kind, const std::string& source, const std::string& text);
  // Shows an English gloss beside the device's own alarm names and texts.
  void gloss_in_english(bool english) { english_ = english; }
  void note(const std::string& source, const std::string& text);
  // Where the plug-in's own diagnostic lines are collected while standard output is taken over;
  // unset, they go to standard output directly. They are shown only when asked to: marked in
  // text mode, wrapped in JSON mode.
  void collect_device_output(std::function<std::vector<std::string>()> source, bool show_in_text) {
    device_lines_ = std::move(source);
    show_device_lines_ = show_in_text;
  }
  // Writes the plug-in's lines collected since the last call (JSON mode wraps each).
  void pass_device_output();

  // The clock its notes are dated by while a run drives it; unset (null), the system's.
  void read_time_from(const hostkit::TurnClock* clock) { clock_ = clock; }

  bool json() const { return json_; }
  void flush();

 private:
  void write(const std::string& line);
  std::int64_t now_ms() const { return clock_ ? clock_->utc_ms() : hostkit::utc_now_ms(); }

  std::unique_ptr<ConsoleOutput> out_;
  bool json_;
  bool english_ = false;
  std::function<std::vector<std::string>()> device_lines_;
  bool show_device_lines_ = false;
  const hostkit::TurnClock* clock_ = nullptr;
};

}  // namespace kelvra::station
