// Read-only history: records, events, timeline, cursors and series; never creates or writes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/history_types.h"
#include "history/sqlite.h"

namespace kelvra::history {

// The records and aggregates a series request on the run's loop reads at most (past it the series
// answers in parts): about 10 ms of reading.
constexpr std::size_t kSeriesRowsPerRequest = 10000;

class HistoryReader {
 public:
  // Opens an existing history database for reading only: never creates, upgrades or writes it.
  // Throws HistoryError naming the path for a missing or empty file, a file that is not a history
  // database and a history database of an older schema.
  explicit HistoryReader(const std::string& path);
  // Reads through `db`, a connection its owner keeps open meanwhile; errors name `path`.
  HistoryReader(Database& db, std::string path);
  ~HistoryReader();
  HistoryReader(const HistoryReader&) = delete;
  HistoryReader& operator=(const HistoryReader&) = delete;

  // The newest record stored for the data id, as the host's cache holds it.
  std::optional<std::vector<std::uint8_t>> latest_record(std::uint32_t data_id);
  // The device's alarms whose newest event is a raise (an alarm is its key and text), oldest
  // first: what was active when its run stopped.
  std::vector<AlarmEvent> open_alarms(const std::string& device);

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
  // A named position (set by a writer); 0 when never set.
  std::int64_t get_cursor(const std::string& name);
  // Position of the device's first record stored at or after `since_ms` (UTC); none when none.
  std::optional<std::int64_t> first_record_since(const std::string& device, std::int64_t since_ms);

  // Minimum, mean and maximum of the field over the device's live records with since_ms <= time <
  // until_ms, one point per step bucket that has any: buckets start at multiples of the step in
  // UTC, each record counts once. With a step that is a multiple of an aggregate tier's (tiers.h),
  // the finest such tier whose rows reach back to since_ms (else the one reaching back furthest)
  // answers the buckets inside the span that it covers (also where the raw records are gone); raw
  // records the rest. Throws HistoryError for a field not in series_fields() or a step below 1 ms.
  std::vector<SeriesPoint> series(const std::string& device, const std::string& field,
                                  std::int64_t since_ms, std::int64_t until_ms,
                                  std::int64_t step_ms);
  // The same series from since_ms on, reading at most about `max_rows` records and aggregates
  // (whole steps always: the first step may take more); the rest from reached_ms on.
  SeriesPart series_part(const std::string& device, const std::string& field, std::int64_t since_ms,
                         std::int64_t until_ms, std::int64_t step_ms, std::size_t max_rows);

 private:
  std::unique_ptr<Database> owned_;
  Database* db_;
  std::string path_;
};

}  // namespace kelvra::history
