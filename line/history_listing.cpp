#include "line/history_listing.h"

#include <unistd.h>

#include <cctype>
#include <stdexcept>

#include "hostkit/input_error.h"

namespace kelvra::line {

std::string history_since(const std::string& field, const std::string& text) {
  std::string since = text;
  if (since.size() > 10 && since[10] == 'T') since[10] = ' ';
  const std::string shape = "dddd-dd-dd dd:dd:dd";
  bool fits = since.size() == 10 || since.size() == 16 || since.size() == 19;
  for (std::size_t i = 0; fits && i < since.size(); ++i) {
    fits = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(since[i])) != 0
                           : since[i] == shape[i];
  }
  if (!fits) {
    throw kelvra::hostkit::InputError(
        field + " " + text + ": expected YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYY-MM-DD HH:MM:SS");
  }
  return since;
}

void list_history(const std::string& db, const HistoryQuery& query, Console& console) {
  if (access(db.c_str(), R_OK) != 0) throw std::runtime_error("--db " + db + ": no such database");
  HistoryStore history(db);
  for (const StoredRecord& stored : history.records(query)) console.stored_record(stored);
  for (const AlarmEvent& event : history.alarm_events(query)) console.alarm(event);
  for (const CommEvent& event : history.comm_events(query)) console.link(event);
}

}  // namespace kelvra::line
