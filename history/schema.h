// The history schema (version 4): creating it, upgrading older ones, recognising it.
#pragma once

#include "history/sqlite.h"

namespace kelvra::history {

constexpr int kSchemaVersion = 4;

// For a writer: refuses a newer schema and a database that is not history, turns on WAL with full
// syncs, and creates the schema or upgrades the first one (records chained with key frames every
// `key_frame_interval`). Throws HistoryError("history", ...).
void prepare_for_writing(Database& db, unsigned key_frame_interval);

// For a reader: throws HistoryError("history", ...) unless `db` holds history of this schema, of
// version 2, which lacks only the time indexes, or of version 1, which lacks the control request
// ids too.
void check_readable(Database& db);

// Rewrites the first schema's tables (text local times, whole records, ids per table) into this
// one, keeping every row; inside the caller's transaction, with the old tables renamed away.
void migrate_from_first_schema(Database& db, unsigned key_frame_interval);

// Copies the version 3 minute aggregates (table old_aggregates) into the tiered table as tier 0
// rows in the current payload, rows of the same device and minute merged into one; inside the
// caller's transaction.
void migrate_minute_aggregates(Database& db);

// Adds the control request ids to a version 1 schema; inside the caller's transaction.
void upgrade_from_version_1(Database& db);

}  // namespace kelvra::history
