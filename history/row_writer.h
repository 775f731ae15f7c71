// Rows into the schema's tables: one position sequence, device ids, per-device record chains.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>

#include "history/aggregates.h"
#include "history/history_types.h"
#include "history/record_codec.h"
#include "history/sqlite.h"

namespace kelvra::history {

// A named position that survives restarts.
struct CursorRow {
  std::string name;
  std::int64_t position;
};

// A control request id carried out at `time_ms` (UTC): a repeat of it is not carried out again.
struct ControlIdRow {
  std::string request_id;
  std::int64_t time_ms;
};

using QueuedRow = std::variant<StoredRecord, AlarmEvent, CommEvent, ControlEvent, AggregateRow,
                               CursorRow, ControlIdRow>;

class RowWriter {
 public:
  // Prepares the inserts and reads the devices and the next position from `db`.
  RowWriter(Database& db, unsigned key_frame_interval);

  void write(const QueuedRow& row);
  // The device's next record is stored whole (its stored chain was deleted).
  void end_chain(std::int64_t device) { chains_.erase(device); }

 private:
  std::int64_t device_id(const std::string& name, std::uint32_t data_id);
  void write_record(const StoredRecord& record);
  void write_aggregate(const AggregateRow& aggregate);
  void write_alarm(const AlarmEvent& alarm);
  void write_comm(const CommEvent& comm);
  void write_control(const ControlEvent& control);

  Database& db_;
  unsigned key_frame_interval_;
  Statement insert_record_, insert_alarm_, insert_comm_, insert_control_, insert_aggregate_,
      upsert_cursor_, insert_control_id_, insert_device_;
  std::int64_t next_position_ = 1;
  std::map<std::pair<std::string, std::uint32_t>, std::int64_t> device_ids_;
  std::map<std::int64_t, RecordChainEncoder> chains_;
};

}  // namespace kelvra::history
