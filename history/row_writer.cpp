#include "history/row_writer.h"

#include <cmath>

namespace kelvra::history {

RowWriter::RowWriter(Database& db, unsigned key_frame_interval)
    : db_(db),
      key_frame_interval_(key_frame_interval),
      insert_record_(db,
                     "INSERT INTO records(id, time_ms, device, round_us, restored, whole, "
                     "payload) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"),
      insert_alarm_(db,
                    "INSERT INTO alarm_events(id, time_ms, device, event, level, key, alarm_id, "
                    "name, text, seq) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"),
      insert_comm_(db,
                   "INSERT INTO comm_events(id, time_ms, port, event, detail) "
                   "VALUES (?1, ?2, ?3, ?4, ?5)"),
      insert_control_(db,
                      "INSERT INTO control_events(id, time_ms, device, origin, code, argument, "
                      "verdict, detail, readback) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
      insert_aggregate_(db,
                        "INSERT INTO aggregates(device, tier, start_ms, count, payload) VALUES "
                        "(?1, ?2, ?3, ?4, ?5) ON CONFLICT DO NOTHING"),
      upsert_cursor_(db,
                     "INSERT INTO cursors(name, position) VALUES (?1, ?2) "
                     "ON CONFLICT(name) DO UPDATE SET position = excluded.position"),
      insert_control_id_(db,
                         "INSERT OR IGNORE INTO control_ids(request_id, time_ms) VALUES (?1, ?2)"),
      insert_device_(db, "INSERT INTO devices(name, data_id) VALUES (?1, ?2)") {
  Statement devices(db, "SELECT id, name, data_id FROM devices");
  while (devices.step()) {
    device_ids_[{devices.text(1), static_cast<std::uint32_t>(devices.integer(2))}] =
        devices.integer(0);
  }
  // Positions handed out stay handed out: above every row and every acknowledged cursor.
  Statement top(db,
                "SELECT max(coalesce((SELECT max(id) FROM records), 0), "
                "coalesce((SELECT max(id) FROM alarm_events), 0), "
                "coalesce((SELECT max(id) FROM comm_events), 0), "
                "coalesce((SELECT max(id) FROM control_events), 0), "
                "coalesce((SELECT max(position) FROM cursors), 0))");
  next_position_ = top.single_integer().value_or(0) + 1;
}

std::int64_t RowWriter::device_id(const std::string& name, std::uint32_t data_id) {
  const auto found = device_ids_.find({name, data_id});
  if (found != device_ids_.end()) return found->second;
  insert_device_.bind(1, name).bind(2, static_cast<std::int64_t>(data_id)).run();
  const std::int64_t id = db_.last_insert_rowid();
  device_ids_[{name, data_id}] = id;
  return id;
}

void RowWriter::write(const QueuedRow& row) {
  if (const auto* record = std::get_if<StoredRecord>(&row)) {
    write_record(*record);
  } else if (const auto* alarm = std::get_if<AlarmEvent>(&row)) {
    write_alarm(*alarm);
  } else if (const auto* comm = std::get_if<CommEvent>(&row)) {
    write_comm(*comm);
  } else if (const auto* control = std::get_if<ControlEvent>(&row)) {
    write_control(*control);
  } else if (const auto* aggregate = std::get_if<AggregateRow>(&row)) {
    write_aggregate(*aggregate);
  } else if (const auto* cursor = std::get_if<CursorRow>(&row)) {
    upsert_cursor_.bind(1, cursor->name).bind(2, cursor->position).run();
  } else if (const auto* control_id = std::get_if<ControlIdRow>(&row)) {
    insert_control_id_.bind(1, control_id->request_id).bind(2, control_id->time_ms).run();
  }
}

void RowWriter::write_record(const StoredRecord& record) {
  const std::int64_t device = device_id(record.device, record.data_id);
  auto chain = chains_.try_emplace(device, key_frame_interval_).first;
  const EncodedRecord encoded = chain->second.encode(record.bytes);
  insert_record_.bind(1, next_position_++)
      .bind(2, record.time_ms)
      .bind(3, device)
      .bind(4, static_cast<std::int64_t>(std::llround(record.round_seconds * 1e6)))
      .bind(5, static_cast<std::int64_t>(record.restored ? 1 : 0))
      .bind(6, static_cast<std::int64_t>(encoded.whole ? 1 : 0))
      .bind(7, encoded.payload)
      .run();
}

// A bucket already stored (a run restarted within it) is merged with the new one.
void RowWriter::write_aggregate(const AggregateRow& aggregate) {
  const std::int64_t device = device_id(aggregate.device, aggregate.data_id);
  const auto tier = static_cast<std::int64_t>(aggregate.tier);
  insert_aggregate_.bind(1, device)
      .bind(2, tier)
      .bind(3, aggregate.start_ms)
      .bind(4, static_cast<std::int64_t>(aggregate.rounds))
      .bind(5, aggregate.payload)
      .run();
  if (db_.changes() > 0) return;
  Statement stored(db_,
                   "SELECT count, payload FROM aggregates WHERE device = ?1 AND tier = ?2 AND "
                   "start_ms = ?3");
  if (!stored.bind(1, device).bind(2, tier).bind(3, aggregate.start_ms).step()) return;
  const auto stored_rounds = static_cast<std::uint32_t>(stored.integer(0));
  const std::vector<std::uint8_t> stored_payload = stored.blob(1);
  stored.reset();
  AggregateFields fields =
      decode_aggregate(stored_payload.data(), stored_payload.size(), stored_rounds)
          .value_or(AggregateFields{});
  const auto added =
      decode_aggregate(aggregate.payload.data(), aggregate.payload.size(), aggregate.rounds);
  for (const auto& [index, field] : added.value_or(AggregateFields{})) fields[index].merge(field);
  const std::uint32_t rounds = stored_rounds + aggregate.rounds;
  Statement update(db_,
                   "UPDATE aggregates SET count = ?4, payload = ?5 WHERE device = ?1 AND tier = ?2 "
                   "AND start_ms = ?3");
  update.bind(1, device).bind(2, tier).bind(3, aggregate.start_ms);
  update.bind(4, static_cast<std::int64_t>(rounds)).bind(5, encode_aggregate(fields, rounds)).run();
}

void RowWriter::write_alarm(const AlarmEvent& alarm) {
  insert_alarm_.bind(1, next_position_++)
      .bind(2, alarm.time_ms)
      .bind(3, alarm.device)
      .bind(4, std::string(alarm.raised ? "raised" : "cleared"))
      .bind(5, static_cast<std::int64_t>(alarm.level))
      .bind(6, alarm.key)
      .bind(7, alarm.alarm_id)
      .bind(8, alarm.name)
      .bind(9, alarm.text)
      .bind(10, static_cast<std::int64_t>(alarm.seq))
      .run();
}

void RowWriter::write_comm(const CommEvent& comm) {
  insert_comm_.bind(1, next_position_++)
      .bind(2, comm.time_ms)
      .bind(3, comm.port)
      .bind(4, comm.event)
      .bind(5, comm.detail)
      .run();
}

void RowWriter::write_control(const ControlEvent& control) {
  insert_control_.bind(1, next_position_++)
      .bind(2, control.time_ms)
      .bind(3, control.device)
      .bind(4, control.origin)
      .bind(5, static_cast<std::int64_t>(control.code))
      .bind(6, control.argument)
      .bind(7, control.verdict)
      .bind(8, control.detail)
      .bind(9, control.readback)
      .run();
}

}  // namespace kelvra::history
