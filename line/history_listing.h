// What `kelvra-host history` lists: stored records, alarm events and link events of a database.
#pragma once

#include <string>

#include "line/console.h"
#include "line/history_store.h"

namespace kelvra::line {

// "2026-12-08", "2026-12-08 14:30" or "2026-12-08T14:30:05" as the time prefix history compares
// ("T" becomes a blank); throws hostkit::InputError naming field otherwise.
std::string history_since(const std::string& field, const std::string& text);

// Prints the selected records, then alarm events, then link events, each oldest first. Throws
// std::runtime_error "--db PATH: no such database" when db cannot be read.
void list_history(const std::string& db, const HistoryQuery& query, Console& console);

}  // namespace kelvra::line
