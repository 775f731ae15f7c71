#include "history/history_reader.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <type_traits>
#include <utility>

#include "history/schema.h"
#include "history/series.h"
#include "history/stored_records.h"

namespace kelvra::history {
namespace {

// "file:PATH?immutable=1" with the characters a URI path cannot hold escaped.
std::string immutable_uri(const std::string& path) {
  std::string uri = "file:";
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c;
    }
  }
  return uri + "?immutable=1";
}

// Opens `name` with `flags`; a failure says the database cannot be opened.
std::unique_ptr<Database> open_database(const std::string& name, int flags) {
  try {
    return std::make_unique<Database>(name, flags);
  } catch (const HistoryError& error) {
    throw HistoryError("history", "cannot open the history database: " + error.reason());
  }
}

std::unique_ptr<Database> open_checked(const std::string& path) {
  auto db = open_database(path, SQLITE_OPEN_READONLY);
  db->busy_timeout(2000);
  try {
    db->user_version();
  } catch (const HistoryError&) {
    if (db->error_code() != SQLITE_CANTOPEN) throw;
    // The log's index cannot be made beside a database on a read-only file system, where
    // nothing can change it: read the file as it is.
    db.reset();
    db = std::make_unique<Database>(immutable_uri(path), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
  }
  check_readable(*db);
  return db;
}

std::unique_ptr<Database> open_for_reading(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw HistoryError(path, "no such history database");
  if (!S_ISREG(info.st_mode)) throw HistoryError(path, "not a file");
  if (info.st_size == 0) throw HistoryError(path, "empty file, not a history database");
  try {
    return open_checked(path);
  } catch (const HistoryError& error) {
    const std::string reason = error.reason() == "file is not a database"
                                   ? "not a history database (not an SQLite file)"
                                   : error.reason();
    throw HistoryError(path, reason);
  }
}

template <class Row>
using Positioned = std::vector<std::pair<std::int64_t, Row>>;
using Bind = std::function<void(Statement&)>;

// The WHERE clause for a query on a table whose time column is `time_ms` and whose device column
// is `device_column`; parameters ?1 since, ?2 until, ?3 device, ?4 and ?5 the time and position
// rows lie before. Each is a range of an index on (device, time_ms) or (time_ms).
std::string where_clause(const HistoryQuery& query, const std::string& device_column) {
  std::string where = " WHERE 1";
  if (query.since_ms) where += " AND t.time_ms >= ?1";
  if (query.until_ms) where += " AND t.time_ms < ?2";
  if (query.device) where += " AND " + device_column + " = ?3";
  if (query.before) where += " AND t.time_ms <= ?4 AND (t.time_ms < ?4 OR t.id < ?5)";
  return where;
}

void bind_query(Statement& statement, const HistoryQuery& query) {
  if (query.since_ms) statement.bind(1, *query.since_ms);
  if (query.until_ms) statement.bind(2, *query.until_ms);
  if (query.device) statement.bind(3, *query.device);
  if (query.before) statement.bind(4, query.before->time_ms).bind(5, query.before->position);
}

// The newest rows first (a listing reverses them), at most `last`.
std::string order_and_limit(const HistoryQuery& query) {
  std::string sql = " ORDER BY t.time_ms DESC, t.id DESC";
  if (query.last) sql += " LIMIT " + std::to_string(*query.last);
  return sql;
}

bool wants(const HistoryQuery& query, TimelineKind kind) {
  return query.kinds.empty() ||
         std::find(query.kinds.begin(), query.kinds.end(), kind) != query.kinds.end();
}

const char* device_column(TimelineKind kind) {
  return kind == TimelineKind::record ? "d.name"
         : kind == TimelineKind::link ? "t.port"
                                      : "t.device";
}

// The table, columns and reader of each event kind.
template <class Row>
struct EventTable;
template <>
struct EventTable<AlarmEvent> {
  static constexpr TimelineKind kind = TimelineKind::alarm;
  static constexpr const char* sql =
      "SELECT t.id, t.time_ms, t.device, t.event, t.level, t.key, t.alarm_id, t.name, t.text, "
      "t.seq FROM alarm_events t";
  static AlarmEvent read(const Statement& row) {
    return AlarmEvent{row.integer(1),
                      row.text(2),
                      row.text(3) == "raised",
                      static_cast<int>(row.integer(4)),
                      row.text(5),
                      row.text(6),
                      row.text(7),
                      row.text(8),
                      static_cast<unsigned>(row.integer(9))};
  }
};
template <>
struct EventTable<CommEvent> {
  static constexpr TimelineKind kind = TimelineKind::link;
  static constexpr const char* sql =
      "SELECT t.id, t.time_ms, t.port, t.event, t.detail FROM comm_events t";
  static CommEvent read(const Statement& row) {
    return CommEvent{row.integer(1), row.text(2), row.text(3), row.text(4)};
  }
};
template <>
struct EventTable<ControlEvent> {
  static constexpr TimelineKind kind = TimelineKind::control;
  static constexpr const char* sql =
      "SELECT t.id, t.time_ms, t.device, t.origin, t.code, t.argument, t.verdict, t.detail, "
      "t.readback FROM control_events t";
  static ControlEvent read(const Statement& row) {
    return ControlEvent{row.integer(1), row.text(2), row.text(3), static_cast<int>(row.integer(4)),
                        row.text(5),    row.text(6), row.text(7), row.text(8)};
  }
};

// Rows of an event table with their positions, selected by `where` and `tail`.
template <class Row>
Positioned<Row> events(Database& db, const std::string& where, const Bind& bind,
                       const std::string& tail) {
  Statement statement(db, EventTable<Row>::sql + where + tail);
  bind(statement);
  Positioned<Row> rows;
  while (statement.step())
    rows.emplace_back(statement.integer(0), EventTable<Row>::read(statement));
  return rows;
}

// One kind's rows selected by the query, oldest first.
template <class Row>
Positioned<Row> queried(Database& db, const HistoryQuery& query) {
  auto rows = events<Row>(
      db, where_clause(query, device_column(EventTable<Row>::kind)),
      [&](Statement& s) { bind_query(s, query); }, order_and_limit(query));
  std::reverse(rows.begin(), rows.end());
  return rows;
}

// One kind's rows after a position, in position order.
template <class Row>
Positioned<Row> after(Database& db, std::int64_t position, std::size_t limit) {
  return events<Row>(
      db, " WHERE t.id > ?1", [&](Statement& s) { s.bind(1, position); },
      " ORDER BY t.id LIMIT " + std::to_string(limit));
}

template <class Row>
void append(std::vector<TimelineEntry>& entries, Positioned<Row>&& rows) {
  for (auto& [position, row] : rows) entries.push_back(TimelineEntry{position, std::move(row)});
}

template <class Row>
std::vector<Row> without_positions(Positioned<Row>&& rows) {
  std::vector<Row> plain;
  plain.reserve(rows.size());
  for (auto& each : rows) plain.push_back(std::move(each.second));
  return plain;
}

std::vector<StoredRecord> read_records(Database& db, const std::string& path,
                                       const std::string& where, const Bind& bind,
                                       const std::string& tail) {
  Statement rows(db,
                 "SELECT t.id, t.time_ms, d.name, d.data_id, t.round_us, t.restored, t.device "
                 "FROM records t JOIN devices d ON d.id = t.device" +
                     where + tail);
  bind(rows);
  std::vector<StoredRecord> records;
  std::map<std::int64_t, std::set<std::int64_t>> ids_of_device;
  std::vector<std::int64_t> device_of_row;
  while (rows.step()) {
    StoredRecord record;
    record.id = rows.integer(0);
    record.time_ms = rows.integer(1);
    record.device = rows.text(2);
    record.data_id = static_cast<std::uint32_t>(rows.integer(3));
    record.round_seconds = static_cast<double>(rows.integer(4)) / 1e6;
    record.restored = rows.integer(5) != 0;
    ids_of_device[rows.integer(6)].insert(record.id);
    device_of_row.push_back(rows.integer(6));
    records.push_back(std::move(record));
  }
  std::map<std::int64_t, std::map<std::int64_t, std::vector<std::uint8_t>>> bytes;
  for (const auto& [device, ids] : ids_of_device) {
    bytes[device] = stored_record_bytes(db, path, device, ids);
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    records[i].bytes = std::move(bytes[device_of_row[i]][records[i].id]);
  }
  return records;
}

}  // namespace

