// Which file keeps a history database from being written, and the repair of the one case that is
// safe to repair: a log or index beside a writable database left read-only from an earlier open.
#pragma once

#include <optional>
#include <string>

namespace kelvra::history {

// The first of the database's directory, the database, its "-wal" and its "-shm" that exists and
// this process may not write for lack of permission; nullopt when none.
std::optional<std::string> unwritable_file(const std::string& db_path);

// When the database is writable but its "-wal" or "-shm" is not (SQLite creates them with the
// database's mode, so a database that was read-only leaves them read-only), gives them the
// database's mode; says what it changed, nullopt when nothing.
std::optional<std::string> match_database_mode(const std::string& db_path);

}  // namespace kelvra::history
