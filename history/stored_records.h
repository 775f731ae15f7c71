// A device's stored record chain read back: from a key frame, each delta applied in turn.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "history/sqlite.h"

namespace kelvra::history {

// visit(id, time_ms, restored, bytes) for each record of the device with first_id <= id <=
// last_id, in id order. Throws HistoryError(path, ...) for a damaged chain.
using RecordVisit = std::function<void(std::int64_t id, std::int64_t time_ms, bool restored,
                                       const std::vector<std::uint8_t>& bytes)>;
void for_each_stored_record(Database& db, const std::string& path, std::int64_t device,
                            std::int64_t first_id, std::int64_t last_id, const RecordVisit& visit);

// visit(...) for each listed record of the device, in id order; a record is decoded only from
// the key frame before a listed one.
void for_each_listed_record(Database& db, const std::string& path, std::int64_t device,
                            const std::set<std::int64_t>& ids, const RecordVisit& visit);

// The bytes of the listed records of one device, by id.
std::map<std::int64_t, std::vector<std::uint8_t>> stored_record_bytes(
    Database& db, const std::string& path, std::int64_t device, const std::set<std::int64_t>& ids);

}  // namespace kelvra::history
