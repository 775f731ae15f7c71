#include "history/history_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "history/file_access.h"
#include "history/retention.h"
#include "history/schema.h"
#include "hostkit/local_time.h"

namespace kelvra::history {

HistoryStore::HistoryStore(std::string path, std::unique_ptr<WriteFailures> failures,
                           HistoryOptions options)
    : path_(std::move(path)),
      failures_(std::move(failures)),
      options_(std::move(options)),
      watch_clock_(!options_.wall_clock || options_.steady_clock) {
  if (!options_.wall_clock) options_.wall_clock = hostkit::utc_now_ms;
  if (!options_.steady_clock) {
    options_.steady_clock = [] { return std::chrono::steady_clock::now(); };
  }
  if (options_.key_frame_interval == 0) options_.key_frame_interval = 1;
}

HistoryStore::HistoryStore(const std::string& path, HistoryOptions options)
    : HistoryStore(path, std::make_unique<StrictWriteFailures>(), std::move(options)) {
  connection();
}

HistoryStore::HistoryStore(const std::string& path, HistoryStatus status, HistoryOptions options)
    : HistoryStore(path,
                   std::make_unique<KeepGoingWriteFailures>(std::move(status), options.queue_bound),
                   std::move(options)) {
  try {
    connection();
  } catch (const HistoryError& error) {
    not_stored(error);
  }
}

void HistoryStore::not_stored(const HistoryError& error) {
  failures_->not_stored(path_, blocked_reason(error), options_.steady_clock());
  if (!not_stored_since_ms_) not_stored_since_ms_ = options_.wall_clock();
}

std::string HistoryStore::storing_text() const {
  const auto reason = not_stored_reason();
  if (!reason) return "history in " + path_;
  return "history not stored since " + hostkit::local_time_text(not_stored_since_ms_.value_or(0)) +
         ": " + *reason;
}

std::string HistoryStore::blocked_reason(const HistoryError& error) const {
  const auto blocking = unwritable_file(path_);
  return blocking ? blocking->c_str() + std::string(" is not writable: ") + error.reason()
                  : error.reason();
}

HistoryStore::~HistoryStore() {
  in_round_ = false;
  for (AggregateRow& row : minutes_.close_all()) enqueue(std::move(row));
  try {
    flush();
  } catch (const HistoryError&) {
    // Nowhere left to say it: the owner heard of the failure from the writes before.
  }
}

Database& HistoryStore::connection() {
  if (db_) return *db_;
  if (const auto repaired = match_database_mode(path_)) failures_->notice(*repaired);
  try {
    db_ = std::make_unique<Database>(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  } catch (const HistoryError& error) {
    throw HistoryError(path_, "cannot open the history database: " + error.reason());
  }
  opened_ = file_identity(path_);
  db_->busy_timeout(failures_->busy_timeout_ms());
  try {
    prepare_for_writing(*db_, options_.key_frame_interval);
  } catch (const HistoryError& error) {
    close();
    throw HistoryError(path_, error.reason());
  }
  return *db_;
}

// Drops the connection; the device ids and record chains are read again with the next one.
void HistoryStore::close() {
  writer_.reset();
  db_.reset();
  opened_.reset();
}

void HistoryStore::follow_the_path() {
  if (!db_ || !opened_) return;
  const std::optional<FileIdentity> now = file_identity(path_);
  if (now == opened_) return;
  close();
  // The log and index at the path are the old file's: never to be replayed into the new one.
  for (const char* sidecar : {"-wal", "-shm"}) std::remove((path_ + sidecar).c_str());
  failures_->notice(now ? "history database replaced while running (another file is at " + path_ +
                              " now): the rows from here on go into it"
                        : "history database deleted while running: the rows from here on go "
                          "into a new file at " +
                              path_);
}

HistoryReader HistoryStore::reader() {
  if (!queue_.empty()) flush();
  return HistoryReader(connection(), path_);
}

ClockWatch::Reading HistoryStore::read_clock() {
  const std::int64_t wall_ms = options_.wall_clock();
  if (!watch_clock_) return {wall_ms, true, ""};
  const auto steady = options_.steady_clock().time_since_epoch();
  ClockWatch::Reading reading =
      clock_.step(wall_ms, std::chrono::duration_cast<std::chrono::milliseconds>(steady).count());
  if (!reading.say.empty()) failures_->notice(reading.say);
  return reading;
}

std::int64_t HistoryStore::stamp(std::int64_t time_ms, const std::string& source) {
  const ClockWatch::Reading now = read_clock();
  const std::int64_t corrected = time_ms != 0 ? clock_.correct(time_ms) : now.now_ms;
  std::int64_t& last = last_time_ms_[source];
  last = std::max(last, corrected);
  return last;
}

void HistoryStore::enqueue(QueuedRow row) {
  queue_.push_back(std::move(row));
  if (queue_.size() > options_.queue_bound) {
    queue_.pop_front();
    ++dropped_total_;
    failures_->dropped_oldest();
  }
}

void HistoryStore::enqueue_event(QueuedRow row) {
  enqueue(std::move(row));
  event_waits_ = true;
  maybe_flush();
}

void HistoryStore::begin() {
  in_round_ = true;
}

void HistoryStore::commit() {
  if (!in_round_) return;
  in_round_ = false;
  maybe_flush();
}

void HistoryStore::add_record(const StoredRecord& record) {
  StoredRecord stamped = record;
  stamped.time_ms = stamp(record.time_ms, "record " + record.device);
  if (auto closed = minutes_.add(stamped)) enqueue(std::move(*closed));
  enqueue(std::move(stamped));
  maybe_flush();
}

void HistoryStore::add_alarm_event(const AlarmEvent& event) {
  AlarmEvent stamped = event;
  stamped.time_ms = stamp(event.time_ms, "alarm " + event.device);
  enqueue_event(std::move(stamped));
}

void HistoryStore::add_comm_event(const CommEvent& event) {
  CommEvent stamped = event;
  stamped.time_ms = stamp(event.time_ms, "link " + event.port);
  enqueue_event(std::move(stamped));
}

void HistoryStore::add_control_event(const ControlEvent& event) {
  ControlEvent stamped = event;
  stamped.time_ms = stamp(event.time_ms, "control " + event.device);
  enqueue_event(std::move(stamped));
}

void HistoryStore::tick() {
  maybe_flush();
}

void HistoryStore::maybe_flush() {
  if (in_round_) return;
  // While rows cannot be stored, events wait for the interval too: no retry on every row.
  const bool event_due = event_waits_ && !not_stored_reason();
  if (event_due || !last_flush_ ||
      options_.steady_clock() - *last_flush_ >= options_.flush_interval) {
    flush();
  }
}

namespace {

// About the bytes a row takes in the database: its payload or texts and a row's overhead.
std::int64_t estimated_bytes(const QueuedRow& row) {
  constexpr std::int64_t kRowOverhead = 64;
  const auto text_bytes = [](std::initializer_list<const std::string*> texts) {
    std::int64_t total = 0;
    for (const std::string* text : texts) total += static_cast<std::int64_t>(text->size());
    return total;
  };
  if (const auto* record = std::get_if<StoredRecord>(&row))
    return kRowOverhead + static_cast<std::int64_t>(record->bytes.size()) + 8;
  if (const auto* aggregate = std::get_if<AggregateRow>(&row))
    return kRowOverhead + static_cast<std::int64_t>(aggregate->payload.size());
  if (const auto* alarm = std::get_if<AlarmEvent>(&row))
    return kRowOverhead +
           text_bytes({&alarm->device, &alarm->key, &alarm->alarm_id, &alarm->name, &alarm->text});
  if (const auto* comm = std::get_if<CommEvent>(&row))
    return kRowOverhead + text_bytes({&comm->port, &comm->event, &comm->detail});
  if (const auto* control = std::get_if<ControlEvent>(&row))
    return kRowOverhead + text_bytes({&control->device, &control->origin, &control->argument,
                                      &control->verdict, &control->detail, &control->readback});
  if (const auto* cursor = std::get_if<CursorRow>(&row))
    return kRowOverhead + static_cast<std::int64_t>(cursor->name.size());
  return kRowOverhead + static_cast<std::int64_t>(std::get<ControlIdRow>(row).request_id.size());
}

}  // namespace

// The whole queue in one transaction; under max_db_mb, room is made for it first.
void HistoryStore::write_queue() {
  Database& db = connection();
  if (!writer_) writer_ = std::make_unique<RowWriter>(db, options_.key_frame_interval);
  Transaction transaction(db);
  if (options_.max_db_mb) {
    std::int64_t incoming = 0;
    for (const QueuedRow& row : queue_) incoming += estimated_bytes(row);
    incoming *= 2;  // pages are never full
    make_room(db, *options_.max_db_mb, incoming, options_.wall_clock(),
              [this](std::int64_t device) { writer_->end_chain(device); });
  }
  for (const QueuedRow& row : queue_) writer_->write(row);
  transaction.commit();
}

bool HistoryStore::flush() {
  last_flush_ = options_.steady_clock();
  follow_the_path();
  if (queue_.empty() && !not_stored_reason()) return !writer_ || retention_quietly();
  try {
    write_queue();
  } catch (const HistoryError& error) {
    close();
    not_stored(error);
    return false;
  }
  const std::size_t written = queue_.size();
  queue_.clear();
  event_waits_ = false;
  failures_->stored(written, options_.steady_clock());
  not_stored_since_ms_.reset();
  return retention_quietly();
}

bool HistoryStore::retention_quietly() {
  if (!db_) return true;
  const ClockWatch::Reading now = read_clock();
  if (!now.plausible) return true;  // ages are not measured on a clock that jumped
  if (!retention_schedule_.due(now.now_ms)) return true;
  try {
    const bool budget_used_up =
        retention_step(*db_, options_, now.now_ms, [this](std::int64_t device) {
          if (writer_) writer_->end_chain(device);
        });
    retention_schedule_.stepped(now.now_ms, budget_used_up);
    return true;
  } catch (const HistoryError& error) {
    failures_->side_failure(HistoryError(path_, error.reason()));
    return false;
  }
}

template <class Result, class Read>
Result HistoryStore::read_quietly(Read read, Result fallback) {
  try {
    HistoryReader through_run = reader();
    return read(through_run);
  } catch (const HistoryError& error) {
    failures_->side_failure(error);
  }
  try {
    HistoryReader read_only(path_);
    return read(read_only);
  } catch (const HistoryError&) {
    return fallback;
  }
}

std::optional<std::vector<std::uint8_t>> HistoryStore::latest_record(std::uint32_t data_id) {
  return read_quietly([data_id](HistoryReader& history) { return history.latest_record(data_id); },
                      std::optional<std::vector<std::uint8_t>>());
}

std::vector<AlarmEvent> HistoryStore::open_alarms(const std::string& device) {
  return read_quietly([&device](HistoryReader& history) { return history.open_alarms(device); },
                      std::vector<AlarmEvent>());
}

std::vector<StoredRecord> HistoryStore::records(const HistoryQuery& query) {
  return reader().records(query);
}

std::vector<AlarmEvent> HistoryStore::alarm_events(const HistoryQuery& query) {
  return reader().alarm_events(query);
}

std::vector<CommEvent> HistoryStore::comm_events(const HistoryQuery& query) {
  return reader().comm_events(query);
}

std::vector<ControlEvent> HistoryStore::control_events(const HistoryQuery& query) {
  return reader().control_events(query);
}

std::vector<TimelineEntry> HistoryStore::timeline(const HistoryQuery& query) {
  return reader().timeline(query);
}

std::vector<TimelineEntry> HistoryStore::timeline_after(std::int64_t position, std::size_t limit) {
  return HistoryReader(connection(), path_).timeline_after(position, limit);
}

std::vector<std::string> HistoryStore::device_names() {
  return reader().device_names();
}

std::vector<SeriesPoint> HistoryStore::series(const std::string& device, const std::string& field,
                                              std::int64_t since_ms, std::int64_t until_ms,
                                              std::int64_t step_ms) {
  return reader().series(device, field, since_ms, until_ms, step_ms);
}

SeriesPart HistoryStore::series_part(const std::string& device, const std::string& field,
                                     std::int64_t since_ms, std::int64_t until_ms,
                                     std::int64_t step_ms, std::size_t max_rows) {
  return reader().series_part(device, field, since_ms, until_ms, step_ms, max_rows);
}

std::int64_t HistoryStore::get_cursor(const std::string& name) {
  for (auto row = queue_.rbegin(); row != queue_.rend(); ++row) {
    const auto* cursor = std::get_if<CursorRow>(&*row);
    if (cursor && cursor->name == name) return cursor->position;
  }
  try {
    return HistoryReader(connection(), path_).get_cursor(name);
  } catch (const HistoryError& error) {
    failures_->side_failure(error);
    throw;  // never taken for "none stored"
  }
}

std::optional<std::int64_t> HistoryStore::control_id_time(const std::string& request_id) {
  for (const QueuedRow& row : queue_) {
    const auto* queued = std::get_if<ControlIdRow>(&row);
    if (queued && queued->request_id == request_id) return queued->time_ms;
  }
  try {
    Statement find(connection(), "SELECT time_ms FROM control_ids WHERE request_id = ?1");
    return find.bind(1, request_id).single_integer();
  } catch (const HistoryError& error) {
    failures_->side_failure(error);
    return std::nullopt;
  }
}

void HistoryStore::add_control_id(const std::string& request_id) {
  enqueue_event(ControlIdRow{request_id, stamp(0, "control id")});
}

std::optional<std::int64_t> HistoryStore::first_record_since(const std::string& device,
                                                             std::int64_t since_ms) {
  return reader().first_record_since(device, since_ms);
}

void HistoryStore::set_cursor(const std::string& name, std::int64_t position) {
  enqueue(CursorRow{name, position});
  maybe_flush();
}

}  // namespace kelvra::history
