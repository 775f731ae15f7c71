// Device history in SQLite: records, alarm events, communication events and control events, one
// timeline of them, minute aggregates of the main readings and named cursors.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "events/event.h"

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

// Every row's time is `time_ms` (UTC milliseconds since the epoch); a row added with time_ms 0
// takes the store's clock.
struct StoredRecord {
  std::int64_t id = 0;  // the row's timeline position
  std::string device;
  std::uint32_t data_id = 0;
  double round_seconds = 0;  // 0 for a record restored from the cache
  std::vector<std::uint8_t> bytes;
  bool restored = false;  // stored by the device from a record restored out of history
  std::int64_t time_ms = 0;
};

using events::AlarmEvent;
using events::CommEvent;
using events::ControlEvent;

enum class TimelineKind { record, alarm, link, control };

// "record", "alarm", "link", "control"; nullopt for another name.
std::optional<TimelineKind> timeline_kind_named(const std::string& name);
const char* timeline_kind_name(TimelineKind kind);

// One stored row of any kind. Positions are shared by all kinds, unique, and increase in the
// order rows were committed, so "everything after position P" is a complete, repeatable answer.
struct TimelineEntry {
  std::int64_t position = 0;
  std::variant<StoredRecord, AlarmEvent, CommEvent, ControlEvent> row;

  TimelineKind kind() const { return static_cast<TimelineKind>(row.index()); }
  std::int64_t time_ms() const;
};

// Which rows a listing returns: those with since_ms <= time < until_ms, of the device (records,
// alarm and control events by device name; link events by port), of the kinds given (all when
// empty); of them only the newest `last`. Listings are in time order, ties in position order.
struct HistoryQuery {
  std::optional<std::int64_t> since_ms;
  std::optional<std::int64_t> until_ms;
  std::optional<std::string> device;
  std::vector<TimelineKind> kinds;
  std::optional<std::size_t> last;
};

// Minimum, mean and maximum of one reading over [time_ms, time_ms + step), from `count` rounds.
struct SeriesPoint {
  std::int64_t time_ms;
  double min;
  double mean;
  double max;
  std::uint32_t count;
};

// The readings kept as minute aggregates and answered by series(), as the record's field table
// names them: "ac.channel[0].a" ... "ac.channel[1].f", "rc.group_value", "rc.channel[0].value"
// ..., "dc.out_v", "dc.out_i", "dc.m[0]" ..., and the same for "dc2".
std::vector<std::string> series_fields();

// What a store that keeps going says about itself: once when history stops being stored (with
// the reason), once when it is stored again (with what was kept and what was dropped).
using HistoryStatus = std::function<void(const std::string& text)>;

struct HistoryOptions {
  std::optional<int> keep_days;     // raw records older than this are deleted
  std::optional<int> max_db_mb;     // oldest records deleted while the data is larger
  int keep_events_days = 365;       // alarm, link and control events
  int keep_aggregate_days = 3650;   // minute aggregates
  std::size_t queue_bound = 16384;  // rows held while the database cannot be written
  std::chrono::milliseconds flush_interval{1000};  // rows are committed together at most this often
  unsigned key_frame_interval = 64;                // every Nth record of a device is stored whole
  // Clocks for row times (UTC ms) and for the flush interval; the system's when unset.
  std::function<std::int64_t()> wall_clock;
  std::function<std::chrono::steady_clock::time_point()> steady_clock;
};

class HistoryStore {
 public:
  // Opens or creates the database for writing and upgrades an older schema in place; throws
  // HistoryError naming the path.
  explicit HistoryStore(const std::string& path, HistoryOptions options = {});
  // A store for a run, which must not end because history cannot be written: nothing throws
  // from opening, writing or latest_record. Rows wait in the queue while the database cannot be
  // written and are written once it can; past the queue's bound the oldest are dropped.
  HistoryStore(const std::string& path, HistoryStatus status, HistoryOptions options = {});
  // Opens an existing history database for reading only: never creates, upgrades or writes it.
  // Throws HistoryError for a missing or empty file, a file that is not a history database and
  // a history database of an older schema.
  struct ReadOnly {};
  HistoryStore(const std::string& path, ReadOnly);
  // Writes what is queued.
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Brackets one round: a round's rows are never split between two commits.
  void begin();
  void commit();
  bool in_transaction() const;

  void add_record(const StoredRecord& record);
  void add_alarm_event(const AlarmEvent& event);
  void add_comm_event(const CommEvent& event);
  void add_control_event(const ControlEvent& event);

  // Commits the queue when the flush interval has passed since the last commit (and no round is
  // open); a run calls it from a timer so rows never wait long for the next round.
  void tick();
  // Commits the queue now; in a keep-going store false when it could not (the rows stay queued).
  bool flush();
  // Why history is not being stored, while it is not; nullopt while it is.
  std::optional<std::string> not_stored_reason() const;
  // Rows dropped past the queue's bound since the store was opened, and rows waiting now.
  std::uint64_t dropped_rows() const;
  std::size_t queued_rows() const;

  // The newest record stored for the data id, as the host's cache holds it.
  std::optional<std::vector<std::uint8_t>> latest_record(std::uint32_t data_id);

  std::vector<StoredRecord> records(const HistoryQuery& query);
  std::vector<AlarmEvent> alarm_events(const HistoryQuery& query);
  std::vector<CommEvent> comm_events(const HistoryQuery& query);
  std::vector<ControlEvent> control_events(const HistoryQuery& query);
  // Rows of every kind selected by the query, in time order.
  std::vector<TimelineEntry> timeline(const HistoryQuery& query);
  // Up to `limit` stored rows with a position above `position`, in position order.
  std::vector<TimelineEntry> timeline_after(std::int64_t position, std::size_t limit);

  // Names of the devices with stored records or aggregates, sorted.
  std::vector<std::string> device_names();

  // A named position that survives restarts (e.g. what a broker last acknowledged); 0 when never
  // set. set_cursor is queued and committed with the rows.
  std::int64_t get_cursor(const std::string& name);
  void set_cursor(const std::string& name, std::int64_t position);

  // One point per step from since_ms (inclusive) to until_ms (exclusive) where the device has a
  // value of the field: from raw records, and from minute aggregates where raw records are gone
  // or the step is a minute or longer. Throws HistoryError for a field not in series_fields()
  // or a step below 1 ms.
  std::vector<SeriesPoint> series(const std::string& device, const std::string& field,
                                  std::int64_t since_ms, std::int64_t until_ms,
                                  std::int64_t step_ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelvra::line
