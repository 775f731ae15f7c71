#include "history/sqlite.h"

#include <sqlite3.h>

namespace kelvra::history {

Database::Database(const std::string& name, int flags) {
  if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw HistoryError("history", reason);
  }
}

Database::~Database() {
  sqlite3_close_v2(db_);
}

void Database::exec(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string reason = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw HistoryError("history", reason);
  }
}

void Database::busy_timeout(int ms) {
  sqlite3_busy_timeout(db_, ms);
}

int Database::error_code() const {
  return sqlite3_errcode(db_);
}

std::int64_t Database::last_insert_rowid() const {
  return sqlite3_last_insert_rowid(db_);
}

int Database::changes() const {
  return sqlite3_changes(db_);
}

int Database::user_version() {
  Statement statement(*this, "PRAGMA user_version");
  return static_cast<int>(statement.single_integer().value_or(0));
}

bool Database::has_table(const std::string& table) {
  Statement statement(*this, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  return statement.bind(1, table).single_integer().has_value();
}

bool Database::has_column(const std::string& table, const std::string& column) {
  Statement statement(*this, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
  return statement.bind(1, table).bind(2, column).single_integer().has_value();
}

bool Database::has_any_table() {
  Statement statement(*this, "SELECT 1 FROM sqlite_master");
  return statement.single_integer().has_value();
}

Statement::Statement(Database& db, const std::string& sql) : db_(db) {
  if (sqlite3_prepare_v3(db.handle(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt_,
                         nullptr) != SQLITE_OK) {
    const std::string reason = sqlite3_errmsg(db.handle());
    sqlite3_finalize(stmt_);
    throw HistoryError("history", reason);
  }
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement& Statement::bind(int index, const std::string& text) {
  sqlite3_bind_text(stmt_, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::bind(int index, std::int64_t number) {
  sqlite3_bind_int64(stmt_, index, number);
  return *this;
}

Statement& Statement::bind(int index, const std::vector<std::uint8_t>& blob) {
  static const std::uint8_t kNone = 0;  // an empty blob, not NULL
  sqlite3_bind_blob(stmt_, index, blob.empty() ? &kNone : blob.data(),
                    static_cast<int>(blob.size()), SQLITE_TRANSIENT);
  return *this;
}

bool Statement::step() {
  const int result = sqlite3_step(stmt_);
  if (result == SQLITE_ROW) return true;
  sqlite3_reset(stmt_);
  if (result == SQLITE_DONE) return false;
  throw HistoryError("history", sqlite3_errmsg(db_.handle()));
}

void Statement::run() {
  while (step()) {
  }
}

void Statement::reset() {
  sqlite3_reset(stmt_);
}

std::optional<std::int64_t> Statement::single_integer() {
  std::optional<std::int64_t> value;
  if (step() && !is_null(0)) value = integer(0);
  reset();
  return value;
}

bool Statement::is_null(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::string Statement::text(int column) const {
  const auto* text = sqlite3_column_text(stmt_, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
              : "";
}

std::int64_t Statement::integer(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

double Statement::real(int column) const {
  return sqlite3_column_double(stmt_, column);
}

std::vector<std::uint8_t> Statement::blob(int column) const {
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
  return std::vector<std::uint8_t>(
      data, data + static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

Transaction::Transaction(Database& db) : db_(db) {
  db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (open_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  db_.exec("COMMIT");
  open_ = false;
}

}  // namespace kelvra::history
