#include "line/history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <set>
#include <type_traits>

#include "hostkit/local_time.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::line {
namespace {

constexpr int kSchemaVersion = 1;
constexpr std::int64_t kMinuteMs = 60 * 1000;
constexpr std::int64_t kDayMs = 24 * 60 * kMinuteMs;
// Rows deleted by retention after one commit, at most: small steps that never hold up polling.
constexpr int kRetentionBudget = 2000;

// Schema 1. Row ids of records and of the three event tables come from one sequence: they are
// the timeline's positions. A record's payload is its bytes XORed with the device's previous
// record (or with zeros when `whole`), run-length coded (see encode_runs).
constexpr const char* kSchema = R"(
CREATE TABLE devices (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  data_id INTEGER NOT NULL,
  UNIQUE(name, data_id));
CREATE TABLE records (
  id INTEGER PRIMARY KEY,
  time_ms INTEGER NOT NULL,
  device INTEGER NOT NULL,
  round_us INTEGER NOT NULL,
  restored INTEGER NOT NULL,
  whole INTEGER NOT NULL,
  payload BLOB NOT NULL);
CREATE INDEX records_by_device ON records(device, id);
CREATE INDEX records_by_time ON records(device, time_ms);
CREATE TABLE alarm_events (
  id INTEGER PRIMARY KEY,
  time_ms INTEGER NOT NULL,
  device TEXT NOT NULL,
  event TEXT NOT NULL,
  level INTEGER NOT NULL,
  key TEXT NOT NULL,
  alarm_id TEXT NOT NULL,
  name TEXT NOT NULL,
  text TEXT NOT NULL,
  seq INTEGER NOT NULL);
CREATE TABLE comm_events (
  id INTEGER PRIMARY KEY,
  time_ms INTEGER NOT NULL,
  port TEXT NOT NULL,
  event TEXT NOT NULL,
  detail TEXT NOT NULL);
CREATE TABLE control_events (
  id INTEGER PRIMARY KEY,
  time_ms INTEGER NOT NULL,
  device TEXT NOT NULL,
  origin TEXT NOT NULL,
  code INTEGER NOT NULL,
  argument TEXT NOT NULL,
  verdict TEXT NOT NULL,
  detail TEXT NOT NULL,
  readback TEXT NOT NULL);
CREATE TABLE aggregates (
  id INTEGER PRIMARY KEY,
  device INTEGER NOT NULL,
  minute_ms INTEGER NOT NULL,
  count INTEGER NOT NULL,
  payload BLOB NOT NULL);
CREATE INDEX aggregates_by_device ON aggregates(device, minute_ms);
CREATE TABLE cursors (
  name TEXT PRIMARY KEY,
  position INTEGER NOT NULL);
PRAGMA user_version = 1;
)";

const char* const kEventTables[] = {"alarm_events", "comm_events", "control_events"};