HistoryReader::HistoryReader(const std::string& path)
    : owned_(open_for_reading(path)), db_(owned_.get()), path_(path) {}

HistoryReader::HistoryReader(Database& db, std::string path) : db_(&db), path_(std::move(path)) {}

HistoryReader::~HistoryReader() = default;

std::optional<std::vector<std::uint8_t>> HistoryReader::latest_record(std::uint32_t data_id) {
  // Device by device from the end of its (device, id) index.
  Statement devices(*db_, "SELECT id FROM devices WHERE data_id = ?1");
  Statement newest(*db_, "SELECT max(id) FROM records WHERE device = ?1");
  devices.bind(1, static_cast<std::int64_t>(data_id));
  std::optional<std::pair<std::int64_t, std::int64_t>> latest;  // (id, device)
  while (devices.step()) {
    const auto id = newest.bind(1, devices.integer(0)).single_integer();
    if (id && (!latest || *id > latest->first)) latest = std::make_pair(*id, devices.integer(0));
  }
  if (!latest) return std::nullopt;
  auto decoded = stored_record_bytes(*db_, path_, latest->second, {latest->first});
  return std::move(decoded[latest->first]);
}

std::vector<StoredRecord> HistoryReader::records(const HistoryQuery& query) {
  const Bind bind = [&](Statement& s) { bind_query(s, query); };
  std::vector<StoredRecord> rows;
  if (!query.device) {
    rows = read_records(*db_, path_, where_clause(query, ""), bind, order_and_limit(query));
  } else {
    // Device by device, each in the order of its (device, time_ms) index; merged below.
    Statement ids(*db_, "SELECT id FROM devices WHERE name = ?1");
    ids.bind(1, *query.device);
    std::vector<std::int64_t> devices;
    while (ids.step()) devices.push_back(ids.integer(0));
    for (std::int64_t device : devices) {
      HistoryQuery one = query;
      one.device.reset();
      auto of_device = read_records(
          *db_, path_, where_clause(one, "") + " AND t.device = ?3",
          [&](Statement& s) {
            bind_query(s, one);
            s.bind(3, device);
          },
          order_and_limit(one));
      std::move(of_device.begin(), of_device.end(), std::back_inserter(rows));
    }
    std::sort(rows.begin(), rows.end(), [](const StoredRecord& a, const StoredRecord& b) {
      return std::make_pair(a.time_ms, a.id) > std::make_pair(b.time_ms, b.id);
    });
    if (query.last && rows.size() > *query.last) rows.resize(*query.last);
  }
  std::reverse(rows.begin(), rows.end());
  return rows;
}

