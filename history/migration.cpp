#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "history/aggregates.h"
#include "history/row_writer.h"
#include "history/schema.h"
#include "hostkit/local_time.h"

namespace kelvra::history {
namespace {

// The old tables' rows, each source in time order; sources are records, alarms, links, controls.
std::vector<std::unique_ptr<Statement>> old_sources(Database& db) {
  const bool restored_column = db.has_column("old_records", "restored");
  std::vector<std::unique_ptr<Statement>> sources;
  sources.push_back(std::make_unique<Statement>(
      db, std::string("SELECT time, device, data_id, round_seconds, record, ") +
              (restored_column ? "restored" : "0") + " FROM old_records ORDER BY time, id"));
  sources.push_back(std::make_unique<Statement>(
      db,
      "SELECT time, device, event, level, key, alarm_id, name, text, seq FROM old_alarm_events "
      "ORDER BY time, id"));
  sources.push_back(std::make_unique<Statement>(
      db, "SELECT time, port, event, detail FROM old_comm_events ORDER BY time, id"));
  if (db.has_table("old_control_events")) {
    sources.push_back(std::make_unique<Statement>(
        db,
        "SELECT time, device, origin, code, argument, verdict, detail, readback FROM "
        "old_control_events ORDER BY time, id"));
  }
  return sources;
}

// The row a source stands on, as this schema's row; its text time (local) read as UTC ms.
QueuedRow old_row(std::size_t source, const Statement& row) {
  const std::int64_t time_ms = hostkit::parse_local_time(row.text(0)).value_or(0);
  switch (source) {
    case 0:
      return StoredRecord{
          0,           "",          row.text(1),         static_cast<std::uint32_t>(row.integer(2)),
          row.real(3), row.blob(4), row.integer(5) != 0, time_ms};
    case 1:
      return AlarmEvent{time_ms,
                        row.text(1),
                        row.text(2) == "raised",
                        static_cast<int>(row.integer(3)),
                        row.text(4),
                        row.text(5),
                        row.text(6),
                        row.text(7),
                        static_cast<unsigned>(row.integer(8))};
    case 2:
      return CommEvent{time_ms, row.text(1), row.text(2), row.text(3)};
    default:
      return ControlEvent{time_ms,     row.text(1), row.text(2), static_cast<int>(row.integer(3)),
                          row.text(4), row.text(5), row.text(6), row.text(7)};
  }
}

}  // namespace

void migrate_from_first_schema(Database& db, unsigned key_frame_interval) {
  RowWriter writer(db, key_frame_interval);
  std::vector<std::unique_ptr<Statement>> sources = old_sources(db);
  std::vector<bool> has_row;
  for (auto& source : sources) has_row.push_back(source->step());
  // Merged in time order; ties go to the earlier source, then to the lower id.
  for (;;) {
    std::size_t pick = sources.size();
    for (std::size_t i = 0; i < sources.size(); ++i) {
      if (has_row[i] && (pick == sources.size() || sources[i]->text(0) < sources[pick]->text(0))) {
        pick = i;
      }
    }
    if (pick == sources.size()) break;
    writer.write(old_row(pick, *sources[pick]));
    has_row[pick] = sources[pick]->step();
  }
}

void migrate_minute_aggregates(Database& db) {
  Statement old_rows(
      db,
      "SELECT device, minute_ms, count, payload FROM old_aggregates ORDER BY device, "
      "minute_ms");
  Statement insert(db,
                   "INSERT INTO aggregates(device, tier, start_ms, count, payload) "
                   "VALUES (?1, 0, ?2, ?3, ?4)");
  std::optional<std::pair<std::int64_t, std::int64_t>> minute;  // (device, start)
  std::uint32_t rounds = 0;
  AggregateFields fields;
  const auto write_minute = [&] {
    if (minute) {
      insert.bind(1, minute->first).bind(2, minute->second);
      insert.bind(3, static_cast<std::int64_t>(rounds)).bind(4, encode_aggregate(fields, rounds));
      insert.run();
    }
    rounds = 0;
    fields.clear();
  };
  while (old_rows.step()) {
    const std::pair<std::int64_t, std::int64_t> key{old_rows.integer(0),
                                                    floor_to(old_rows.integer(1), kMinuteMs)};
    if (key != minute) write_minute();
    minute = key;
    const auto count = static_cast<std::uint32_t>(old_rows.integer(2));
    rounds += count;
    // A payload cut short keeps its rounds and loses only its readings.
    if (const auto old = decode_schema3_aggregate(old_rows.blob(3), count)) {
      for (const auto& [index, field] : *old) fields[index].merge(field);
    }
  }
  write_minute();
}

void upgrade_from_version_1(Database& db) {
  db.exec(
      "CREATE TABLE control_ids (id INTEGER PRIMARY KEY, request_id TEXT NOT NULL UNIQUE, "
      "time_ms INTEGER NOT NULL); PRAGMA user_version = 2;");
}

}  // namespace kelvra::history
