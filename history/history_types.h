// What history holds and answers: stored rows, the timeline, queries, series points, options.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "events/event.h"

namespace kelvra::history {

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
// takes the store's clock. `time` is neither read nor filled by history.
struct StoredRecord {
  std::int64_t id = 0;  // the row's timeline position
  std::string time;
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

// A listing's place in (time, position) order: where the next, older part of it continues.
struct ListingPlace {
  std::int64_t time_ms = 0;
  std::int64_t position = 0;
};

// Which rows a listing returns: those with since_ms <= time < until_ms, of the device (records,
// alarm and control events by device name; link events by port), of the kinds given (all when
// empty), before `before` in (time, position) order; of them only the newest `last`. Listings are
// in time order, ties in position order.
struct HistoryQuery {
  std::optional<std::int64_t> since_ms;
  std::optional<std::int64_t> until_ms;
  std::optional<std::string> device;
  std::vector<TimelineKind> kinds;
  std::optional<std::size_t> last;
  std::optional<ListingPlace> before;
};

// Minimum, mean and maximum of one reading over [time_ms, time_ms + step), from `count` rounds.
struct SeriesPoint {
  std::int64_t time_ms;
  double min;
  double mean;
  double max;
  std::uint32_t count;

  bool operator==(const SeriesPoint& other) const {
    return time_ms == other.time_ms && min == other.min && mean == other.mean && max == other.max &&
           count == other.count;
  }
};

// The points of a series over [since, reached_ms), read within a row budget; reached_ms is the
// series' end when the answer is complete, otherwise the start of the step to ask from next.
struct SeriesPart {
  std::vector<SeriesPoint> points;
  std::int64_t reached_ms = 0;
};

// What a store that keeps going says about itself: once when history stops being stored (with
// the reason), once when it is stored again (with what was kept and what was dropped).
using HistoryStatus = std::function<void(const std::string& text)>;

struct HistoryOptions {
  std::optional<int> keep_days;     // raw records older than this are deleted
  std::optional<int> max_db_mb;     // oldest records deleted while the data is larger
  int keep_events_days = 365;       // alarm, link and control events
  int keep_aggregate_days = 3650;   // minute aggregates
  std::size_t queue_bound = 16384;  // rows held while the database cannot be written
  // Records are committed together at most this often; alarm, link and control events at the end
  // of their round. A crash loses at most this long of records, never an event of an ended round.
  std::chrono::milliseconds flush_interval{60000};
  unsigned key_frame_interval = 64;  // every Nth record of a device is stored whole
  // Clocks for row times (UTC ms) and for the flush interval; the system's when unset. The wall
  // clock's jumps are watched against the steady clock (see ClockWatch), except when a wall
  // clock is given without a steady clock: a calendar a caller drives is taken as it is.
  std::function<std::int64_t()> wall_clock;
  std::function<std::chrono::steady_clock::time_point()> steady_clock;
};

}  // namespace kelvra::history
