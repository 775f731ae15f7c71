// RAII over the sqlite3 C API; every failure throws HistoryError("history", SQLite's message).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/history_types.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kelvra::history {

class Database {
 public:
  // Opens `name` (a path, or a URI with SQLITE_OPEN_URI) with sqlite3_open_v2 flags.
  Database(const std::string& name, int flags);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* handle() const { return db_; }
  void exec(const std::string& sql);
  void busy_timeout(int ms);
  // SQLite's extended result code of the last failure (SQLITE_CANTOPEN, ...).
  int error_code() const;
  std::int64_t last_insert_rowid() const;
  int changes() const;

  int user_version();
  bool has_table(const std::string& table);
  bool has_column(const std::string& table, const std::string& column);
  bool has_any_table();

 private:
  sqlite3* db_ = nullptr;
};

// One prepared statement, reset after every use and finalized with its owner.
class Statement {
 public:
  Statement(Database& db, const std::string& sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, const std::string& text);
  Statement& bind(int index, std::int64_t number);
  Statement& bind(int index, const std::vector<std::uint8_t>& blob);
  // Steps once; true while a row is available. Resets at the end and on failure.
  bool step();
  // Runs a statement that returns no rows.
  void run();
  void reset();
  // Column 0 of the first row; nullopt when there is none or it is NULL.
  std::optional<std::int64_t> single_integer();

  bool is_null(int column) const;
  std::string text(int column) const;
  std::int64_t integer(int column) const;
  double real(int column) const;
  std::vector<std::uint8_t> blob(int column) const;

 private:
  Database& db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE (the write lock) on construction; ROLLBACK unless commit() was called.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit();

 private:
  Database& db_;
  bool open_ = true;
};

}  // namespace kelvra::history
