#include "history/schema.h"

#include <string>

namespace kelvra::history {
namespace {

// Row ids of records and of the three event tables come from one sequence: they are the
// timeline's positions. A record's payload is its bytes XORed with the device's previous record
// (or with zeros when `whole`), run-length coded (record_codec.h).
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
CREATE TABLE cursors (
  name TEXT PRIMARY KEY,
  position INTEGER NOT NULL);
CREATE TABLE control_ids (
  id INTEGER PRIMARY KEY,
  request_id TEXT NOT NULL UNIQUE,
  time_ms INTEGER NOT NULL);
PRAGMA user_version = 2;
)";

// Indexes that answer every listing, series and retention step in time order by a range search,
// with no sort and no scan of a whole table.
constexpr const char* kTimeIndexes = R"(
CREATE INDEX IF NOT EXISTS records_by_all_time ON records(time_ms);
CREATE INDEX IF NOT EXISTS records_whole ON records(device, id) WHERE whole = 1;
CREATE INDEX IF NOT EXISTS devices_by_data_id ON devices(data_id);
CREATE INDEX IF NOT EXISTS alarm_events_by_time ON alarm_events(time_ms);
CREATE INDEX IF NOT EXISTS alarm_events_by_device ON alarm_events(device, time_ms);
CREATE INDEX IF NOT EXISTS comm_events_by_time ON comm_events(time_ms);
CREATE INDEX IF NOT EXISTS comm_events_by_port ON comm_events(port, time_ms);
CREATE INDEX IF NOT EXISTS control_events_by_time ON control_events(time_ms);
CREATE INDEX IF NOT EXISTS control_events_by_device ON control_events(device, time_ms);
CREATE INDEX IF NOT EXISTS control_ids_by_time ON control_ids(time_ms);
PRAGMA user_version = 3;
)";

// Aggregates of every tier (tiers.h), keyed and stored in (device, tier, start) order, so that a
// tier's expired rows are whole runs of pages and leave no holes among the other tiers' rows.
constexpr const char* kTieredAggregates = R"(
CREATE TABLE aggregates (
  device INTEGER NOT NULL,
  tier INTEGER NOT NULL,
  start_ms INTEGER NOT NULL,
  count INTEGER NOT NULL,
  payload BLOB NOT NULL,
  PRIMARY KEY (device, tier, start_ms)) WITHOUT ROWID;
)";

// Under the write lock, as another connection may have done it meanwhile.
void create_or_upgrade(Database& db, unsigned key_frame_interval) {
  Transaction transaction(db);
  if (db.user_version() == 0) {
    if (db.has_table("records")) {
      db.exec("DROP INDEX IF EXISTS records_by_device");
      db.exec("ALTER TABLE records RENAME TO old_records");
      db.exec("ALTER TABLE alarm_events RENAME TO old_alarm_events");
      db.exec("ALTER TABLE comm_events RENAME TO old_comm_events");
      const bool control_table = db.has_table("control_events");
      if (control_table) db.exec("ALTER TABLE control_events RENAME TO old_control_events");
      db.exec(kSchema);
      db.exec(kTieredAggregates);
      migrate_from_first_schema(db, key_frame_interval);
      db.exec("DROP TABLE old_records");
      db.exec("DROP TABLE old_alarm_events");
      db.exec("DROP TABLE old_comm_events");
      if (control_table) db.exec("DROP TABLE old_control_events");
    } else {
      db.exec(kSchema);
      db.exec(kTieredAggregates);
    }
  } else if (db.user_version() == 1) {
    upgrade_from_version_1(db);
  }
  // Version 2 gains the time indexes; every row stays as it is.
  if (db.user_version() == 2) db.exec(kTimeIndexes);
  // Version 3 minute rows become tier 0 rows in the new payload; duplicates of a minute merged.
  // A table already tiered (created so, or a version number set back by hand) is kept as it is.
  if (db.user_version() == 3) {
    if (!db.has_column("aggregates", "tier")) {
      db.exec("ALTER TABLE aggregates RENAME TO old_aggregates");
      db.exec(kTieredAggregates);
      migrate_minute_aggregates(db);
      db.exec("DROP TABLE old_aggregates");
    }
    db.exec("PRAGMA user_version = 4");
  }
  transaction.commit();
}

}  // namespace

void prepare_for_writing(Database& db, unsigned key_frame_interval) {
  const int version = db.user_version();
  if (version > kSchemaVersion) {
    throw HistoryError("history", "written by a newer kelvra-host (schema " +
                                      std::to_string(version) + "); not changed");
  }
  if (version == 0 && !db.has_table("records") && db.has_any_table()) {
    throw HistoryError("history", "not a history database; not changed");
  }
  // WAL: readers never block the writer; FULL syncs the log once per commit, so with one commit
  // a second a power cut loses at most the last second and never the file.
  db.exec("PRAGMA journal_mode = WAL");
  db.exec("PRAGMA synchronous = FULL");
  if (version < kSchemaVersion) create_or_upgrade(db, key_frame_interval);
}

void check_readable(Database& db) {
  const int version = db.user_version();
  if (version == 0 && db.has_table("records")) {
    throw HistoryError("history",
                       "history of an older kelvra-host; `kelvra-host run --db` on it upgrades it");
  }
  if (version < 1 || version > kSchemaVersion || !db.has_table("records")) {
    throw HistoryError("history", "not a history database");
  }
}

}  // namespace kelvra::history
