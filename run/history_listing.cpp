#include "run/history_listing.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>

#include "hostkit/json_output.h"
#include "record/kelvra_419_fields.h"
#include "station/console.h"

namespace kelvra::run {

using station::Console;
namespace {

// One CSV field: quoted when it holds a comma, quote or line break, quotes doubled.
std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string csv_line(std::initializer_list<std::string> fields) {
  std::string line;
  for (const std::string& field : fields) line += (line.empty() ? "" : ",") + csv_field(field);
  return line + "\n";
}

namespace {

std::string hex_of(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

// The CSV line of one entry: time, type, position, device (port for link events), event,
// detail; a record's detail is its bytes in hex.
std::string entry_csv(const history::TimelineEntry& entry) {
  const std::string time = hostkit::local_time_text(entry.time_ms());
  const std::string type = history::timeline_kind_name(entry.kind());
  const std::string position = std::to_string(entry.position);
  if (const auto* record = std::get_if<history::StoredRecord>(&entry.row)) {
    return csv_line({time, type, position, record->device,
                     record->restored ? "restored from history" : "round", hex_of(record->bytes)});
  }
  if (const auto* alarm = std::get_if<events::AlarmEvent>(&entry.row)) {
    return csv_line({time, type, position, alarm->device, alarm->raised ? "raised" : "cleared",
                     alarm->text + " [level " + std::to_string(alarm->level) + ", " + alarm->key +
                         " " + alarm->alarm_id + "] " + alarm->name});
  }
  if (const auto* link = std::get_if<events::CommEvent>(&entry.row)) {
    return csv_line({time, type, position, link->port, link->event, link->detail});
  }
  const auto& control = std::get<events::ControlEvent>(entry.row);
  return csv_line({time, type, position, control.device, control.verdict,
                   "code " + std::to_string(control.code) + " " + control.argument + " from " +
                       control.origin + ": " + control.detail +
                       (control.readback.empty() ? "" : "; read back " + control.readback)});
}

}  // namespace

std::size_t list_timeline(history::HistoryReader& history, const history::HistoryQuery& query,
                          ListingFormat format, std::FILE* out) {
  Console console(out, format == ListingFormat::json);
  if (format == ListingFormat::csv) std::fputs("time,type,position,device,event,detail\n", out);
  const std::vector<history::TimelineEntry> entries = history.timeline(query);
  for (const history::TimelineEntry& entry : entries) {
    if (format == ListingFormat::csv) {
      std::fputs(entry_csv(entry).c_str(), out);
      continue;
    }
    std::visit(
        [&](const auto& row) {
          using Row = std::decay_t<decltype(row)>;
          if constexpr (std::is_same_v<Row, history::StoredRecord>) {
            console.stored_record(row);
          } else if constexpr (std::is_same_v<Row, events::AlarmEvent>) {
            console.alarm(row);
          } else if constexpr (std::is_same_v<Row, events::CommEvent>) {
            console.link(row);
          } else {
            console.control(row);
          }
        },
        entry.row);
  }
  console.flush();
  return entries.size();
}

void list_series(history::HistoryReader& history, const std::optional<std::string>& device,
                 const std::string& field, std::int64_t since_ms, std::int64_t until_ms,
                 std::int64_t step_ms, ListingFormat format, std::FILE* out) {
  std::string name;
  if (device) {
    name = *device;
  } else {
    const std::vector<std::string> names = history.device_names();
    if (names.size() != 1) {
      std::string list;
      for (const std::string& each : names) list += (list.empty() ? "" : ", ") + each;
      throw history::HistoryError(
          "--series",
          names.empty() ? "no records stored" : "several devices: give --device (" + list + ")");
    }
    name = names.front();
  }
  const std::vector<history::SeriesPoint> points =
      history.series(name, field, since_ms, until_ms, step_ms);
  if (format == ListingFormat::csv) std::fputs("time,min,mean,max,count\n", out);
  for (const history::SeriesPoint& point : points) {
    const std::string time = hostkit::local_time_text(point.time_ms);
    auto number = [](double value) { return record::float_text(static_cast<float>(value)); };
    std::string line;
    if (format == ListingFormat::csv) {
      line = csv_line({time, number(point.min), number(point.mean), number(point.max),
                       std::to_string(point.count)});
    } else if (format == ListingFormat::json) {
      Json::Value value(Json::objectValue);
      value["type"] = "series";
      value["device"] = name;
      value["field"] = field;
      value["time"] = time;
      value["time_ms"] = Json::Int64(point.time_ms);
      value["min"] = point.min;
      value["mean"] = point.mean;
      value["max"] = point.max;
      value["count"] = point.count;
      line = hostkit::json_text(value) + "\n";
    } else {
      line = time + " " + name + " " + field + " min " + number(point.min) + " mean " +
             number(point.mean) + " max " + number(point.max) + " (" + std::to_string(point.count) +
             " rounds)\n";
    }
    std::fputs(line.c_str(), out);
  }
}

std::string readings_csv(const std::vector<history::StoredRecord>& rows) {
  std::vector<std::string> headers;
  std::map<std::string, std::size_t> column_of;  // field name -> column among the readings
  std::vector<std::vector<std::string>> lines;
  for (const history::StoredRecord& row : rows) {
    const auto record = record::from_bytes(row.bytes.data(), row.bytes.size());
    if (!record) continue;
    std::vector<std::string> cells{hostkit::local_time_text(row.time_ms), row.device};
    record::for_each_field(*record, [&](const record::FieldValue& field) {
      const auto [column, added] = column_of.emplace(field.name, headers.size());
      if (added)
        headers.push_back(field.unit.empty() ? field.name : field.name + " (" + field.unit + ")");
      if (cells.size() < column->second + 3) cells.resize(column->second + 3);
      cells[column->second + 2] = field.value.isNull() ? "" : hostkit::json_text(field.value);
    });
    lines.push_back(std::move(cells));
  }
  std::string text = "time,device";
  for (const std::string& header : headers) text += "," + csv_field(header);
  text += "\n";
  for (std::vector<std::string>& cells : lines) {
    cells.resize(headers.size() + 2);
    std::string line;
    for (const std::string& cell : cells) line += (line.empty() ? "" : ",") + csv_field(cell);
    text += line + "\n";
  }
  return text;
}

std::optional<std::int64_t> parse_step(const std::string& text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long number = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || number <= 0) return std::nullopt;
  const std::string unit = end;
  struct Unit {
    const char* name;
    std::int64_t ms;
  };
  static const Unit kUnits[] = {{"", 1},          {"ms", 1},          {"s", 1000},
                                {"m", 60 * 1000}, {"h", 3600 * 1000}, {"d", 86400 * 1000}};
  for (const Unit& each : kUnits) {
    if (unit == each.name) {
      if (number > INT64_MAX / each.ms) return std::nullopt;
      return number * each.ms;
    }
  }
  return std::nullopt;
}

}  // namespace kelvra::run
