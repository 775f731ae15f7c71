#include "events/alarm_identity.h"

#include <cctype>

#include "device/kelvra_419.h"

namespace kelvra::events {
namespace {

struct Label {
  const char* match;  // a device key, or an alarm text
  const char* english;
};

// "第", the first character of an AC input alarm's text, and what follows the input number.
constexpr const char* kInputMark = "\xE7\xAC\xAC";
constexpr const char* kInputRest = "路交流输入-";

// The three alarms of each AC input, by the text behind the input prefix.
constexpr Label kInputAlarms[] = {
    {"整流器输入主空开", "rectifier input main breaker"},
    {"停电", "mains failure"},
    {"防雷器坏", "surge protector failed"},
};

// The DC unit's alarms by key; the rules of the threshold settings by their alarm text.
constexpr Label kLabels[] = {
    {"KELVRA_DC_0", "first-level low-voltage disconnect"},
    {"KELVRA_DC_1", "second-level low-voltage disconnect"},
    {"KELVRA_DC_2", "load fuse 1 fault"},
    {"KELVRA_DC_3", "battery 1 voltage low"},
    {"KELVRA_DC_4", "battery 1 temperature high"},
    {"KELVRA_DC_5", "load fuse 2 fault"},
    {"KELVRA_DC_6", "battery 2 voltage low"},
    {"KELVRA_DC_7", "battery 2 temperature high"},
    {"KELVRA_DC_8", "load fuse 3 fault"},
    {"KELVRA_DC_9", "battery 3 voltage low"},
    {"KELVRA_DC_10", "battery 3 temperature high"},
    {"输入电源中断告警", "input power supply interrupted"},
    {"001#48V直流系统交流输入电压过高告警", "AC input voltage high"},
    {"001#48V直流系统交流输入电压过低告警", "AC input voltage low"},
    {"001#48V直流系统交流输入停电告警", "AC input power cut"},
    {"001#48V直流系统交流输入频率过高告警", "AC input frequency high"},
    {"001#48V直流系统交流输入频率过低告警", "AC input frequency low"},
    {"48V直流系统直流总电压过低告警", "DC bus voltage low"},
    {"48V直流系统直流总电压超低告警", "DC bus voltage very low"},
    {"直流总电压过高告警", "DC bus voltage high"},
};

// The input number and the text behind "第N路交流输入-"; an empty number when the text has none.
std::pair<std::string, std::string> input_of(const std::string& text) {
  const std::string mark = kInputMark;
  if (text.rfind(mark, 0) != 0) return {};
  std::size_t end = mark.size();
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
  if (end == mark.size()) return {};
  const std::string number = text.substr(mark.size(), end - mark.size());
  const std::string rest = kInputRest;
  const bool has_rest = text.compare(end, rest.size(), rest) == 0;
  return {number, has_rest ? text.substr(end + rest.size()) : std::string()};
}

}  // namespace

std::string alarm_key(const std::string& device_key, const std::string& text) {
  const std::string number = input_of(text).first;
  return number.empty() ? device_key : device_key + "_" + number;
}

std::string alarm_label(const std::string& device_key, const std::string& text) {
  const auto [number, suffix] = input_of(text);
  if (!number.empty()) {
    for (const Label& alarm : kInputAlarms) {
      if (suffix == alarm.match) return "AC input " + number + " " + alarm.english;
    }
  }
  for (const Label& label : kLabels) {
    if (device_key == label.match || text == label.match) return label.english;
  }
  return text;
}

const std::vector<KnownAlarm>& known_device_alarms() {
  static const std::vector<KnownAlarm> alarms = [] {
    std::vector<KnownAlarm> built;
    for (std::size_t input = 1; input <= kelvra_419_Data_t::AC_CHANNEL_ROOM; ++input) {
      const std::string prefix = kInputMark + std::to_string(input) + kInputRest;
      for (const auto& alarm : kelvra_419_alarms::kAcInputAlarms) {
        const std::string text = prefix + alarm.text_suffix;
        built.push_back({alarm_key(alarm.key, text), alarm_label(alarm.key, text)});
      }
    }
    for (const auto& alarm : kelvra_419_alarms::kDcAlarms)
      built.push_back({alarm.key, alarm_label(alarm.key, alarm.text)});
    return built;
  }();
  return alarms;
}

}  // namespace kelvra::events
