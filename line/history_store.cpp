#include "line/history_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <functional>

namespace kelvra::line {
namespace {

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS records (
  id INTEGER PRIMARY KEY,
  time TEXT NOT NULL,
  device TEXT NOT NULL,
  data_id INTEGER NOT NULL,
  round_seconds REAL NOT NULL,
  record BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS records_by_device ON records(data_id, id);
CREATE TABLE IF NOT EXISTS alarm_events (
  id INTEGER PRIMARY KEY,
  time TEXT NOT NULL,
  device TEXT NOT NULL,
  event TEXT NOT NULL,
  level INTEGER NOT NULL,
  key TEXT NOT NULL,
  alarm_id TEXT NOT NULL,
  name TEXT NOT NULL,
  text TEXT NOT NULL,
  seq INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS comm_events (
  id INTEGER PRIMARY KEY,
  time TEXT NOT NULL,
  port TEXT NOT NULL,
  event TEXT NOT NULL,
  detail TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS control_events (
  id INTEGER PRIMARY KEY,
  time TEXT NOT NULL,
  device TEXT NOT NULL,
  origin TEXT NOT NULL,
  code INTEGER NOT NULL,
  argument TEXT NOT NULL,
  verdict TEXT NOT NULL,
  detail TEXT NOT NULL,
  readback TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS cursors (
  name TEXT PRIMARY KEY,
  position INTEGER NOT NULL);
)";

// Databases written before records carried the restored mark gain the column, every row 0.
constexpr const char* kRecordsRestoredColumn =
    "ALTER TABLE records ADD COLUMN restored INTEGER NOT NULL DEFAULT 0";

// One prepared statement, finalized on every path out.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
      throw HistoryError("history", sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind(int index, std::int64_t number) {
    sqlite3_bind_int64(stmt_, index, number);
    return *this;
  }
  Statement& bind(int index, double number) {
    sqlite3_bind_double(stmt_, index, number);
    return *this;
  }
  Statement& bind(int index, const std::vector<std::uint8_t>& blob) {
    sqlite3_bind_blob(stmt_, index, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // Steps once; true while a row is available.
  bool step() {
    const int result = sqlite3_step(stmt_);
    if (result == SQLITE_ROW) return true;
    if (result == SQLITE_DONE) return false;
    throw HistoryError("history", sqlite3_errmsg(db_));
  }
  std::string text(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    return text ? reinterpret_cast<const char*>(text) : "";
  }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  double real(int column) const { return sqlite3_column_double(stmt_, column); }
  std::vector<std::uint8_t> blob(int column) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    return std::vector<std::uint8_t>(data, data + sqlite3_column_bytes(stmt_, column));
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Rows of `table` selected by the query, oldest first; `columns` is the select list.
template <class Row>
std::vector<Row> select_rows(sqlite3* db, const std::string& table, const std::string& columns,
                             const HistoryQuery& query,
                             const std::function<Row(const Statement&)>& read) {
  std::string sql = "SELECT " + columns + " FROM " + table;
  if (query.since) sql += " WHERE time >= ?1";
  sql += " ORDER BY id DESC";
  if (query.last) sql += " LIMIT " + std::to_string(*query.last);
  Statement statement(db, sql);
  if (query.since) statement.bind(1, *query.since);
  std::vector<Row> rows;
  while (statement.step()) rows.push_back(read(statement));
  std::reverse(rows.begin(), rows.end());
  return rows;
}

}  // namespace

HistoryStore::HistoryStore(const std::string& path) : path_(path) {
  open();
}

HistoryStore::HistoryStore(const std::string& path, HistoryStatus status)
    : path_(path), status_(std::move(status)) {
  attempt([] {});
}

HistoryStore::~HistoryStore() {
  if (db_ != nullptr && in_transaction_ && !round_lost_) {
    sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  }
  close();
}

void HistoryStore::open() {
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
    close();
    throw HistoryError(path_, "cannot open the history database: " + reason);
  }
  sqlite3_busy_timeout(db_, 2000);
  try {
    exec(kSchema);
    if (!has_column("records", "restored")) exec(kRecordsRestoredColumn);
  } catch (const HistoryError& error) {
    close();
    throw HistoryError(path_ + ": history", error.reason());
  }
}

bool HistoryStore::has_column(const std::string& table, const std::string& column) {
  Statement statement(db_, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
  statement.bind(1, table).bind(2, column);
  return statement.step();
}

void HistoryStore::close() {
  sqlite3_close(db_);
  db_ = nullptr;
}

sqlite3* HistoryStore::connection() {
  if (db_ == nullptr) open();
  return db_;
}

void HistoryStore::exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(connection(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string reason = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw HistoryError("history", reason);
  }
}

bool HistoryStore::attempt(const std::function<void()>& write) {
  if (!status_) {
    write();
    return true;
  }
  if (round_lost_) return false;
  try {
    connection();
    write();
    return true;
  } catch (const HistoryError& error) {
    close();  // rolls back the transaction open on it
    if (in_transaction_) round_lost_ = true;
    if (!failing_) {
      failing_ = true;
      status_("history not stored: " + error.reason() +
              "; polling goes on and every round tries to store again");
    }
    return false;
  }
}

void HistoryStore::stored_again() {
  if (!failing_) return;
  failing_ = false;
  status_("history stored again; " + std::to_string(lost_records_) + " records and " +
          std::to_string(lost_events_) + " events could not be stored meanwhile");
  lost_records_ = 0;
  lost_events_ = 0;
}

void HistoryStore::begin() {
  if (in_transaction_) return;
  round_records_ = 0;
  round_events_ = 0;
  const bool begun = attempt([this] { exec("BEGIN"); });
  in_transaction_ = true;
  round_lost_ = !begun;
}

void HistoryStore::commit() {
  if (!in_transaction_) return;
  in_transaction_ = false;
  const bool committed = !round_lost_ && attempt([this] { exec("COMMIT"); });
  round_lost_ = false;
  if (committed) {
    stored_again();
  } else {
    lost_records_ += round_records_;
    lost_events_ += round_events_;
  }
}

void HistoryStore::add_row(bool record, const std::function<void()>& insert) {
  if (in_transaction_) {
    ++(record ? round_records_ : round_events_);
    attempt(insert);
  } else if (attempt(insert)) {
    stored_again();
  } else {
    ++(record ? lost_records_ : lost_events_);
  }
}

void HistoryStore::add_record(const StoredRecord& record) {
  add_row(true, [this, &record] {
    Statement(db_,
              "INSERT INTO records(time, device, data_id, round_seconds, record, restored) "
              "VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
        .bind(1, record.time)
        .bind(2, record.device)
        .bind(3, static_cast<std::int64_t>(record.data_id))
        .bind(4, record.round_seconds)
        .bind(5, record.bytes)
        .bind(6, static_cast<std::int64_t>(record.restored ? 1 : 0))
        .step();
  });
}

void HistoryStore::add_alarm_event(const AlarmEvent& event) {
  add_row(false, [this, &event] {
    Statement(db_,
              "INSERT INTO alarm_events(time, device, event, level, key, alarm_id, name, text, "
              "seq) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)")
        .bind(1, event.time)
        .bind(2, event.device)
        .bind(3, std::string(event.raised ? "raised" : "cleared"))
        .bind(4, static_cast<std::int64_t>(event.level))
        .bind(5, event.key)
        .bind(6, event.alarm_id)
        .bind(7, event.name)
        .bind(8, event.text)
        .bind(9, static_cast<std::int64_t>(event.seq))
        .step();
  });
}

void HistoryStore::add_comm_event(const CommEvent& event) {
  add_row(false, [this, &event] {
    Statement(db_, "INSERT INTO comm_events(time, port, event, detail) VALUES (?1, ?2, ?3, ?4)")
        .bind(1, event.time)
        .bind(2, event.port)
        .bind(3, event.event)
        .bind(4, event.detail)
        .step();
  });
}

void HistoryStore::add_control_event(const ControlEvent& event) {
  add_row(false, [this, &event] {
    Statement(db_,
              "INSERT INTO control_events(time, device, origin, code, argument, verdict, detail, "
              "readback) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
        .bind(1, event.time)
        .bind(2, event.device)
        .bind(3, event.origin)
        .bind(4, static_cast<std::int64_t>(event.code))
        .bind(5, event.argument)
        .bind(6, event.verdict)
        .bind(7, event.detail)
        .bind(8, event.readback)
        .step();
  });
}

std::optional<std::vector<std::uint8_t>> HistoryStore::latest_record(std::uint32_t data_id) {
  std::optional<std::vector<std::uint8_t>> latest;
  attempt([this, data_id, &latest] {
    Statement statement(db_,
                        "SELECT record FROM records WHERE data_id = ?1 ORDER BY id DESC LIMIT 1");
    statement.bind(1, static_cast<std::int64_t>(data_id));
    if (statement.step()) latest = statement.blob(0);
  });
  return latest;
}

namespace {

constexpr const char* kRecordColumns = "id, time, device, data_id, round_seconds, record, restored";

StoredRecord record_of_row(const Statement& row) {
  return StoredRecord{
      row.integer(0), row.text(1), row.text(2),        static_cast<std::uint32_t>(row.integer(3)),
      row.real(4),    row.blob(5), row.integer(6) != 0};
}

}  // namespace

std::vector<StoredRecord> HistoryStore::records(const HistoryQuery& query) {
  return select_rows<StoredRecord>(connection(), "records", kRecordColumns, query, record_of_row);
}

std::vector<StoredRecord> HistoryStore::records_after(std::int64_t after, std::uint32_t data_id,
                                                      std::size_t limit) {
  std::vector<StoredRecord> rows;
  attempt([&] {
    Statement statement(db_,
                        std::string("SELECT ") + kRecordColumns +
                            " FROM records WHERE data_id = ?2 AND id > ?1 ORDER BY id LIMIT ?3");
    statement.bind(1, after)
        .bind(2, static_cast<std::int64_t>(data_id))
        .bind(3, static_cast<std::int64_t>(limit));
    while (statement.step()) rows.push_back(record_of_row(statement));
  });
  return rows;
}

std::int64_t HistoryStore::last_record_id(std::uint32_t data_id) {
  std::int64_t id = 0;
  attempt([&] {
    Statement statement(db_, "SELECT max(id) FROM records WHERE data_id = ?1");
    statement.bind(1, static_cast<std::int64_t>(data_id));
    if (statement.step()) id = statement.integer(0);
  });
  return id;
}

std::vector<std::string> HistoryStore::cursor_names(const std::string& prefix) {
  std::vector<std::string> names;
  attempt([&] {
    Statement statement(db_,
                        "SELECT name FROM cursors WHERE substr(name, 1, ?2) = ?1 ORDER BY name");
    statement.bind(1, prefix).bind(2, static_cast<std::int64_t>(prefix.size()));
    while (statement.step()) names.push_back(statement.text(0));
  });
  return names;
}

void HistoryStore::remove_cursor(const std::string& name) {
  attempt([&] { Statement(db_, "DELETE FROM cursors WHERE name = ?1").bind(1, name).step(); });
}

std::int64_t HistoryStore::get_cursor(const std::string& name) {
  std::int64_t position = 0;
  attempt([&] {
    Statement statement(db_, "SELECT position FROM cursors WHERE name = ?1");
    statement.bind(1, name);
    if (statement.step()) position = statement.integer(0);
  });
  return position;
}

void HistoryStore::set_cursor(const std::string& name, std::int64_t position) {
  attempt([&] {
    Statement(db_,
              "INSERT INTO cursors(name, position) VALUES (?1, ?2) "
              "ON CONFLICT(name) DO UPDATE SET position = excluded.position")
        .bind(1, name)
        .bind(2, position)
        .step();
  });
}

std::vector<AlarmEvent> HistoryStore::alarm_events(const HistoryQuery& query) {
  return select_rows<AlarmEvent>(connection(), "alarm_events",
                                 "time, device, event, level, key, alarm_id, name, text, seq",
                                 query, [](const Statement& row) {
                                   return AlarmEvent{row.text(0),
                                                     row.text(1),
                                                     row.text(2) == "raised",
                                                     static_cast<int>(row.integer(3)),
                                                     row.text(4),
                                                     row.text(5),
                                                     row.text(6),
                                                     row.text(7),
                                                     static_cast<unsigned>(row.integer(8))};
                                 });
}

std::vector<CommEvent> HistoryStore::comm_events(const HistoryQuery& query) {
  return select_rows<CommEvent>(
      connection(), "comm_events", "time, port, event, detail", query, [](const Statement& row) {
        return CommEvent{row.text(0), row.text(1), row.text(2), row.text(3)};
      });
}

std::vector<ControlEvent> HistoryStore::control_events(const HistoryQuery& query) {
  return select_rows<ControlEvent>(
      connection(), "control_events",
      "time, device, origin, code, argument, verdict, detail, readback", query,
      [](const Statement& row) {
        return ControlEvent{row.text(0), row.text(1), row.text(2), static_cast<int>(row.integer(3)),
                            row.text(4), row.text(5), row.text(6), row.text(7)};
      });
}

}  // namespace kelvra::line
