#include "station/glosses.h"

namespace kelvra::station {
namespace {

struct Gloss {
  const char* text;
  const char* english;
};

constexpr Gloss kGlosses[] = {
    {"输入电源中断告警", "input power supply interrupted"},
    {"001#48V直流系统交流输入电压过高告警", "48 V DC system no. 1: AC input voltage high"},
    {"001#48V直流系统交流输入电压过低告警", "48 V DC system no. 1: AC input voltage low"},
    {"001#48V直流系统交流输入停电告警", "48 V DC system no. 1: AC input power cut"},
    {"001#48V直流系统交流输入频率过高告警", "48 V DC system no. 1: AC input frequency high"},
    {"001#48V直流系统交流输入频率过低告警", "48 V DC system no. 1: AC input frequency low"},
    {"48V直流系统直流总电压过低告警", "48 V DC system: DC bus voltage low"},
    {"48V直流系统直流总电压超低告警", "48 V DC system: DC bus voltage very low"},
    {"直流总电压过高告警", "DC bus voltage high"},
    {"数据未就绪", "data not ready"},
    {"数据已超时", "data too old"},
    {"不支持变量", "unsupported variable"},
};

}  // namespace

std::string english_gloss(const std::string& device_text) {
  for (const Gloss& gloss : kGlosses) {
    if (device_text == gloss.text) return gloss.english;
  }
  return "";
}

std::string with_english_gloss(const std::string& device_text) {
  const std::string gloss = english_gloss(device_text);
  return gloss.empty() ? device_text : device_text + " (" + gloss + ")";
}

}  // namespace kelvra::station
