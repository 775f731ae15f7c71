// Report by exception for a metered backhaul: which readings of a device's round are worth a
// message. A reading goes out when it moved by its deadband from the value last sent, or came or
// went; the whole state goes out on a new session and every full-state interval of record time.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "record/kelvra_419_data.h"
#include "run/mqtt_deadbands.h"

namespace kelvra::northbound {

// A reading to publish: its field name and value in base unit; nullopt for NaN or a part that is
// no longer fitted.
using ReadingUpdate = std::pair<std::string, std::optional<double>>;

struct RoundReport {
  bool full = false;  // the whole state: every reading, and the state message
  std::vector<ReadingUpdate> readings;
};

class ReportByException {
 public:
  // `full_state` > 0; `deadbands` override the field table's.
  ReportByException(std::chrono::seconds full_state, run::Deadbands deadbands);

  // What of the round made at `made_ms` (UTC ms) goes out; the readings are then taken as sent.
  RoundReport next(const kelvra_419_Data_t& record, std::int64_t made_ms);
  // A new session: the broker may have missed anything, so the next round goes whole.
  void restart();

 private:
  bool full_due(std::int64_t made_ms) const;

  std::int64_t full_state_ms_;
  run::Deadbands deadbands_;
  std::map<std::string, std::optional<double>> last_sent_;
  std::optional<std::int64_t> last_full_ms_;
};

}  // namespace kelvra::northbound
