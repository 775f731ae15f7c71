#pragma once

#include <algorithm>
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
  // Reports one model alarm under the round's next sequence number.
  void report_alarm(int level, const std::string& key, const std::string& id,
                    const std::string& name, const std::string& text, bool active);
};

inline void kelvra_419::RunCheckThreshold() {
  namespace alarms = kelvra_419_alarms;
  pmbuspower_419<kelvra_419_Data_t, kKelvra419PublicationId>::RunCheckThreshold();

  if (has_ac_) {
    const std::size_t inputs =
        std::min<std::size_t>(data_.ac.channel_count, kelvra_419_Data_t::AC_CHANNEL_ROOM);
    for (std::size_t i = 0; i < inputs; ++i) {
      const std::string prefix =
          "第" + boost::lexical_cast<std::string>(static_cast<unsigned>(i + 1)) + "路交流输入-";
      const std::uint8_t* states = data_.ac.channel[i].p40_44;
      for (std::size_t row = 0; row < std::size(alarms::kAcInputAlarms); ++row) {
        const alarms::AcInputAlarm& alarm = alarms::kAcInputAlarms[row];
        report_alarm(alarms::kAcInputAlarmLevel, alarm.key, alarms::kAcInputAlarmId,
                     alarms::kAcInputAlarmName, prefix + alarm.text_suffix,
                     states[row] == alarm.active_value);
      }
    }
  }

  if (has_dc_ && data_.dc.alert_p_count == kelvra_419_dc::ALERT_P_SIZE()) {
    for (std::size_t row = 0; row < std::size(alarms::kDcAlarms); ++row) {
      const alarms::DcAlarm& alarm = alarms::kDcAlarms[row];
      report_alarm(alarms::kDcAlarmLevel, alarm.key, alarm.id, alarm.name, alarm.text,
                   data_.dc.alert_p[row] == alarm.active_value);
    }
  }
}

inline void kelvra_419::report_alarm(int level, const std::string& key, const std::string& id,
                                     const std::string& name, const std::string& text,
                                     bool active) {
  CheckThresholdBool(level, key, id, name, text, active, rule_seq_++);
}
