// The run's state in the Prometheus text exposition format (version 0.0.4).
#pragma once

#include <string>
#include <vector>

#include "history/history_store.h"
#include "station/station.h"
#include "web/api.h"

namespace kelvra::web {

// Every metric family once with its HELP and TYPE, samples of every station below it: readings
// from the field table in base units, every alarm the device reported as 0 or 1, link, data age,
// counters, history and the server's own clients.
std::string metrics_text(const std::vector<station::Station*>& stations,
                         const history::HistoryStore& history, const ServerCounters& server);

// A label value with backslash, double quote and line feed escaped.
std::string label_value(const std::string& text);

}  // namespace kelvra::web