std::vector<AlarmEvent> HistoryReader::open_alarms(const std::string& device) {
  return without_positions(events<AlarmEvent>(
      *db_,
      " WHERE t.event = 'raised' AND t.id IN (SELECT max(id) FROM alarm_events WHERE device = ?1 "
      "GROUP BY key, text)",
      [&](Statement& s) { s.bind(1, device); }, " ORDER BY t.id"));
}

std::vector<AlarmEvent> HistoryReader::alarm_events(const HistoryQuery& query) {
  return without_positions(queried<AlarmEvent>(*db_, query));
}

std::vector<CommEvent> HistoryReader::comm_events(const HistoryQuery& query) {
  return without_positions(queried<CommEvent>(*db_, query));
}

std::vector<ControlEvent> HistoryReader::control_events(const HistoryQuery& query) {
  return without_positions(queried<ControlEvent>(*db_, query));
}

std::vector<TimelineEntry> HistoryReader::timeline(const HistoryQuery& query) {
  std::vector<TimelineEntry> entries;
  if (wants(query, TimelineKind::record)) {
    for (StoredRecord& record : records(query)) {
      const std::int64_t position = record.id;
      entries.push_back(TimelineEntry{position, std::move(record)});
    }
  }
  if (wants(query, TimelineKind::alarm)) append(entries, queried<AlarmEvent>(*db_, query));
  if (wants(query, TimelineKind::link)) append(entries, queried<CommEvent>(*db_, query));
  if (wants(query, TimelineKind::control)) append(entries, queried<ControlEvent>(*db_, query));
  std::sort(entries.begin(), entries.end(), [](const TimelineEntry& a, const TimelineEntry& b) {
    return std::make_pair(a.time_ms(), a.position) < std::make_pair(b.time_ms(), b.position);
  });
  if (query.last && entries.size() > *query.last) {
    entries.erase(entries.begin(), entries.end() - static_cast<std::ptrdiff_t>(*query.last));
  }
  return entries;
}

