// The history writer: queued rows committed in batches, minute aggregates, retention, health.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/aggregates.h"
#include "history/clock_watch.h"
#include "history/database_lock.h"
#include "history/history_reader.h"
#include "history/history_types.h"
#include "history/retention.h"
#include "history/row_writer.h"
#include "history/sqlite.h"
#include "history/write_failures.h"

namespace kelvra::history {

class HistoryStore {
 public:
  // Opens or creates the database for writing and upgrades an older schema in place; throws
  // HistoryError naming the path.
  explicit HistoryStore(const std::string& path, HistoryOptions options = {});
  // A store for a run, which must not end because history cannot be written: nothing throws
  // from opening, writing, latest_record or open_alarms. Rows wait in the queue while the database
  // cannot be written and are written once it can; past the queue's bound the oldest are dropped.
  HistoryStore(const std::string& path, HistoryStatus status, HistoryOptions options = {});
  // Writes what is queued.
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Brackets one round: a round's rows are never split between two commits.
  void begin();
  void commit();
  bool in_transaction() const { return in_round_; }

  // A row with time_ms 0 takes the store's wall clock.
  void add_record(const StoredRecord& record);
  void add_alarm_event(const AlarmEvent& event);
  void add_comm_event(const CommEvent& event);
  void add_control_event(const ControlEvent& event);

  // Commits the queue when the flush interval has passed since the last commit, or an event waits
  // (and no round is open); a run calls it from a timer so rows never wait long for the next round.
  void tick();
  // Commits the queue now; in a keep-going store false when it could not (the rows stay queued).
  bool flush();
  // Why history is not being stored, while it is not; nullopt while it is.
  std::optional<std::string> not_stored_reason() const { return failures_->not_stored_reason(); }
  // "history in PATH", or "history not stored since LOCAL TIME: REASON" while it is not.
  std::string storing_text() const;
  // Rows dropped past the queue's bound since the store was opened, and rows waiting now.
  std::uint64_t dropped_rows() const { return dropped_total_; }
  std::size_t queued_rows() const { return queue_.size(); }

  // What HistoryReader answers, over every row added so far (the queue is committed first).
  std::optional<std::vector<std::uint8_t>> latest_record(std::uint32_t data_id);
  // Every row added so far, as HistoryReader::open_alarms; none when history cannot be read.
  std::vector<AlarmEvent> open_alarms(const std::string& device);
  std::vector<StoredRecord> records(const HistoryQuery& query);
  std::vector<AlarmEvent> alarm_events(const HistoryQuery& query);
  std::vector<CommEvent> comm_events(const HistoryQuery& query);
  std::vector<ControlEvent> control_events(const HistoryQuery& query);
  std::vector<TimelineEntry> timeline(const HistoryQuery& query);
  // Committed rows only: a reader that follows the timeline never forces a commit.
  std::vector<TimelineEntry> timeline_after(std::int64_t position, std::size_t limit);
  std::vector<std::string> device_names();
  std::vector<SeriesPoint> series(const std::string& device, const std::string& field,
                                  std::int64_t since_ms, std::int64_t until_ms,
                                  std::int64_t step_ms);
  SeriesPart series_part(const std::string& device, const std::string& field, std::int64_t since_ms,
                         std::int64_t until_ms, std::int64_t step_ms, std::size_t max_rows);

  // A named position that survives restarts (e.g. what a broker last acknowledged); 0 when never
  // set, HistoryError when it cannot be read. set_cursor is queued and committed with the rows.
  std::int64_t get_cursor(const std::string& name);
  std::optional<std::int64_t> first_record_since(const std::string& device, std::int64_t since_ms);
  void set_cursor(const std::string& name, std::int64_t position);

  // When a control request with this id was carried out (UTC ms), over the queued and stored
  // ids; nullopt for one never carried out, pruned with the events, or while history is unreadable.
  std::optional<std::int64_t> control_id_time(const std::string& request_id);
  // Keeps the id as carried out now; queued and committed with the rows.
  void add_control_id(const std::string& request_id);

 private:
  HistoryStore(std::string path, std::unique_ptr<WriteFailures> failures, HistoryOptions options);
  Database& connection();
  void close();
  HistoryReader reader();
  // What `read` answers through the run's connection, else through a read-only one (a database
  // that cannot be written may still be read); `fallback` when neither can read.
  template <class Result, class Read>
  Result read_quietly(Read read, Result fallback);
  // Both clocks read once; a change of the wall clock's plausibility said.
  ClockWatch::Reading read_clock();
  // A row's time: its own (time_ms, from the wall clock) or now, corrected for a jump of the wall
  // clock and never before the time of the same source's previous row ("record power1").
  std::int64_t stamp(std::int64_t time_ms, const std::string& source);
  void enqueue(QueuedRow row);
  // Queues an alarm, link or control row: committed at the end of its round, not the interval's.
  void enqueue_event(QueuedRow row);
  void maybe_flush();
  void write_queue();
  bool retention_quietly();
  // Closes the connection when the file at the path is no longer the one open (deleted or
  // replaced), saying so once; the next commit opens the file now at the path.
  void follow_the_path();
  // A failure's reason, led by the file that blocks writing when one is not writable.
  std::string blocked_reason(const HistoryError& error) const;
  // Rows could not be stored: said (with the file that blocks them) and the time noted.
  void not_stored(const HistoryError& error);

  std::string path_;
  std::unique_ptr<WriteFailures> failures_;
  HistoryOptions options_;
  std::unique_ptr<Database> db_;
  std::optional<FileIdentity> opened_;  // of the file at the path when db_ was opened
  std::unique_ptr<RowWriter> writer_;   // while the connection is; made at its first commit
  std::deque<QueuedRow> queue_;
  std::uint64_t dropped_total_ = 0;
  std::optional<std::int64_t> not_stored_since_ms_;
  bool in_round_ = false;
  bool event_waits_ = false;  // an event row is queued: commit at the round's end
  std::optional<std::chrono::steady_clock::time_point> last_flush_;
  MinuteAggregator minutes_;
  bool watch_clock_;
  ClockWatch clock_;
  std::map<std::string, std::int64_t> last_time_ms_;  // per kind of row and device (or port)
  RetentionSchedule retention_schedule_;
};

}  // namespace kelvra::history
