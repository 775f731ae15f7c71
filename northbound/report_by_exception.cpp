#include "northbound/report_by_exception.h"

#include <cmath>

#include "record/kelvra_419_fields.h"

namespace kelvra::northbound {
namespace {

// Readings are shortest decimals: 53.5 − 53.4 comes out a hair under 0.1 and must still count.
constexpr double kDecimalSlack = 1e-9;

std::optional<double> reading_of(const record::FieldValue& field) {
  if (!field.value.isNumeric()) return std::nullopt;
  const double value = field.value.asDouble();
  return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

bool moved(const std::optional<double>& last, const std::optional<double>& now, double deadband) {
  if (!last || !now) return last.has_value() != now.has_value();
  const double change = std::fabs(*now - *last);
  return change > 0 && change >= deadband * (1 - kDecimalSlack);
}

}  // namespace

ReportByException::ReportByException(std::chrono::seconds full_state, run::Deadbands deadbands)
    : full_state_ms_(std::chrono::duration_cast<std::chrono::milliseconds>(full_state).count()),
      deadbands_(std::move(deadbands)) {}

void ReportByException::restart() {
  last_full_ms_.reset();
}

bool ReportByException::full_due(std::int64_t made_ms) const {
  // A round older than the last whole state (a clock set back) starts the interval again.
  return !last_full_ms_ || made_ms - *last_full_ms_ >= full_state_ms_ || made_ms < *last_full_ms_;
}

RoundReport ReportByException::next(const kelvra_419_Data_t& record, std::int64_t made_ms) {
  RoundReport report;
  report.full = full_due(made_ms);
  if (report.full) last_full_ms_ = made_ms;
  std::map<std::string, std::optional<double>> gone = std::move(last_sent_);
  last_sent_.clear();
  record::for_each_field(record, [&](const record::FieldValue& field) {
    if (!field.series()) return;
    const std::optional<double> now = reading_of(field);
    const auto last = gone.find(field.name);
    const auto own = deadbands_.find(field.name);
    const double deadband =
        own != deadbands_.end() ? own->second : record::default_deadband(*field.spec);
    const bool known = last != gone.end();
    if (report.full || !known || moved(last->second, now, deadband)) {
      report.readings.emplace_back(field.name, now);
      last_sent_[field.name] = now;
    } else {
      last_sent_[field.name] = last->second;
    }
    if (known) gone.erase(last);
  });
  for (const auto& [name, value] : gone) {
    if (value) report.readings.emplace_back(name, std::nullopt);  // its part was removed
  }
  return report;
}

}  // namespace kelvra::northbound