std::vector<TimelineEntry> HistoryReader::timeline_after(std::int64_t position, std::size_t limit) {
  std::vector<TimelineEntry> entries;
  for (StoredRecord& record : read_records(
           *db_, path_, " WHERE t.id > ?1", [&](Statement& s) { s.bind(1, position); },
           " ORDER BY t.id LIMIT " + std::to_string(limit))) {
    const std::int64_t at = record.id;
    entries.push_back(TimelineEntry{at, std::move(record)});
  }
  append(entries, after<AlarmEvent>(*db_, position, limit));
  append(entries, after<CommEvent>(*db_, position, limit));
  append(entries, after<ControlEvent>(*db_, position, limit));
  std::sort(entries.begin(), entries.end(),
            [](const TimelineEntry& a, const TimelineEntry& b) { return a.position < b.position; });
  if (entries.size() > limit) entries.resize(limit);
  return entries;
}

std::vector<std::string> HistoryReader::device_names() {
  Statement statement(*db_, "SELECT DISTINCT name FROM devices ORDER BY name");
  std::vector<std::string> names;
  while (statement.step()) names.push_back(statement.text(0));
  return names;
}

std::int64_t HistoryReader::get_cursor(const std::string& name) {
  Statement statement(*db_, "SELECT position FROM cursors WHERE name = ?1");
  return statement.bind(1, name).single_integer().value_or(0);
}

std::optional<std::int64_t> HistoryReader::first_record_since(const std::string& device,
                                                              std::int64_t since_ms) {
  // Device by device along its (device, time_ms) index; the earliest of them.
  Statement devices(*db_, "SELECT id FROM devices WHERE name = ?1");
  Statement first(*db_,
                  "SELECT time_ms, id FROM records WHERE device = ?1 AND time_ms >= ?2 "
                  "ORDER BY time_ms, id LIMIT 1");
  devices.bind(1, device);
  std::optional<std::pair<std::int64_t, std::int64_t>> earliest;  // (time_ms, id)
  while (devices.step()) {
    first.bind(1, devices.integer(0)).bind(2, since_ms);
    if (first.step()) {
      const auto found = std::make_pair(first.integer(0), first.integer(1));
      if (!earliest || found < *earliest) earliest = found;
      first.reset();
    }
  }
  if (!earliest) return std::nullopt;
  return earliest->second;
}

std::vector<SeriesPoint> HistoryReader::series(const std::string& device, const std::string& field,
                                               std::int64_t since_ms, std::int64_t until_ms,
                                               std::int64_t step_ms) {
  return read_series(*db_, path_, device, field, since_ms, until_ms, step_ms);
}

SeriesPart HistoryReader::series_part(const std::string& device, const std::string& field,
                                      std::int64_t since_ms, std::int64_t until_ms,
                                      std::int64_t step_ms, std::size_t max_rows) {
  return read_series_part(*db_, path_, device, field, since_ms, until_ms, step_ms, max_rows);
}

}  // namespace kelvra::history
