// Device history in SQLite: records, alarm events and communication events.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace kelvra::bench {

class HistoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct StoredRecord {
  std::int64_t id = 0;
  std::string time;  // local, "YYYY-MM-DD HH:MM:SS.mmm"
  std::string device;
  std::uint32_t data_id = 0;
  double round_seconds = 0;  // 0 for a record restored from the cache
  std::vector<std::uint8_t> bytes;
};

struct AlarmEvent {
  std::string time;
  std::string device;
  bool raised = false;
  int level = 0;
  std::string key;
  std::string alarm_id;
  std::string name;  // the rule's detail text
  std::string text;  // the alarm's name
  unsigned seq = 0;
};

struct CommEvent {
  std::string time;
  std::string port;
  std::string event;  // "lost" or "restored"
  std::string detail;
};

// Which rows a listing returns: those at or after `since` (a time prefix such as "2026-12-08" or
// "2026-12-08 14:30"), of them only the newest `last`, oldest first.
struct HistoryQuery {
  std::optional<std::string> since;
  std::optional<std::size_t> last;
};

class HistoryStore {
 public:
  // Opens or creates the database; throws HistoryError naming the path.
  explicit HistoryStore(const std::string& path);
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // A transaction spans one round's record and alarm events; nested begins are absorbed.
  void begin();
  void commit();
  bool in_transaction() const { return in_transaction_; }

  void add_record(const StoredRecord& record);
  void add_alarm_event(const AlarmEvent& event);
  void add_comm_event(const CommEvent& event);

  // The newest record stored for the data id, as the host's cache holds it.
  std::optional<std::vector<std::uint8_t>> latest_record(std::uint32_t data_id);

  std::vector<StoredRecord> records(const HistoryQuery& query);
  std::vector<AlarmEvent> alarm_events(const HistoryQuery& query);
  std::vector<CommEvent> comm_events(const HistoryQuery& query);

 private:
  void exec(const char* sql);

  std::string path_;
  sqlite3* db_ = nullptr;
  bool in_transaction_ = false;
};

}  // namespace kelvra::bench
