// Generic threshold rules of pmbuspower_419; included by pmbuspower_419.h only.

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include <boost/lexical_cast.hpp>

#include "device/power_readings.h"

namespace pmbuspower_rules {

using power_readings::kStoredAcInputs;

// Fixed voltage limits, V, single precision like the record values they are compared with.
constexpr float kInputUpVoltage = 120.0f;
constexpr float kOverVoltage = 280.0f;
// Readings at or below it (not connected, never filled, reported invalid) are kept out of the
// low-voltage and low-frequency rules; compared in double precision.
constexpr double kDisconnectedFloor = 0.01;

// The record values and the presence of phases A, B, C that the rules read.
struct RuleInputs {
  power_readings::PowerReadings values;
  bool fitted[3];
};

// A rule's threshold value, looked up (and so added to the host's map when missing) only when the
// condition reaches it.
class LazyThreshold {
 public:
  LazyThreshold(std::map<std::string, float>& values, const std::string& key)
      : values_(values), key_(key) {}
  float operator()() const { return values_[key_]; }

 private:
  std::map<std::string, float>& values_;
  const std::string& key_;
};

inline bool above_floor(float value) {
  return static_cast<double>(value) > kDisconnectedFloor;
}

// An input is up when every fitted phase is above the input-up voltage.
inline bool input_up(const RuleInputs& in, std::size_t input) {
  for (std::size_t p = 0; p < 3; ++p) {
    if (in.fitted[p] && !(in.values.phase[input][p] > kInputUpVoltage)) return false;
  }
  return true;
}

inline bool any_fitted_phase_over(const RuleInputs& in, const LazyThreshold&) {
  for (const auto& input : in.values.phase) {
    for (std::size_t p = 0; p < 3; ++p) {
      if (in.fitted[p] && input[p] > kOverVoltage) return true;
    }
  }
  return false;
}

inline bool any_fitted_phase_low(const RuleInputs& in, const LazyThreshold&) {
  for (const auto& input : in.values.phase) {
    for (std::size_t p = 0; p < 3; ++p) {
      if (in.fitted[p] && above_floor(input[p]) && input[p] < power_readings::kPowerFailVoltage) {
        return true;
      }
    }
  }
  return false;
}

inline bool mains_lost(const RuleInputs& in, const LazyThreshold&) {
  return power_readings::mains_lost(in.values);
}

inline bool any_frequency_over(const RuleInputs& in, const LazyThreshold& threshold) {
  const float* f = in.values.frequency;
  return f[0] > threshold() || f[1] > threshold();
}

inline bool any_frequency_under(const RuleInputs& in, const LazyThreshold& threshold) {
  const float* f = in.values.frequency;
  return (above_floor(f[0]) && f[0] < threshold()) || (above_floor(f[1]) && f[1] < threshold());
}

inline bool dc_voltage_under(const RuleInputs& in, const LazyThreshold& threshold) {
  return in.values.dc_voltage < threshold();
}

inline bool dc_voltage_over(const RuleInputs& in, const LazyThreshold& threshold) {
  return in.values.dc_voltage > threshold();
}

// Which measured values a rule reports as its detail text; also tells its group (AC or DC).
enum DetailText : std::size_t { kVoltagesText, kFrequenciesText, kDcVoltageText, kDetailTexts };

struct ThresholdRule {
  const char* key;
  const char* name;
  DetailText detail;
  bool (*holds)(const RuleInputs&, const LazyThreshold&);
};

// In report order: the AC group, then the DC group.
inline constexpr ThresholdRule kThresholdRules[] = {
    {"220600120010", "001#48V直流系统交流输入电压过高告警", kVoltagesText, any_fitted_phase_over},
    {"220600130010", "001#48V直流系统交流输入电压过低告警", kVoltagesText, any_fitted_phase_low},
    {"220600140010", "001#48V直流系统交流输入停电告警", kVoltagesText, mains_lost},
    {"220600160010", "001#48V直流系统交流输入频率过高告警", kFrequenciesText, any_frequency_over},
    {"220600170010", "001#48V直流系统交流输入频率过低告警", kFrequenciesText, any_frequency_under},
    {"210600320010", "48V直流系统直流总电压过低告警", kDcVoltageText, dc_voltage_under},
    {"210600330010", "48V直流系统直流总电压超低告警", kDcVoltageText, dc_voltage_under},
    {"210600340010", "直流总电压过高告警", kDcVoltageText, dc_voltage_over},
};

// Phase voltages in the stream's default float format: "ua1:229.5 ub1:230 uc1:228.7 ua2:0 ...".
inline std::string voltages_text(const power_readings::PowerReadings& values) {
  const auto& u = values.phase;
  std::ostringstream os;
  os << "ua1:" << u[0][0] << " ub1:" << u[0][1] << " uc1:" << u[0][2] << " ua2:" << u[1][0]
     << " ub2:" << u[1][1] << " uc2:" << u[1][2];
  return os.str();
}

// Frequencies in the stream's default float format: "f1:50 f2:0".
inline std::string frequencies_text(const power_readings::PowerReadings& values) {
  std::ostringstream os;
  os << "f1:" << values.frequency[0] << " f2:" << values.frequency[1];
  return os.str();
}

// The key and name of each threshold rule as the rule engine receives them, built once.
struct ThresholdRuleTexts {
  std::string key, name;
};

inline const std::array<ThresholdRuleTexts, std::size(kThresholdRules)>& threshold_rule_texts() {
  static const auto texts = [] {
    std::array<ThresholdRuleTexts, std::size(kThresholdRules)> built;
    for (std::size_t i = 0; i < built.size(); ++i) {
      built[i] = {kThresholdRules[i].key, kThresholdRules[i].name};
    }
    return built;
  }();
  return texts;
}

constexpr const char* kSupplyLossKey = "PowerOff";
constexpr const char* kSupplyLossId = "419415001";
constexpr const char* kSupplyLossName = "输入电源中断告警";
constexpr int kSupplyLossLevel = 1;
constexpr unsigned short kSupplyLossSeq = 100;
constexpr unsigned short kThresholdRuleSeq = 1;

// The supply-loss rule's key, identifier and name (its text too), built once.
struct SupplyLossTexts {
  std::string key = kSupplyLossKey;
  std::string id = kSupplyLossId;
  std::string name = kSupplyLossName;
};

inline const SupplyLossTexts& supply_loss_texts() {
  static const SupplyLossTexts texts;
  return texts;
}

}  // namespace pmbuspower_rules

