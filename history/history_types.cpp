#include "history/history_types.h"

namespace kelvra::history {

std::optional<TimelineKind> timeline_kind_named(const std::string& name) {
  for (TimelineKind kind :
       {TimelineKind::record, TimelineKind::alarm, TimelineKind::link, TimelineKind::control}) {
    if (name == timeline_kind_name(kind)) return kind;
  }
  return std::nullopt;
}

const char* timeline_kind_name(TimelineKind kind) {
  switch (kind) {
    case TimelineKind::record:
      return "record";
    case TimelineKind::alarm:
      return "alarm";
    case TimelineKind::link:
      return "link";
    case TimelineKind::control:
      return "control";
  }
  return "";
}

std::int64_t TimelineEntry::time_ms() const {
  return std::visit([](const auto& each) { return each.time_ms; }, row);
}

}  // namespace kelvra::history
