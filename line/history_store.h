// Device history in SQLite: records, alarm events, communication events and control events.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace kelvra::line {

// what() names the database or says "history"; reason() is what went wrong, alone.
class HistoryError : public std::runtime_error {
 public:
  HistoryError(const std::string& context, const std::string& reason)
      : std::runtime_error(context + ": " + reason), reason_(reason) {}
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

struct StoredRecord {
  std::int64_t id = 0;
  std::string time;  // local, "YYYY-MM-DD HH:MM:SS.mmm"
  std::string device;
  std::uint32_t data_id = 0;
  double round_seconds = 0;  // 0 for a record restored from the cache
  std::vector<std::uint8_t> bytes;
  bool restored = false;  // stored by the device from a record restored out of history
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

// One control request from any path (socket, HTTP, MQTT), what the host's check made of it, what
// went out on the line and what the device read back afterwards.
struct ControlEvent {
  std::string time;
  std::string device;
  std::string origin;    // who asked: "socket uid 1000 pid 42", "http 127.0.0.1", "mqtt"
  int code = 0;          // the DeviceIoControl code asked for
  std::string argument;  // the request's text argument, as given
  std::string verdict;   // "passed" to the device, "forced" past the check, or "refused"
  std::string detail;    // the words of the check or of the device: why refused, what returned
  std::string readback;  // the device's read-back of the last control outcome, when sent
};

// Which rows a listing returns: those at or after `since` (a time prefix such as "2026-12-08" or
// "2026-12-08 14:30"), of them only the newest `last`, oldest first.
struct HistoryQuery {
  std::optional<std::string> since;
  std::optional<std::size_t> last;
};

// What a store that keeps going says about itself: once when history stops being stored (with
// the reason), once when it is stored again.
using HistoryStatus = std::function<void(const std::string& text)>;

class HistoryStore {
 public:
  // Opens or creates the database; throws HistoryError naming the path.
  explicit HistoryStore(const std::string& path);
  // A store for a run, which must not end because history cannot be written: nothing throws
  // from opening, writing or latest_record. A failed write drops the connection and the round it
  // belongs to; the next write opens the database again, so storing resumes once it can.
  HistoryStore(const std::string& path, HistoryStatus status);
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
  void add_control_event(const ControlEvent& event);

  // The newest record stored for the data id, as the host's cache holds it.
  std::optional<std::vector<std::uint8_t>> latest_record(std::uint32_t data_id);

  std::vector<StoredRecord> records(const HistoryQuery& query);
  std::vector<AlarmEvent> alarm_events(const HistoryQuery& query);
  std::vector<CommEvent> comm_events(const HistoryQuery& query);
  std::vector<ControlEvent> control_events(const HistoryQuery& query);

 private:
  void open();
  void close();
  // The connection, opened again when a failed write dropped it; throws HistoryError.
  sqlite3* connection();
  void exec(const char* sql);
  bool has_column(const std::string& table, const std::string& column);
  // Runs one write; in a keep-going store a failure is reported and false returned instead.
  bool attempt(const std::function<void()>& write);
  void add_row(bool record, const std::function<void()>& insert);
  void stored_again();

  std::string path_;
  sqlite3* db_ = nullptr;
  bool in_transaction_ = false;
  HistoryStatus status_;     // set: keep going when writes fail
  bool failing_ = false;     // the last write failed
  bool round_lost_ = false;  // a write of the open transaction failed; the rest is dropped
  std::uint64_t round_records_ = 0;
  std::uint64_t round_events_ = 0;
  std::uint64_t lost_records_ = 0;  // not stored since writes began to fail
  std::uint64_t lost_events_ = 0;
};

}  // namespace kelvra::line
