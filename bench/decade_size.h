// The database of one device after a simulated decade at 3-s rounds with every reading moving,
// at the run's retention defaults (kelvra_history_bench --decade DIR).
#pragma once

#include <string>

namespace kelvra::bench {

// Builds DIR/decade.db, prints its figures and, as the last line, "decade_bytes_per_device N";
// returns the process status.
int decade_size(const std::string& dir);

}  // namespace kelvra::bench