template <class Data, int SpId>
void pmbuspower_419<Data, SpId>::RunCheckThreshold() {
  namespace rules = pmbuspower_rules;
  if (this->b_mode_ != 1 && this->b_mode_ != 2) return;
  const rules::RuleInputs in{power_readings::read_power_readings(this->data_),
                             {has_a_, has_b_, has_c_}};

  if (this->b_mode_ == 1) {
    if (!has_ac_) return;
    const std::size_t inputs =
        std::min<std::size_t>(this->data_.ac.channel_count, rules::kStoredAcInputs);
    bool some_input_up = false;
    for (std::size_t i = 0; i < inputs; ++i) {
      if (rules::input_up(in, i)) some_input_up = true;
    }
    const rules::SupplyLossTexts& texts = rules::supply_loss_texts();
    this->CheckThresholdBool(rules::kSupplyLossLevel, texts.key, texts.id, texts.name, texts.name,
                             !some_input_up, rules::kSupplyLossSeq);
    return;
  }

  std::string details[rules::kDetailTexts];
  if (has_ac_) {
    details[rules::kVoltagesText] = rules::voltages_text(in.values);
    details[rules::kFrequenciesText] = rules::frequencies_text(in.values);
  }
  if (has_dc_) {
    details[rules::kDcVoltageText] = boost::lexical_cast<std::string>(in.values.dc_voltage);
  }

  for (std::size_t i = 0; i < std::size(rules::kThresholdRules); ++i) {
    const rules::ThresholdRule& rule = rules::kThresholdRules[i];
    const bool group_fitted = rule.detail == rules::kDcVoltageText ? has_dc_ : has_ac_;
    if (!group_fitted) continue;
    const std::string& key = rules::threshold_rule_texts()[i].key;
    const int level = this->threshold_levels_[key];
    if (level == 0) continue;
    const bool holds = rule.holds(in, rules::LazyThreshold(this->threshold_values_, key));
    this->CheckThresholdBool(level, key, key, details[rule.detail],
                             rules::threshold_rule_texts()[i].name, holds,
                             rules::kThresholdRuleSeq);
  }
}