// One statement, reset after every use and finalized with its owner.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) !=
        SQLITE_OK) {
      const std::string reason = sqlite3_errmsg(db);
      sqlite3_finalize(stmt_);
      throw HistoryError("history", reason);
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
  Statement& bind(int index, const std::vector<std::uint8_t>& blob) {
    static const std::uint8_t kNone = 0;  // an empty blob, not NULL
    sqlite3_bind_blob(stmt_, index, blob.empty() ? &kNone : blob.data(),
                      static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // Steps once; true while a row is available. Resets at the end and on failure.
  bool step() {
    const int result = sqlite3_step(stmt_);
    if (result == SQLITE_ROW) return true;
    sqlite3_reset(stmt_);
    if (result == SQLITE_DONE) return false;
    throw HistoryError("history", sqlite3_errmsg(db_));
  }
  // Runs a statement that returns no rows.
  void run() {
    while (step()) {
    }
  }
  void reset() { sqlite3_reset(stmt_); }
  bool is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::string text(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                : "";
  }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  double real(int column) const { return sqlite3_column_double(stmt_, column); }
  std::vector<std::uint8_t> blob(int column) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    return std::vector<std::uint8_t>(
        data, data + static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

void exec_on(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string reason = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw HistoryError("history", reason);
  }
}

// --- Record payloads -------------------------------------------------------------------------

void put_varint(std::vector<std::uint8_t>& out, std::size_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

bool get_varint(const std::vector<std::uint8_t>& in, std::size_t& at, std::size_t& value) {
  value = 0;
  for (unsigned shift = 0; shift < 28; shift += 7) {
    if (at >= in.size()) return false;
    const std::uint8_t byte = in[at++];
    value |= static_cast<std::size_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// `bytes` XOR `base` (zeros where base is shorter) as pairs of (count of zero bytes, count of
// literal bytes, the literals), counts as LEB128 varints. Zero runs shorter than 3 bytes stay
// inside the literal, where they cost less than a new pair.
std::vector<std::uint8_t> encode_runs(const std::vector<std::uint8_t>& bytes,
                                      const std::vector<std::uint8_t>* base) {
  const std::size_t size = bytes.size();
  auto x = [&](std::size_t i) -> std::uint8_t {
    return base && i < base->size() ? static_cast<std::uint8_t>(bytes[i] ^ (*base)[i]) : bytes[i];
  };
  std::vector<std::uint8_t> out;
  std::size_t i = 0;
  while (i < size) {
    std::size_t zeros = 0;
    while (i < size && x(i) == 0) ++zeros, ++i;
    const std::size_t literal_start = i;
    while (i < size) {
      if (x(i) != 0) {
        ++i;
        continue;
      }
      std::size_t run = 0;
      while (i + run < size && x(i + run) == 0) ++run;
      if (run >= 3 || i + run == size) break;
      i += run;
    }
    put_varint(out, zeros);
    put_varint(out, i - literal_start);
    for (std::size_t j = literal_start; j < i; ++j) out.push_back(x(j));
  }
  return out;
}

// The inverse of encode_runs; nullopt when the payload is damaged or does not fit the base.
std::optional<std::vector<std::uint8_t>> decode_runs(const std::vector<std::uint8_t>& payload,
                                                     const std::vector<std::uint8_t>* base) {
  std::vector<std::uint8_t> out;
  std::size_t at = 0;
  constexpr std::size_t kMaxRecordBytes = 1 << 20;
  while (at < payload.size()) {
    std::size_t zeros = 0;
    std::size_t literals = 0;
    if (!get_varint(payload, at, zeros) || !get_varint(payload, at, literals)) return std::nullopt;
    if (literals > payload.size() - at || out.size() + zeros + literals > kMaxRecordBytes) {
      return std::nullopt;
    }
    out.insert(out.end(), zeros, 0);
    out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(at),
               payload.begin() + static_cast<std::ptrdiff_t>(at + literals));
    at += literals;
  }
  if (base) {
    if (out.size() != base->size()) return std::nullopt;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] ^= (*base)[i];
  }
  return out;
}

// --- Series fields ---------------------------------------------------------------------------

bool is_series_field(const std::string& name) {
  auto ends_with = [&](const char* tail) {
    const std::size_t length = std::strlen(tail);
    return name.size() >= length && name.compare(name.size() - length, length, tail) == 0;
  };
  auto starts_with = [&](const char* head) { return name.rfind(head, 0) == 0; };
  if (starts_with("ac.channel[")) {
    return ends_with("].a") || ends_with("].b") || ends_with("].c") || ends_with("].f");
  }
  if (starts_with("rc.")) return name == "rc.group_value" || ends_with("].value");
  if (starts_with("dc.") || starts_with("dc2.")) {
    return ends_with(".out_v") || ends_with(".out_i") || name.find(".m[") != std::string::npos;
  }
  return false;
}

// The series fields with their offsets, and the offsets of the counts that decide which of them
// a record holds; all from the record's field table.
struct SeriesLayout {
  std::vector<std::string> names;
  std::map<std::string, std::size_t> index_of;
  std::vector<std::size_t> count_offsets;
};

const SeriesLayout& series_layout() {
  static const SeriesLayout layout = [] {
    SeriesLayout built;
    std::vector<std::uint8_t> zeros(record::kRecordSize, 0);
    kelvra_419_Data_t full = *record::from_bytes(zeros.data(), zeros.size());
    full.ac.channel_count = kelvra_419_Data_t::AC_CHANNEL_ROOM;
    full.rc.channel_count = kelvra_419_Data_t::RC_CHANNEL_ROOM;
    full.dc.m_count = kelvra_419_dc::M_SIZE();
    full.dc2.m_count = kelvra_419_dc::M_SIZE();
    record::for_each_field(full, [&](const record::FieldValue& field) {
      if (field.name.size() > 6 && field.name.compare(field.name.size() - 6, 6, "_count") == 0) {
        built.count_offsets.push_back(field.offset);
      }
      if (!is_series_field(field.name)) return;
      built.index_of[field.name] = built.names.size();
      built.names.push_back(field.name);
    });
    return built;
  }();
  return layout;
}

float float_at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  const std::uint32_t bits = static_cast<std::uint32_t>(bytes[offset]) |
                             static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
                             static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
                             static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// One series field a record holds: its index in series_fields() and its byte offset.
struct PresentField {
  std::size_t index;
  std::size_t offset;
};

// The series fields a record holds, looked up again only when its counts change.
class PresenceCache {
 public:
  const std::vector<PresentField>& of(const std::vector<std::uint8_t>& bytes) {
    const SeriesLayout& layout = series_layout();
    std::vector<std::uint8_t> key;
    key.reserve(layout.count_offsets.size());
    for (std::size_t offset : layout.count_offsets) key.push_back(bytes[offset]);
    if (key == key_ && !first_) return fields_;
    first_ = false;
    key_ = key;
    fields_.clear();
    const auto record = record::from_bytes(bytes.data(), bytes.size());
    record::for_each_field(*record, [&](const record::FieldValue& field) {
      const auto found = layout.index_of.find(field.name);
      if (found != layout.index_of.end()) fields_.push_back({found->second, field.offset});
    });
    return fields_;
  }

 private:
  bool first_ = true;
  std::vector<std::uint8_t> key_;
  std::vector<PresentField> fields_;
};

// Running minimum, sum and maximum of one field.
struct FieldAccumulator {
  double min = std::numeric_limits<double>::infinity();
  double max = -std::numeric_limits<double>::infinity();
  double sum = 0;
  std::uint32_t count = 0;

  void add(double value) {
    min = std::min(min, value);
    max = std::max(max, value);
    sum += value;
    ++count;
  }
  void merge(const FieldAccumulator& other) {
    min = std::min(min, other.min);
    max = std::max(max, other.max);
    sum += other.sum;
    count += other.count;
  }
};

void put_float(std::vector<std::uint8_t>& out, double value) {
  const auto single = static_cast<float>(value);
  std::uint32_t bits = 0;
  std::memcpy(&bits, &single, sizeof bits);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

// A minute's fields, each as (index, flags, [count u16 LE], min [, mean, max]) with f32 LE
// values: flag 1 when min, mean and max are one value, flag 2 when the field's count is not
// the minute's.
std::vector<std::uint8_t> encode_aggregate(const std::map<std::size_t, FieldAccumulator>& fields,
                                           std::uint32_t rounds) {
  std::vector<std::uint8_t> out;
  for (const auto& [index, field] : fields) {
    const bool constant = field.min == field.max;
    const bool own_count = field.count != rounds;
    out.push_back(static_cast<std::uint8_t>(index));
    out.push_back(static_cast<std::uint8_t>((constant ? 1 : 0) | (own_count ? 2 : 0)));
    if (own_count) {
      out.push_back(static_cast<std::uint8_t>(field.count));
      out.push_back(static_cast<std::uint8_t>(field.count >> 8));
    }
    put_float(out, field.min);
    if (!constant) {
      put_float(out, field.sum / field.count);
      put_float(out, field.max);
    }
  }
  return out;
}

// The accumulator of one field out of an aggregate payload; nullopt when it is not there.
std::optional<FieldAccumulator> aggregate_field(const std::vector<std::uint8_t>& payload,
                                                std::uint32_t rounds, std::size_t wanted) {
  std::size_t at = 0;
  while (at + 2 <= payload.size()) {
    const std::size_t index = payload[at];
    const std::uint8_t flags = payload[at + 1];
    at += 2;
    std::uint32_t count = rounds;
    if (flags & 2) {
      if (at + 2 > payload.size()) return std::nullopt;
      count = static_cast<std::uint32_t>(payload[at] | payload[at + 1] << 8);
      at += 2;
    }
    const std::size_t values = (flags & 1) ? 1 : 3;
    if (at + 4 * values > payload.size()) return std::nullopt;
    if (index == wanted) {
      FieldAccumulator field;
      field.count = count;
      field.min = float_at(payload, at);
      const double mean = values == 1 ? field.min : float_at(payload, at + 4);
      field.max = values == 1 ? field.min : float_at(payload, at + 8);
      field.sum = mean * count;
      return field;
    }
    at += 4 * values;
  }
  return std::nullopt;
}

// --- Queued rows -----------------------------------------------------------------------------

struct AggregateRow {
  std::string device;
  std::uint32_t data_id;
  std::int64_t minute_ms;
  std::uint32_t rounds;
  std::vector<std::uint8_t> payload;
};

struct CursorRow {
  std::string name;
  std::int64_t position;
};

using QueuedRow =
    std::variant<StoredRecord, AlarmEvent, CommEvent, ControlEvent, AggregateRow, CursorRow>;

// The minute being accumulated for one device.
struct MinuteAccumulator {
  std::int64_t minute_ms = 0;
  std::uint32_t rounds = 0;
  std::map<std::size_t, FieldAccumulator> fields;
  PresenceCache presence;
};

// What the last stored record of a device was, for the next one's delta.
struct ChainState {
  std::vector<std::uint8_t> bytes;
  unsigned since_whole = 0;
};

std::int64_t floor_to(std::int64_t value, std::int64_t step) {
  const std::int64_t quotient = value / step;
  return (quotient * step > value ? quotient - 1 : quotient) * step;
}

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

}  // namespace

std::optional<TimelineKind> timeline_kind_named(const std::string& name) {
  for (TimelineKind kind :
       {TimelineKind::record, TimelineKind::alarm, TimelineKind::link, TimelineKind::control}) {
    if (name == timeline_kind_name(kind)) return kind;
  }
  return std::nullopt;
}

const char* timeline_kind_name(TimelineKind kind) {
  switch (kind) {
    case TimelineKind::record:
      return "record";
    case TimelineKind::alarm:
      return "alarm";
    case TimelineKind::link:
      return "link";
    case TimelineKind::control:
      return "control";
  }
  return "";
}

std::int64_t TimelineEntry::time_ms() const {
  return std::visit([](const auto& each) { return each.time_ms; }, row);
}

std::vector<std::string> series_fields() {
  return series_layout().names;
}

struct HistoryStore::Impl {
  enum class Mode { write, keep_going, read };

  Impl(std::string path_, Mode mode_, HistoryStatus status_, HistoryOptions options_)
      : path(std::move(path_)),
        mode(mode_),
        status(std::move(status_)),
        options(std::move(options_)) {
    if (!options.wall_clock) options.wall_clock = hostkit::utc_now_ms;
    if (!options.steady_clock)
      options.steady_clock = [] { return std::chrono::steady_clock::now(); };
    if (options.key_frame_interval == 0) options.key_frame_interval = 1;
  }
  ~Impl() { close(); }

  std::string path;
  Mode mode;
  HistoryStatus status;
  HistoryOptions options;
  sqlite3* db = nullptr;

  // Write statements, prepared once per connection.
  std::unique_ptr<Statement> insert_record, insert_alarm, insert_comm, insert_control,
      insert_aggregate, upsert_cursor, insert_device;

  std::deque<QueuedRow> queue;
  bool in_round = false;
  std::optional<std::chrono::steady_clock::time_point> last_flush;

  // Valid while the connection is: rebuilt after it was dropped.
  bool state_loaded = false;
  std::int64_t next_position = 1;
  std::map<std::pair<std::string, std::uint32_t>, std::int64_t> device_ids;
  std::map<std::int64_t, ChainState> chains;

  std::map<std::pair<std::string, std::uint32_t>, MinuteAccumulator> minutes;

  // Health of the database as a link: the reason while failing, counts for the line when back.
  std::optional<std::string> failing;
  std::uint64_t dropped_during_failure = 0;
  std::uint64_t dropped_total = 0;
  bool said_full = false;

  // --- Connection ---

  void close() {
    insert_record.reset();
    insert_alarm.reset();
    insert_comm.reset();
    insert_control.reset();
    insert_aggregate.reset();
    upsert_cursor.reset();
    insert_device.reset();
    if (db) sqlite3_close(db);
    db = nullptr;
    state_loaded = false;
    chains.clear();
  }

  int user_version() {
    Statement statement(db, "PRAGMA user_version");
    statement.step();
    const auto version = static_cast<int>(statement.integer(0));
    statement.reset();
    return version;
  }

  bool has_table(const std::string& table) {
    Statement statement(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
    statement.bind(1, table);
    const bool found = statement.step();
    statement.reset();
    return found;
  }

  bool has_column(const std::string& table, const std::string& column) {
    Statement statement(db, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
    statement.bind(1, table).bind(2, column);
    const bool found = statement.step();
    statement.reset();
    return found;
  }

  bool has_any_table() {
    Statement statement(db, "SELECT 1 FROM sqlite_master");
    const bool found = statement.step();
    statement.reset();
    return found;
  }

  void open() {
    if (mode == Mode::read) {
      open_for_reading();
      return;
    }
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      const std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
      close();
      throw HistoryError(path, "cannot open the history database: " + reason);
    }
    // A run must not wait on a lock: its rows stay queued instead.
    sqlite3_busy_timeout(db, mode == Mode::keep_going ? 50 : 2000);
    try {
      const int version = user_version();
      if (version > kSchemaVersion) {
        throw HistoryError("history", "written by a newer kelvra-host (schema " +
                                          std::to_string(version) + "); not changed");
      }
      if (version == 0 && !has_table("records") && has_any_table()) {
        throw HistoryError("history", "not a history database; not changed");
      }
      // WAL: readers never block the writer; FULL syncs the log once per commit, so with one
      // commit a second a power cut loses at most the last second and never the file.
      exec_on(db, "PRAGMA journal_mode = WAL");
      exec_on(db, "PRAGMA synchronous = FULL");
      if (version == 0) create_or_upgrade();
      prepare_writes();
    } catch (const HistoryError& error) {
      close();
      throw HistoryError(path, error.reason());
    }
  }

  void open_for_reading() {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw HistoryError(path, "no such history database");
    if (!S_ISREG(info.st_mode)) throw HistoryError(path, "not a file");
    if (info.st_size == 0) throw HistoryError(path, "empty file, not a history database");
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      const std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
      close();
      throw HistoryError(path, "cannot open the history database: " + reason);
    }
    sqlite3_busy_timeout(db, 2000);
    try {
      int version = 0;
      try {
        version = user_version();
      } catch (const HistoryError&) {
        if (sqlite3_errcode(db) != SQLITE_CANTOPEN) throw;
        // The log's index cannot be made beside a database on a read-only file system, where
        // nothing can change it: read the file as it is.
        sqlite3_close(db);
        db = nullptr;
        if (sqlite3_open_v2(immutable_uri(path).c_str(), &db,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
          throw HistoryError("history", db ? sqlite3_errmsg(db) : "out of memory");
        }
        version = user_version();
      }
      if (version == 0 && has_table("records")) {
        throw HistoryError("history",
                           "history of an older kelvra-host; `kelvra-host run --db` on it "
                           "upgrades it");
      }
      if (version != kSchemaVersion || !has_table("records")) {
        throw HistoryError("history", "not a history database");
      }
    } catch (const HistoryError& error) {
      close();
      const std::string reason = error.reason() == "file is not a database"
                                     ? "not a history database (not an SQLite file)"
                                     : error.reason();
      throw HistoryError(path, reason);
    }
  }

  sqlite3* connection() {
    if (!db) open();
    return db;
  }

  void prepare_writes() {
    insert_record = std::make_unique<Statement>(
        db,
        "INSERT INTO records(id, time_ms, device, round_us, restored, whole, payload) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    insert_alarm = std::make_unique<Statement>(
        db,
        "INSERT INTO alarm_events(id, time_ms, device, event, level, key, alarm_id, name, text, "
        "seq) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    insert_comm = std::make_unique<Statement>(
        db,
        "INSERT INTO comm_events(id, time_ms, port, event, detail) VALUES (?1, ?2, ?3, ?4, ?5)");
    insert_control = std::make_unique<Statement>(
        db,
        "INSERT INTO control_events(id, time_ms, device, origin, code, argument, verdict, detail, "
        "readback) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    insert_aggregate = std::make_unique<Statement>(
        db, "INSERT INTO aggregates(device, minute_ms, count, payload) VALUES (?1, ?2, ?3, ?4)");
    upsert_cursor =
        std::make_unique<Statement>(db,
                                    "INSERT INTO cursors(name, position) VALUES (?1, ?2) "
                                    "ON CONFLICT(name) DO UPDATE SET position = excluded.position");
    insert_device =
        std::make_unique<Statement>(db, "INSERT INTO devices(name, data_id) VALUES (?1, ?2)");
  }

  void load_state() {
    if (state_loaded) return;
    device_ids.clear();
    chains.clear();
    Statement devices(db, "SELECT id, name, data_id FROM devices");
    while (devices.step()) {
      device_ids[{devices.text(1), static_cast<std::uint32_t>(devices.integer(2))}] =
          devices.integer(0);
    }
    // Positions handed out stay handed out: above every row and every acknowledged cursor.
    Statement top(db,
                  "SELECT max(coalesce((SELECT max(id) FROM records), 0), "
                  "coalesce((SELECT max(id) FROM alarm_events), 0), "
                  "coalesce((SELECT max(id) FROM comm_events), 0), "
                  "coalesce((SELECT max(id) FROM control_events), 0), "
                  "coalesce((SELECT max(position) FROM cursors), 0))");
    top.step();
    next_position = top.integer(0) + 1;
    top.reset();
    state_loaded = true;
  }

  std::int64_t device_id(const std::string& name, std::uint32_t data_id) {
    const auto found = device_ids.find({name, data_id});
    if (found != device_ids.end()) return found->second;
    insert_device->bind(1, name).bind(2, static_cast<std::int64_t>(data_id)).run();
    const std::int64_t id = sqlite3_last_insert_rowid(db);
    device_ids[{name, data_id}] = id;
    return id;
  }

  // --- Writing rows (inside a transaction) ---

  void write_record(const StoredRecord& record, std::int64_t position) {
    const std::int64_t device = device_id(record.device, record.data_id);
    ChainState& chain = chains[device];
    const bool whole = chain.bytes.size() != record.bytes.size() || chain.bytes.empty() ||
                       chain.since_whole + 1 >= options.key_frame_interval;
    const std::vector<std::uint8_t> payload =
        encode_runs(record.bytes, whole ? nullptr : &chain.bytes);
    insert_record->bind(1, position)
        .bind(2, record.time_ms)
        .bind(3, device)
        .bind(4, static_cast<std::int64_t>(std::llround(record.round_seconds * 1e6)))
        .bind(5, static_cast<std::int64_t>(record.restored ? 1 : 0))
        .bind(6, static_cast<std::int64_t>(whole ? 1 : 0))
        .bind(7, payload)
        .run();
    chain.bytes = record.bytes;
    chain.since_whole = whole ? 0 : chain.since_whole + 1;
  }

  void write_row(const QueuedRow& row) {
    if (const auto* record = std::get_if<StoredRecord>(&row)) {
      write_record(*record, next_position++);
    } else if (const auto* alarm = std::get_if<AlarmEvent>(&row)) {
      insert_alarm->bind(1, next_position++)
          .bind(2, alarm->time_ms)
          .bind(3, alarm->device)
          .bind(4, std::string(alarm->raised ? "raised" : "cleared"))
          .bind(5, static_cast<std::int64_t>(alarm->level))
          .bind(6, alarm->key)
          .bind(7, alarm->alarm_id)
          .bind(8, alarm->name)
          .bind(9, alarm->text)
          .bind(10, static_cast<std::int64_t>(alarm->seq))
          .run();
    } else if (const auto* comm = std::get_if<CommEvent>(&row)) {
      insert_comm->bind(1, next_position++)
          .bind(2, comm->time_ms)
          .bind(3, comm->port)
          .bind(4, comm->event)
          .bind(5, comm->detail)
          .run();
    } else if (const auto* control = std::get_if<ControlEvent>(&row)) {
      insert_control->bind(1, next_position++)
          .bind(2, control->time_ms)
          .bind(3, control->device)
          .bind(4, control->origin)
          .bind(5, static_cast<std::int64_t>(control->code))
          .bind(6, control->argument)
          .bind(7, control->verdict)
          .bind(8, control->detail)
          .bind(9, control->readback)
          .run();
    } else if (const auto* aggregate = std::get_if<AggregateRow>(&row)) {
      insert_aggregate->bind(1, device_id(aggregate->device, aggregate->data_id))
          .bind(2, aggregate->minute_ms)
          .bind(3, static_cast<std::int64_t>(aggregate->rounds))
          .bind(4, aggregate->payload)
          .run();
    } else if (const auto* cursor = std::get_if<CursorRow>(&row)) {
      upsert_cursor->bind(1, cursor->name).bind(2, cursor->position).run();
    }
  }

  // --- Migration from the first schema (text local times, whole records, ids per table) ---

  // Under the write lock, as another connection may have done it meanwhile.
  void create_or_upgrade() {
    exec_on(db, "BEGIN IMMEDIATE");
    try {
      if (user_version() == 0) {
        if (has_table("records")) {
          migrate_from_first_schema();
        } else {
          exec_on(db, kSchema);
        }
      }
      exec_on(db, "COMMIT");
    } catch (const HistoryError&) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  void migrate_from_first_schema() {
    const bool restored_column = has_column("records", "restored");
    const bool control_table = has_table("control_events");
    exec_on(db, "DROP INDEX IF EXISTS records_by_device");
    exec_on(db, "ALTER TABLE records RENAME TO old_records");
    exec_on(db, "ALTER TABLE alarm_events RENAME TO old_alarm_events");
    exec_on(db, "ALTER TABLE comm_events RENAME TO old_comm_events");
    if (control_table) exec_on(db, "ALTER TABLE control_events RENAME TO old_control_events");
    exec_on(db, kSchema);
    prepare_writes();
    load_state();

    // The old tables merged in time order (ties: records, alarms, links, controls, then id).
    std::vector<std::unique_ptr<Statement>> sources;
    sources.push_back(std::make_unique<Statement>(
        db, std::string("SELECT time, device, data_id, round_seconds, record, ") +
                (restored_column ? "restored" : "0") + " FROM old_records ORDER BY time, id"));
    sources.push_back(std::make_unique<Statement>(
        db,
        "SELECT time, device, event, level, key, alarm_id, name, text, seq FROM "
        "old_alarm_events ORDER BY time, id"));
    sources.push_back(std::make_unique<Statement>(
        db, "SELECT time, port, event, detail FROM old_comm_events ORDER BY time, id"));
    if (control_table) {
      sources.push_back(std::make_unique<Statement>(
          db,
          "SELECT time, device, origin, code, argument, verdict, detail, readback FROM "
          "old_control_events ORDER BY time, id"));
    }
    std::vector<bool> has_row;
    for (auto& source : sources) has_row.push_back(source->step());
    for (;;) {
      std::size_t pick = sources.size();
      for (std::size_t i = 0; i < sources.size(); ++i) {
        if (has_row[i] &&
            (pick == sources.size() || sources[i]->text(0) < sources[pick]->text(0))) {
          pick = i;
        }
      }
      if (pick == sources.size()) break;
      const Statement& row = *sources[pick];
      const std::int64_t time_ms = hostkit::parse_local_time(row.text(0)).value_or(0);
      if (pick == 0) {
        write_record(StoredRecord{0, row.text(1), static_cast<std::uint32_t>(row.integer(2)),
                                  row.real(3), row.blob(4), row.integer(5) != 0, time_ms},
                     next_position++);
      } else if (pick == 1) {
        write_row(AlarmEvent{time_ms, row.text(1), row.text(2) == "raised",
                             static_cast<int>(row.integer(3)), row.text(4), row.text(5),
                             row.text(6), row.text(7), static_cast<unsigned>(row.integer(8))});
      } else if (pick == 2) {
        write_row(CommEvent{time_ms, row.text(1), row.text(2), row.text(3)});
      } else {
        write_row(ControlEvent{time_ms, row.text(1), row.text(2), static_cast<int>(row.integer(3)),
                               row.text(4), row.text(5), row.text(6), row.text(7)});
      }
      has_row[pick] = sources[pick]->step();
    }
    sources.clear();
    exec_on(db, "DROP TABLE old_records");
    exec_on(db, "DROP TABLE old_alarm_events");
    exec_on(db, "DROP TABLE old_comm_events");
    if (control_table) exec_on(db, "DROP TABLE old_control_events");
  }

  // --- Queue and flushing ---

  void enqueue(QueuedRow row) {
    queue.push_back(std::move(row));
    if (queue.size() > options.queue_bound) {
      queue.pop_front();
      ++dropped_total;
      ++dropped_during_failure;
      if (!said_full && status) {
        said_full = true;
        status("history queue full (" + std::to_string(options.queue_bound) +
               " rows): the oldest are dropped until the database can be written");
      }
    }
  }

  bool due() const {
    return !last_flush || options.steady_clock() - *last_flush >= options.flush_interval;
  }

  void maybe_flush() {
    if (!in_round && due()) flush();
  }

  // Writes the whole queue in one transaction. A keep-going store reports a failure once and
  // keeps the rows; a writing store throws.
  bool flush() {
    last_flush = options.steady_clock();
    if (mode == Mode::read) return true;
    if (queue.empty() && !failing) return !state_loaded || retention_step_quietly();
    try {
      connection();
      load_state();
      exec_on(db, "BEGIN IMMEDIATE");
      const std::int64_t first_position = next_position;
      try {
        for (const QueuedRow& row : queue) write_row(row);
        exec_on(db, "COMMIT");
      } catch (const HistoryError&) {
        next_position = first_position;
        throw;
      }
    } catch (const HistoryError& error) {
      close();  // rolls back; the delta chains and device ids are read again with the data
      if (mode == Mode::write) throw HistoryError(path, error.reason());
      if (!failing) {
        failing = error.reason();
        status("history not stored: " + error.reason() + "; rows are kept (up to " +
               std::to_string(options.queue_bound) +
               ") and written when the database can be written again");
      }
      return false;
    }
    const std::size_t written = queue.size();
    queue.clear();
    if (failing) {
      status("history stored again; " + std::to_string(written) + " rows kept meanwhile written, " +
             std::to_string(dropped_during_failure) + " dropped");
      failing.reset();
      dropped_during_failure = 0;
      said_full = false;
    }
    return retention_step_quietly();
  }

  // Reads see every row added before them.
  void flush_for_reading() {
    if (mode != Mode::read && !queue.empty()) flush();
  }

  // --- Retention ---

  bool retention_step_quietly() {
    if (!db) return true;
    try {
      retention_step();
      return true;
    } catch (const HistoryError& error) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      if (mode == Mode::write) throw HistoryError(path, error.reason());
      return false;
    }
  }

  std::int64_t used_bytes() {
    Statement statement(db,
                        "SELECT (SELECT page_count FROM pragma_page_count()) - "
                        "(SELECT freelist_count FROM pragma_freelist_count()), "
                        "(SELECT page_size FROM pragma_page_size())");
    statement.step();
    const std::int64_t used = statement.integer(0) * statement.integer(1);
    statement.reset();
    return used;
  }

  // Deletes the oldest record's group (it and the deltas that follow up to the device's next
  // whole record); returns the rows deleted, 0 when there are no records.
  int delete_oldest_record_group(std::optional<std::int64_t> older_than_ms) {
    Statement oldest(db, "SELECT id, device, time_ms FROM records ORDER BY id LIMIT 1");
    if (!oldest.step()) return 0;
    const std::int64_t id = oldest.integer(0);
    const std::int64_t device = oldest.integer(1);
    const std::int64_t time_ms = oldest.integer(2);
    oldest.reset();
    if (older_than_ms && time_ms >= *older_than_ms) return 0;
    Statement next_whole(db,
                         "SELECT min(id) FROM records WHERE device = ?1 AND id > ?2 AND whole = 1");
    next_whole.bind(1, device).bind(2, id);
    next_whole.step();
    const bool last_group = next_whole.is_null(0);
    const std::int64_t end =
        last_group ? std::numeric_limits<std::int64_t>::max() : next_whole.integer(0);
    next_whole.reset();
    // By age, a group goes only when all of it is older than the cutoff.
    if (older_than_ms) {
      Statement newest(
          db, "SELECT max(time_ms) FROM records WHERE device = ?1 AND id >= ?2 AND id < ?3");
      newest.bind(1, device).bind(2, id).bind(3, end);
      newest.step();
      const bool all_older = newest.integer(0) < *older_than_ms;
      newest.reset();
      if (!all_older) return 0;
    }
    Statement erase(db, "DELETE FROM records WHERE device = ?1 AND id >= ?2 AND id < ?3");
    erase.bind(1, device).bind(2, id).bind(3, end).run();
    if (last_group) chains.erase(device);  // the next record of the device is stored whole
    return sqlite3_changes(db);
  }

  int delete_older(const char* table, const char* time_column, std::int64_t cutoff_ms, int limit) {
    Statement erase(db, std::string("DELETE FROM ") + table + " WHERE id IN (SELECT id FROM " +
                            table + " WHERE " + time_column + " < ?1 ORDER BY id LIMIT ?2)");
    erase.bind(1, cutoff_ms).bind(2, static_cast<std::int64_t>(limit)).run();
    return sqlite3_changes(db);
  }

  void retention_step() {
    if (!options.keep_days && !options.max_db_mb && options.keep_events_days <= 0 &&
        options.keep_aggregate_days <= 0) {
      return;
    }
    const std::int64_t now = options.wall_clock();
    int budget = kRetentionBudget;
    exec_on(db, "BEGIN IMMEDIATE");
    if (options.keep_days) {
      const std::int64_t cutoff = now - *options.keep_days * kDayMs;
      while (budget > 0) {
        const int deleted = delete_oldest_record_group(cutoff);
        if (deleted == 0) break;
        budget -= deleted;
      }
    }
    if (options.keep_events_days > 0) {
      for (const char* table : kEventTables) {
        budget -= delete_older(table, "time_ms", now - options.keep_events_days * kDayMs,
                               std::max(budget, 1));
      }
    }
    if (options.keep_aggregate_days > 0) {
      budget -= delete_older("aggregates", "minute_ms", now - options.keep_aggregate_days * kDayMs,
                             std::max(budget, 1));
    }
    if (options.max_db_mb) {
      const std::int64_t limit = static_cast<std::int64_t>(*options.max_db_mb) * 1024 * 1024;
      while (budget > 0 && used_bytes() > limit) {
        int deleted = delete_oldest_record_group(std::nullopt);
        // Past the raw records, the oldest aggregates, then the oldest events go.
        if (deleted == 0) deleted = delete_older("aggregates", "minute_ms", now + kDayMs, 500);
        for (const char* table : kEventTables) {
          if (deleted == 0) deleted = delete_older(table, "time_ms", now + kDayMs, 500);
        }
        if (deleted == 0) break;
        budget -= deleted;
      }
    }
    exec_on(db, "COMMIT");
  }

  // --- Rows in ---

  std::int64_t stamp(std::int64_t time_ms) { return time_ms != 0 ? time_ms : options.wall_clock(); }

  void accumulate_minute(const StoredRecord& record) {
    if (record.restored || record.bytes.size() != record::kRecordSize) return;
    MinuteAccumulator& minute = minutes[{record.device, record.data_id}];
    const std::int64_t minute_ms = floor_to(record.time_ms, kMinuteMs);
    if (minute.rounds > 0 && minute.minute_ms != minute_ms)
      close_minute(record.device, record.data_id, minute);
    minute.minute_ms = minute_ms;
    ++minute.rounds;
    for (const PresentField& field : minute.presence.of(record.bytes)) {
      const float value = float_at(record.bytes, field.offset);
      if (std::isfinite(value)) minute.fields[field.index].add(value);
    }
  }

  void close_minute(const std::string& device, std::uint32_t data_id, MinuteAccumulator& minute) {
    enqueue(AggregateRow{device, data_id, minute.minute_ms, minute.rounds,
                         encode_aggregate(minute.fields, minute.rounds)});
    minute.rounds = 0;
    minute.fields.clear();
  }

  void close_all_minutes() {
    for (auto& [key, minute] : minutes) {
      if (minute.rounds > 0) close_minute(key.first, key.second, minute);
    }
  }

  // --- Reading ---

  // Decodes the records of one device from the whole record at or before `first_id` up to
  // `last_id`, calling `visit(id, time_ms, restored, bytes)` for each from first_id on.
  void for_each_decoded(std::int64_t device, std::int64_t first_id, std::int64_t last_id,
                        const std::function<void(std::int64_t, std::int64_t, bool,
                                                 const std::vector<std::uint8_t>&)>& visit) {
    Statement start(db, "SELECT max(id) FROM records WHERE device = ?1 AND id <= ?2 AND whole = 1");
    start.bind(1, device).bind(2, first_id);
    start.step();
    const std::int64_t from = start.is_null(0) ? first_id : start.integer(0);
    start.reset();
    Statement chain(db,
                    "SELECT id, time_ms, whole, payload, restored FROM records WHERE device = "
                    "?1 AND id BETWEEN ?2 AND ?3 ORDER BY id");
    chain.bind(1, device).bind(2, from).bind(3, last_id);
    std::optional<std::vector<std::uint8_t>> previous;
    while (chain.step()) {
      const std::int64_t id = chain.integer(0);
      const bool whole = chain.integer(2) != 0;
      if (!whole && !previous) {
        throw HistoryError(path, "record " + std::to_string(id) + " has no whole record before it");
      }
      previous = decode_runs(chain.blob(3), whole ? nullptr : &*previous);
      if (!previous) throw HistoryError(path, "record " + std::to_string(id) + " is damaged");
      if (id >= first_id) visit(id, chain.integer(1), chain.integer(4) != 0, *previous);
    }
  }

  // Bytes of the listed records of one device.
  std::map<std::int64_t, std::vector<std::uint8_t>> decode_records(
      std::int64_t device, const std::set<std::int64_t>& ids) {
    std::map<std::int64_t, std::vector<std::uint8_t>> decoded;
    if (ids.empty()) return decoded;
    for_each_decoded(
        device, *ids.begin(), *ids.rbegin(),
        [&](std::int64_t id, std::int64_t, bool, const std::vector<std::uint8_t>& bytes) {
          if (ids.count(id)) decoded[id] = bytes;
        });
    return decoded;
  }

  // --- Series ---

  std::optional<std::int64_t> single_integer(const std::string& sql, std::int64_t first,
                                             std::optional<std::int64_t> second = std::nullopt,
                                             std::optional<std::int64_t> third = std::nullopt) {
    Statement statement(db, sql);
    statement.bind(1, first);
    if (second) statement.bind(2, *second);
    if (third) statement.bind(3, *third);
    statement.step();
    std::optional<std::int64_t> value;
    if (!statement.is_null(0)) value = statement.integer(0);
    statement.reset();
    return value;
  }

  void aggregate_series(std::int64_t device, std::size_t field, std::int64_t since,
                        std::int64_t until, std::int64_t step,
                        std::vector<FieldAccumulator>& buckets, std::int64_t bucket_origin) {
    Statement minutes_in(db,
                         "SELECT minute_ms, count, payload FROM aggregates WHERE device = ?1 AND "
                         "minute_ms >= ?2 AND minute_ms < ?3");
    minutes_in.bind(1, device).bind(2, since).bind(3, until);
    while (minutes_in.step()) {
      const auto found = aggregate_field(minutes_in.blob(2),
                                         static_cast<std::uint32_t>(minutes_in.integer(1)), field);
      if (!found) continue;
      buckets[static_cast<std::size_t>((minutes_in.integer(0) - bucket_origin) / step)].merge(
          *found);
    }
  }

  void raw_series(std::int64_t device, std::size_t field, std::int64_t since, std::int64_t until,
                  std::int64_t step, std::vector<FieldAccumulator>& buckets,
                  std::int64_t bucket_origin) {
    const char* range = " FROM records WHERE device = ?1 AND time_ms >= ?2 AND time_ms < ?3";
    const auto first = single_integer(std::string("SELECT min(id)") + range, device, since, until);
    const auto last = single_integer(std::string("SELECT max(id)") + range, device, since, until);
    if (!first || !last) return;
    PresenceCache presence;
    for_each_decoded(
        device, *first, *last,
        [&](std::int64_t, std::int64_t time_ms, bool restored,
            const std::vector<std::uint8_t>& bytes) {
          // Restored records repeat older data: a series counts live rounds only.
          if (restored || time_ms < since || time_ms >= until ||
              bytes.size() != record::kRecordSize) {
            return;
          }
          for (const PresentField& present : presence.of(bytes)) {
            if (present.index != field) continue;
            const float value = float_at(bytes, present.offset);
            if (std::isfinite(value)) {
              buckets[static_cast<std::size_t>((time_ms - bucket_origin) / step)].add(value);
            }
          }
        });
  }

  std::vector<SeriesPoint> series(const std::string& device, const std::string& field,
                                  std::int64_t since, std::int64_t until, std::int64_t step) {
    const SeriesLayout& layout = series_layout();
    const auto found = layout.index_of.find(field);
    if (found == layout.index_of.end()) {
      throw HistoryError(path, "no series \"" + field + "\" (see series_fields)");
    }
    if (step < 1) throw HistoryError(path, "a series step is at least 1 ms");
    if (until <= since) return {};
    constexpr std::int64_t kMaxPoints = 1000000;
    const std::int64_t points = (until - since - 1) / step + 1;
    if (points > kMaxPoints) {
      throw HistoryError(path, std::to_string(points) + " points asked for; at most " +
                                   std::to_string(kMaxPoints) + ": take a longer step");
    }
    std::vector<FieldAccumulator> buckets(static_cast<std::size_t>(points));
    Statement devices(db, "SELECT id FROM devices WHERE name = ?1");
    devices.bind(1, device);
    std::vector<std::int64_t> ids;
    while (devices.step()) ids.push_back(devices.integer(0));
    for (std::int64_t id : ids) {
      // Minute aggregates where the device has them and the step is a minute or more, raw
      // records before and after them; for a shorter step raw records, and the aggregates only
      // where the raw records are gone.
      std::int64_t from = until;  // aggregates over [from, to)
      std::int64_t to = until;
      if (step >= kMinuteMs) {
        const auto oldest =
            single_integer("SELECT min(minute_ms) FROM aggregates WHERE device = ?1", id);
        const auto newest =
            single_integer("SELECT max(minute_ms) FROM aggregates WHERE device = ?1", id);
        if (oldest && newest) {
          from = *oldest;
          to = *newest + kMinuteMs;
        }
      } else {
        const auto oldest_raw =
            single_integer("SELECT min(time_ms) FROM records WHERE device = ?1", id);
        from = since;
        to = oldest_raw ? *oldest_raw : until;
      }
      from = std::clamp(from, since, until);
      to = std::clamp(to, from, until);
      raw_series(id, found->second, since, from, step, buckets, since);
      aggregate_series(id, found->second, from, to, step, buckets, since);
      raw_series(id, found->second, to, until, step, buckets, since);
    }
    std::vector<SeriesPoint> series;
    for (std::size_t i = 0; i < buckets.size(); ++i) {
      const FieldAccumulator& bucket = buckets[i];
      if (bucket.count == 0) continue;
      series.push_back(SeriesPoint{since + static_cast<std::int64_t>(i) * step, bucket.min,
                                   bucket.sum / bucket.count, bucket.max, bucket.count});
    }
    return series;
  }

  // The WHERE clause for a query on a table whose time column is `time_ms` and whose device
  // column is `device_column`; parameters ?1 since, ?2 until, ?3 device.
  static std::string where_clause(const HistoryQuery& query, const std::string& device_column) {
    std::string where = " WHERE 1";
    if (query.since_ms) where += " AND t.time_ms >= ?1";
    if (query.until_ms) where += " AND t.time_ms < ?2";
    if (query.device) where += " AND " + device_column + " = ?3";
    return where;
  }

  static void bind_query(Statement& statement, const HistoryQuery& query) {
    if (query.since_ms) statement.bind(1, *query.since_ms);
    if (query.until_ms) statement.bind(2, *query.until_ms);
    if (query.device) statement.bind(3, *query.device);
  }

  static std::string order_and_limit(const HistoryQuery& query) {
    std::string sql = " ORDER BY t.time_ms DESC, t.id DESC";
    if (query.last) sql += " LIMIT " + std::to_string(*query.last);
    return sql;
  }

  static bool wants(const HistoryQuery& query, TimelineKind kind) {
    return query.kinds.empty() ||
           std::find(query.kinds.begin(), query.kinds.end(), kind) != query.kinds.end();
  }

  std::vector<StoredRecord> read_records(const std::string& where,
                                         const std::function<void(Statement&)>& bind,
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
    for (const auto& [device, ids] : ids_of_device) bytes[device] = decode_records(device, ids);
    for (std::size_t i = 0; i < records.size(); ++i) {
      records[i].bytes = std::move(bytes[device_of_row[i]][records[i].id]);
    }
    return records;
  }

  std::vector<StoredRecord> records(const HistoryQuery& query) {
    auto rows = read_records(
        where_clause(query, "d.name"), [&](Statement& s) { bind_query(s, query); },
        order_and_limit(query));
    std::reverse(rows.begin(), rows.end());
    return rows;
  }

  template <class Row>
  using Positioned = std::vector<std::pair<std::int64_t, Row>>;

  // Rows of an event table with their positions, selected by `where` and `tail`.
  template <class Row>
  Positioned<Row> events(const char* table, const std::string& columns, const std::string& where,
                         const std::function<void(Statement&)>& bind, const std::string& tail,
                         Row (*read)(const Statement&)) {
    Statement statement(db, "SELECT " + columns + " FROM " + table + " t" + where + tail);
    bind(statement);
    Positioned<Row> rows;
    while (statement.step()) rows.emplace_back(statement.integer(0), read(statement));
    return rows;
  }

  template <class Row>
  Positioned<Row> events_of(TimelineKind kind, const std::string& where,
                            const std::function<void(Statement&)>& bind, const std::string& tail) {
    if constexpr (std::is_same_v<Row, AlarmEvent>) {
      (void)kind;
      return events<AlarmEvent>("alarm_events",
                                "t.id, t.time_ms, t.device, t.event, t.level, t.key, t.alarm_id, "
                                "t.name, t.text, t.seq",
                                where, bind, tail, read_alarm);
    } else if constexpr (std::is_same_v<Row, CommEvent>) {
      return events<CommEvent>("comm_events", "t.id, t.time_ms, t.port, t.event, t.detail", where,
                               bind, tail, read_comm);
    } else {
      return events<ControlEvent>("control_events",
                                  "t.id, t.time_ms, t.device, t.origin, t.code, t.argument, "
                                  "t.verdict, t.detail, t.readback",
                                  where, bind, tail, read_control);
    }
  }

  static const char* device_column(TimelineKind kind) {
    return kind == TimelineKind::record ? "d.name"
           : kind == TimelineKind::link ? "t.port"
                                        : "t.device";
  }

  // One kind's rows selected by the query, oldest first.
  template <class Row>
  Positioned<Row> queried(TimelineKind kind, const HistoryQuery& query) {
    auto rows = events_of<Row>(
        kind, where_clause(query, device_column(kind)), [&](Statement& s) { bind_query(s, query); },
        order_and_limit(query));
    std::reverse(rows.begin(), rows.end());
    return rows;
  }

  // One kind's rows after a position, in position order.
  template <class Row>
  Positioned<Row> after(TimelineKind kind, std::int64_t position, std::size_t limit) {
    return events_of<Row>(
        kind, " WHERE t.id > ?1", [&](Statement& s) { s.bind(1, position); },
        " ORDER BY t.id LIMIT " + std::to_string(limit));
  }

  template <class Row>
  static void append(std::vector<TimelineEntry>& entries, Positioned<Row>&& rows) {
    for (auto& [position, row] : rows) entries.push_back(TimelineEntry{position, std::move(row)});
  }

  std::vector<TimelineEntry> timeline(const HistoryQuery& query) {
    std::vector<TimelineEntry> entries;
    if (wants(query, TimelineKind::record)) {
      for (StoredRecord& record : records(query)) {
        const std::int64_t position = record.id;
        entries.push_back(TimelineEntry{position, std::move(record)});
      }
    }
    if (wants(query, TimelineKind::alarm)) {
      append(entries, queried<AlarmEvent>(TimelineKind::alarm, query));
    }
    if (wants(query, TimelineKind::link)) {
      append(entries, queried<CommEvent>(TimelineKind::link, query));
    }
    if (wants(query, TimelineKind::control)) {
      append(entries, queried<ControlEvent>(TimelineKind::control, query));
    }
    std::sort(entries.begin(), entries.end(), [](const TimelineEntry& a, const TimelineEntry& b) {
      return std::make_pair(a.time_ms(), a.position) < std::make_pair(b.time_ms(), b.position);
    });
    if (query.last && entries.size() > *query.last) {
      entries.erase(entries.begin(), entries.end() - static_cast<std::ptrdiff_t>(*query.last));
    }
    return entries;
  }

  std::vector<TimelineEntry> timeline_after(std::int64_t position, std::size_t limit) {
    std::vector<TimelineEntry> entries;
    for (StoredRecord& record : read_records(
             " WHERE t.id > ?1", [&](Statement& s) { s.bind(1, position); },
             " ORDER BY t.id LIMIT " + std::to_string(limit))) {
      const std::int64_t at = record.id;
      entries.push_back(TimelineEntry{at, std::move(record)});
    }
    append(entries, after<AlarmEvent>(TimelineKind::alarm, position, limit));
    append(entries, after<CommEvent>(TimelineKind::link, position, limit));
    append(entries, after<ControlEvent>(TimelineKind::control, position, limit));
    std::sort(entries.begin(), entries.end(), [](const TimelineEntry& a, const TimelineEntry& b) {
      return a.position < b.position;
    });
    if (entries.size() > limit) entries.resize(limit);
    return entries;
  }

  static AlarmEvent read_alarm(const Statement& row) {
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
  static CommEvent read_comm(const Statement& row) {
    return CommEvent{row.integer(1), row.text(2), row.text(3), row.text(4)};
  }
  static ControlEvent read_control(const Statement& row) {
    return ControlEvent{row.integer(1), row.text(2), row.text(3), static_cast<int>(row.integer(4)),
                        row.text(5),    row.text(6), row.text(7), row.text(8)};
  }
};

HistoryStore::HistoryStore(const std::string& path, HistoryOptions options)
    : impl_(std::make_unique<Impl>(path, Impl::Mode::write, nullptr, std::move(options))) {
  impl_->open();
}

HistoryStore::HistoryStore(const std::string& path, HistoryStatus status, HistoryOptions options)
    : impl_(std::make_unique<Impl>(path, Impl::Mode::keep_going, std::move(status),
                                   std::move(options))) {
  try {
    impl_->open();
  } catch (const HistoryError& error) {
    impl_->failing = error.reason();
    impl_->status("history not stored: " + error.reason() + "; rows are kept (up to " +
                  std::to_string(impl_->options.queue_bound) +
                  ") and written when the database can be written again");
  }
}

HistoryStore::HistoryStore(const std::string& path, ReadOnly)
    : impl_(std::make_unique<Impl>(path, Impl::Mode::read, nullptr, HistoryOptions{})) {
  impl_->open();
}

HistoryStore::~HistoryStore() {
  if (impl_->mode == Impl::Mode::read) return;
  impl_->in_round = false;
  impl_->close_all_minutes();
  try {
    impl_->flush();
  } catch (const HistoryError&) {
    // Nowhere left to say it: the owner heard of the failure from the writes before.
  }
}

bool HistoryStore::in_transaction() const {
  return impl_->in_round;
}

std::uint64_t HistoryStore::dropped_rows() const {
  return impl_->dropped_total;
}

std::size_t HistoryStore::queued_rows() const {
  return impl_->queue.size();
}

std::optional<std::string> HistoryStore::not_stored_reason() const {
  return impl_->failing;
}

void HistoryStore::begin() {
  impl_->in_round = true;
}

void HistoryStore::commit() {
  if (!impl_->in_round) return;
  impl_->in_round = false;
  impl_->maybe_flush();
}

void HistoryStore::add_record(const StoredRecord& record) {
  StoredRecord stamped = record;
  stamped.time_ms = impl_->stamp(record.time_ms);
  impl_->accumulate_minute(stamped);
  impl_->enqueue(std::move(stamped));
  impl_->maybe_flush();
}

void HistoryStore::add_alarm_event(const AlarmEvent& event) {
  AlarmEvent stamped = event;
  stamped.time_ms = impl_->stamp(event.time_ms);
  impl_->enqueue(std::move(stamped));
  impl_->maybe_flush();
}

void HistoryStore::add_comm_event(const CommEvent& event) {
  CommEvent stamped = event;
  stamped.time_ms = impl_->stamp(event.time_ms);
  impl_->enqueue(std::move(stamped));
  impl_->maybe_flush();
}

void HistoryStore::add_control_event(const ControlEvent& event) {
  ControlEvent stamped = event;
  stamped.time_ms = impl_->stamp(event.time_ms);
  impl_->enqueue(std::move(stamped));
  impl_->maybe_flush();
}

void HistoryStore::tick() {
  impl_->maybe_flush();
}

bool HistoryStore::flush() {
  return impl_->flush();
}

std::optional<std::vector<std::uint8_t>> HistoryStore::latest_record(std::uint32_t data_id) {
  try {
    impl_->flush_for_reading();
    sqlite3* db = impl_->connection();
    Statement latest(db,
                     "SELECT t.id, t.device FROM records t JOIN devices d ON d.id = t.device "
                     "WHERE d.data_id = ?1 ORDER BY t.id DESC LIMIT 1");
    latest.bind(1, static_cast<std::int64_t>(data_id));
    if (!latest.step()) return std::nullopt;
    const std::int64_t id = latest.integer(0);
    const std::int64_t device = latest.integer(1);
    latest.reset();
    auto decoded = impl_->decode_records(device, {id});
    return std::move(decoded[id]);
  } catch (const HistoryError&) {
    if (impl_->mode != Impl::Mode::keep_going) throw;
  }
  // A database that cannot be written may still be read (a read-only file system).
  try {
    return HistoryStore(impl_->path, ReadOnly{}).latest_record(data_id);
  } catch (const HistoryError&) {
    return std::nullopt;
  }
}

std::vector<StoredRecord> HistoryStore::records(const HistoryQuery& query) {
  impl_->flush_for_reading();
  impl_->connection();
  return impl_->records(query);
}

namespace {

template <class Row>
std::vector<Row> without_positions(std::vector<std::pair<std::int64_t, Row>>&& rows) {
  std::vector<Row> plain;
  plain.reserve(rows.size());
  for (auto& each : rows) plain.push_back(std::move(each.second));
  return plain;
}

}  // namespace

std::vector<AlarmEvent> HistoryStore::alarm_events(const HistoryQuery& query) {
  impl_->flush_for_reading();
  impl_->connection();
  return without_positions(impl_->queried<AlarmEvent>(TimelineKind::alarm, query));
}

std::vector<CommEvent> HistoryStore::comm_events(const HistoryQuery& query) {
  impl_->flush_for_reading();
  impl_->connection();
  return without_positions(impl_->queried<CommEvent>(TimelineKind::link, query));
}

std::vector<ControlEvent> HistoryStore::control_events(const HistoryQuery& query) {
  impl_->flush_for_reading();
  impl_->connection();
  return without_positions(impl_->queried<ControlEvent>(TimelineKind::control, query));
}

std::vector<TimelineEntry> HistoryStore::timeline(const HistoryQuery& query) {
  impl_->flush_for_reading();
  impl_->connection();
  return impl_->timeline(query);
}

std::vector<TimelineEntry> HistoryStore::timeline_after(std::int64_t position, std::size_t limit) {
  impl_->flush_for_reading();
  impl_->connection();
  return impl_->timeline_after(position, limit);
}

std::vector<std::string> HistoryStore::device_names() {
  impl_->flush_for_reading();
  Statement statement(impl_->connection(), "SELECT DISTINCT name FROM devices ORDER BY name");
  std::vector<std::string> names;
  while (statement.step()) names.push_back(statement.text(0));
  return names;
}

std::int64_t HistoryStore::get_cursor(const std::string& name) {
  for (auto row = impl_->queue.rbegin(); row != impl_->queue.rend(); ++row) {
    const auto* cursor = std::get_if<CursorRow>(&*row);
    if (cursor && cursor->name == name) return cursor->position;
  }
  try {
    Statement statement(impl_->connection(), "SELECT position FROM cursors WHERE name = ?1");
    statement.bind(1, name);
    if (!statement.step()) return 0;
    const std::int64_t position = statement.integer(0);
    statement.reset();
    return position;
  } catch (const HistoryError&) {
    if (impl_->mode == Impl::Mode::keep_going) return 0;
    throw;
  }
}

void HistoryStore::set_cursor(const std::string& name, std::int64_t position) {
  if (impl_->mode == Impl::Mode::read) throw HistoryError(impl_->path, "opened for reading only");
  impl_->enqueue(CursorRow{name, position});
  impl_->maybe_flush();
}

std::vector<SeriesPoint> HistoryStore::series(const std::string& device, const std::string& field,
                                              std::int64_t since_ms, std::int64_t until_ms,
                                              std::int64_t step_ms) {
  impl_->flush_for_reading();
  impl_->connection();
  return impl_->series(device, field, since_ms, until_ms, step_ms);
}

}  // namespace kelvra::line
