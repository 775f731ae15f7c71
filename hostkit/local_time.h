// Wall-clock times as history keeps them (UTC milliseconds since the epoch) and as people read
// and type them (local time).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelvra::hostkit {

// Now, in UTC milliseconds since the epoch.
std::int64_t utc_now_ms();

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string local_time_text(std::int64_t utc_ms);

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM", "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DD HH:MM:SS.mmm" ('T' may
// stand for the space), local time, to UTC milliseconds; nullopt for any other shape and for a
// date or time that does not exist (2026-13-45, 2026-02-30, 24:00).
std::optional<std::int64_t> parse_local_time(const std::string& text);

}  // namespace kelvra::hostkit
