#include "history/stored_records.h"

#include <optional>

#include "history/record_codec.h"

namespace kelvra::history {

void for_each_stored_record(Database& db, const std::string& path, std::int64_t device,
                            std::int64_t first_id, std::int64_t last_id, const RecordVisit& visit) {
  Statement start(db, "SELECT max(id) FROM records WHERE device = ?1 AND id <= ?2 AND whole = 1");
  const std::int64_t from =
      start.bind(1, device).bind(2, first_id).single_integer().value_or(first_id);
  Statement chain(db,
                  "SELECT id, time_ms, whole, payload, restored FROM records WHERE device = ?1 AND "
                  "id BETWEEN ?2 AND ?3 ORDER BY id");
  chain.bind(1, device).bind(2, from).bind(3, last_id);
  std::optional<std::vector<std::uint8_t>> previous;
  while (chain.step()) {
    const std::int64_t id = chain.integer(0);
    const bool whole = chain.integer(2) != 0;
    if (!whole && !previous) {
      throw HistoryError(path, "record " + std::to_string(id) + " has no whole record before it");
    }
    previous = decode_runs(chain.blob(3), whole ? nullptr : &*previous);
    if (!previous) throw HistoryError(path, "record " + std::to_string(id) + " is damaged");
    if (id >= first_id) visit(id, chain.integer(1), chain.integer(4) != 0, *previous);
  }
}

void for_each_listed_record(Database& db, const std::string& path, std::int64_t device,
                            const std::set<std::int64_t>& ids, const RecordVisit& visit) {
  // Ids in runs that one chain walk covers: the next id joins the run when it lies close behind
  // the run's last id or no key frame lies between them, so no record is decoded farther than
  // a key frame interval from a listed one, however far apart the ids lie.
  constexpr std::int64_t kCloseBehind = 64;
  Statement key_frame(db,
                      "SELECT max(id) FROM records WHERE device = ?1 AND id < ?2 AND whole = 1");
  const auto listed = [&](std::int64_t id, std::int64_t time_ms, bool restored,
                          const std::vector<std::uint8_t>& bytes) {
    if (ids.count(id)) visit(id, time_ms, restored, bytes);
  };
  auto id = ids.begin();
  while (id != ids.end()) {
    const std::int64_t first = *id;
    std::int64_t last = first;
    for (++id; id != ids.end(); ++id) {
      if (*id - last > kCloseBehind) {
        const auto frame = key_frame.bind(1, device).bind(2, *id).single_integer();
        if (frame && *frame > last) break;
      }
      last = *id;
    }
    for_each_stored_record(db, path, device, first, last, listed);
  }
}

std::map<std::int64_t, std::vector<std::uint8_t>> stored_record_bytes(
    Database& db, const std::string& path, std::int64_t device, const std::set<std::int64_t>& ids) {
  std::map<std::int64_t, std::vector<std::uint8_t>> decoded;
  for_each_listed_record(db, path, device, ids,
                         [&](std::int64_t id, std::int64_t, bool,
                             const std::vector<std::uint8_t>& bytes) { decoded[id] = bytes; });
  return decoded;
}

}  // namespace kelvra::history
