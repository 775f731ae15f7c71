// What `kelvra-host history` prints: the stored timeline, or one reading's series, as text, JSON
// lines or CSV.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "history/history_reader.h"

namespace kelvra::run {

enum class ListingFormat { text, json, csv };

// One CSV line of the fields, each quoted when it holds a comma, quote or line break.
std::string csv_line(std::initializer_list<std::string> fields);

// Records, alarm, link and control events selected by the query, in time order; returns how many.
std::size_t list_timeline(history::HistoryReader& history, const history::HistoryQuery& query,
                          ListingFormat format, std::FILE* out);

// One point per step of the field over [since_ms, until_ms). Without a device, the database's
// only device; throws HistoryError naming the devices when there are several.
void list_series(history::HistoryReader& history, const std::optional<std::string>& device,
                 const std::string& field, std::int64_t since_ms, std::int64_t until_ms,
                 std::int64_t step_ms, ListingFormat format, std::FILE* out);

// Stored rounds as CSV, one line per round: time, device, then one column per field of the field
// table that any round holds, headed "name (unit)", in order of first appearance; a field a round
// lacks is empty.
std::string readings_csv(const std::vector<history::StoredRecord>& rows);

// "500ms", "30s", "5m", "1h", "1d" or a plain number of milliseconds; nullopt for anything else
// and for zero.
std::optional<std::int64_t> parse_step(const std::string& text);

}  // namespace kelvra::run
