#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include <boost/lexical_cast.hpp>

#include "device/pmbuspower_419.h"
#include "record/kelvra_419_data.h"

// Publication id of the kelvra_419 record.
constexpr int kKelvra419PublicationId = 5535;

namespace kelvra_419_alarms {

// One alarm of an AC input: active when user-defined alarm byte (its row index) holds the value.
struct AcInputAlarm {
  const char* key;
  const char* text_suffix;
  std::uint8_t active_value;
};

inline constexpr AcInputAlarm kAcInputAlarms[] = {
    {"p40_44_0", "整流器输入主空开", 5},
    {"p40_44_1", "停电", 0xE0},
    {"p40_44_2", "防雷器坏", 0xE1},
};
static_assert(std::size(kAcInputAlarms) == kelvra_419_ac_channel::p40_44_SIZE());

constexpr int kAcInputAlarmLevel = 1;
constexpr const char* kAcInputAlarmId = "06001";
constexpr const char* kAcInputAlarmName = "模块告警";

// One alarm of the DC unit: active when user-defined alarm byte (its row index) holds the value.
struct DcAlarm {
  const char* key;
  const char* id;
  const char* name;
  const char* text;
  std::uint8_t active_value;
};

inline constexpr DcAlarm kDcAlarms[] = {
    {"KELVRA_DC_0", "06079", "一级低压脱离告警", "第一级低压脱离开关动作，其后的负载被断电", 0xF0},
    {"KELVRA_DC_1", "06080", "二级低压脱离告警", "第二级低压脱离开关动作，其后的负载被断电", 0xF1},
    {"KELVRA_DC_2", "06007", "负载熔丝故障告警", "负载熔丝1故障告警", 3},
    {"KELVRA_DC_3", "06029", "电池1电压低", "其他告警", 1},
    {"KELVRA_DC_4", "06003", "电池温度过高告警", "电池1温度高", 2},
    {"KELVRA_DC_5", "06007", "负载熔丝故障告警", "负载熔丝2故障告警", 3},
    {"KELVRA_DC_6", "06001", "电池2电压低", "其他告警", 1},
    {"KELVRA_DC_7", "06003", "电池温度过高告警", "电池2温度高", 2},
    {"KELVRA_DC_8", "06007", "负载熔丝故障告警", "负载熔丝3故障告警", 3},
    {"KELVRA_DC_9", "06001", "电池3电压低", "其他告警", 1},
    {"KELVRA_DC_10", "06003", "电池温度过高告警", "电池3温度高", 2},
};
static_assert(std::size(kDcAlarms) == kelvra_419_dc::ALERT_P_SIZE());

constexpr int kDcAlarmLevel = 2;

}  // namespace kelvra_419_alarms

// The concrete power-system model: its device type and its own alarm checks.
class kelvra_419 : public pmbuspower_419<kelvra_419_Data_t, kKelvra419PublicationId> {
 public:
  kelvra_419() { device_type_ = "kelvra_419"; }
  ~kelvra_419() override = default;

  void RunCheckThreshold() override;

 private:
  // The texts of one model alarm as the rule engine receives them, built once per process.
  struct AlarmTexts {
    std::string key, id, name, text;
  };
  using AcInputAlarmTexts =
      std::array<std::array<AlarmTexts, std::size(kelvra_419_alarms::kAcInputAlarms)>,
                 kelvra_419_Data_t::AC_CHANNEL_ROOM>;
  using DcAlarmTexts = std::array<AlarmTexts, std::size(kelvra_419_alarms::kDcAlarms)>;
  static const AcInputAlarmTexts& ac_input_alarm_texts();
  static const DcAlarmTexts& dc_alarm_texts();

  // Reports one model alarm under the round's next sequence number.
  void report_alarm(int level, const AlarmTexts& texts, bool active);
};

inline void kelvra_419::RunCheckThreshold() {
  namespace alarms = kelvra_419_alarms;
  pmbuspower_419<kelvra_419_Data_t, kKelvra419PublicationId>::RunCheckThreshold();

  if (has_ac_) {
    const std::size_t inputs =
        std::min<std::size_t>(data_.ac.channel_count, kelvra_419_Data_t::AC_CHANNEL_ROOM);
    for (std::size_t i = 0; i < inputs; ++i) {
      const std::uint8_t* states = data_.ac.channel[i].p40_44;
      for (std::size_t row = 0; row < std::size(alarms::kAcInputAlarms); ++row) {
        report_alarm(alarms::kAcInputAlarmLevel, ac_input_alarm_texts()[i][row],
                     states[row] == alarms::kAcInputAlarms[row].active_value);
      }
    }
  }

  if (has_dc_ && data_.dc.alert_p_count == kelvra_419_dc::ALERT_P_SIZE()) {
    for (std::size_t row = 0; row < std::size(alarms::kDcAlarms); ++row) {
      report_alarm(alarms::kDcAlarmLevel, dc_alarm_texts()[row],
                   data_.dc.alert_p[row] == alarms::kDcAlarms[row].active_value);
    }
  }
}

inline const kelvra_419::AcInputAlarmTexts& kelvra_419::ac_input_alarm_texts() {
  namespace alarms = kelvra_419_alarms;
  static const AcInputAlarmTexts texts = [] {
    AcInputAlarmTexts built;
    for (std::size_t i = 0; i < built.size(); ++i) {
      // "第<input>路交流输入-" and the alarm's own suffix.
      const std::string prefix =
          "第" + boost::lexical_cast<std::string>(static_cast<unsigned>(i + 1)) + "路交流输入-";
      for (std::size_t row = 0; row < built[i].size(); ++row) {
        const alarms::AcInputAlarm& alarm = alarms::kAcInputAlarms[row];
        built[i][row] = {alarm.key, alarms::kAcInputAlarmId, alarms::kAcInputAlarmName,
                         prefix + alarm.text_suffix};
      }
    }
    return built;
  }();
  return texts;
}

inline const kelvra_419::DcAlarmTexts& kelvra_419::dc_alarm_texts() {
  static const DcAlarmTexts texts = [] {
    DcAlarmTexts built;
    for (std::size_t row = 0; row < built.size(); ++row) {
      const kelvra_419_alarms::DcAlarm& alarm = kelvra_419_alarms::kDcAlarms[row];
      built[row] = {alarm.key, alarm.id, alarm.name, alarm.text};
    }
    return built;
  }();
  return texts;
}

inline void kelvra_419::report_alarm(int level, const AlarmTexts& texts, bool active) {
  CheckThresholdBool(level, texts.key, texts.id, texts.name, texts.text, active, rule_seq_++);
}
