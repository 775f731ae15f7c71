// One reading of one device per step, out of stored records and the aggregate tiers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/history_types.h"
#include "history/sqlite.h"

namespace kelvra::history {

// See HistoryReader::series_part; errors name `path`.
SeriesPart read_series_part(Database& db, const std::string& path, const std::string& device,
                            const std::string& field, std::int64_t since_ms, std::int64_t until_ms,
                            std::int64_t step_ms, std::size_t max_rows);

// See HistoryReader::series; errors name `path`.
std::vector<SeriesPoint> read_series(Database& db, const std::string& path,
                                     const std::string& device, const std::string& field,
                                     std::int64_t since_ms, std::int64_t until_ms,
                                     std::int64_t step_ms);

}  // namespace kelvra::history
