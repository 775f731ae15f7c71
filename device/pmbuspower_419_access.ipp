// Value queries and control requests of pmbuspower_419; included by pmbuspower_419.h only.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <json/reader.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "device/control_codes.h"
#include "device/power_readings.h"

namespace pmbuspower_control {

// Data older than this many seconds is not answered from.
constexpr std::int64_t kFreshSeconds = 60;

struct SetValueSignal {
  const char* id;
  std::uint8_t type;
};

inline constexpr SetValueSignal kSetValueSignals[] = {{"006201", 0xDC}, {"006202", 0xDB}};

struct SwitchSignal {
  const char* id;
  std::uint8_t type;
  std::uint8_t value;
};

inline constexpr SwitchSignal kSwitchSignals[] = {
    {"419500201001", 0xE5, 0x01}, {"419500201002", 0xE5, 0x02}, {"419500201003", 0xE5, 0x03},
    {"419500200001", 0xE6, 0x01}, {"419500200002", 0xE6, 0x02}, {"419500200003", 0xE6, 0x03},
    {"419500600001", 0x1F, 0x02}, {"419500601001", 0x10, 0x02}, {"419500602001", 0x11, 0x02},
};

constexpr int kSetValueInfoLength = 5;
constexpr int kSwitchInfoLength = 2;

enum class SetValueRequest { kMalformed, kNothingToSend, kReady };

// Reads a JSON set-value request of len bytes. kReady fills info with the type byte and the value
// as a float, least significant byte first. Text that does not parse, a root that is not an
// object and an object or array where a text is read are kMalformed.
inline SetValueRequest read_set_value_request(const char* text, int len,
                                              std::uint8_t (&info)[kSetValueInfoLength]) {
  Json::Value parsed;
  try {
    Json::Reader reader;
    const char* begin = len > 0 ? text : "";
    if (!reader.parse(begin, begin + len, parsed, false)) return SetValueRequest::kMalformed;
  } catch (const std::exception&) {
    return SetValueRequest::kMalformed;
  }
  if (!parsed.isObject()) return SetValueRequest::kMalformed;
  const Json::Value& request = parsed;
  const auto is_container = [](const Json::Value& v) { return v.isObject() || v.isArray(); };

  const Json::Value& signal = request["signal_id"];
  if (signal.isNull()) return SetValueRequest::kNothingToSend;
  if (is_container(signal)) return SetValueRequest::kMalformed;
  const std::string signal_id = signal.asString();
  for (const SetValueSignal& known : kSetValueSignals) {
    if (signal_id != known.id) continue;
    const Json::Value& set_value = request["SetValue"];
    if (set_value.isNull()) return SetValueRequest::kNothingToSend;
    if (is_container(set_value)) return SetValueRequest::kMalformed;
    const float value = static_cast<float>(std::atof(set_value.asString().c_str()));
    info[0] = known.type;
    std::memcpy(info + 1, &value, sizeof value);
    return SetValueRequest::kReady;
  }
  return SetValueRequest::kNothingToSend;
}

// The switch signal whose identifier is exactly the len bytes of text, or nullptr.
inline const SwitchSignal* find_switch_signal(const char* text, int len) {
  for (const SwitchSignal& known : kSwitchSignals) {
    if (static_cast<std::size_t>(len) == std::strlen(known.id) &&
        std::memcmp(text, known.id, static_cast<std::size_t>(len)) == 0) {
      return &known;
    }
  }
  return nullptr;
}

// Marks a control command of this code as the one on the line: codes 300 and 310 take the poll
// state, so its answer counts as the control answer; code 320 sets the host's wait time.
inline void mark_control_on_line(PMBusProtocol& device, int code) {
  if (code == kRectifierSwitch) {
    device.wait_time_ = code;
  } else {
    device.poll_state_ = code;
  }
}

inline void write_int32(void* out, std::int32_t value) {
  std::memcpy(out, &value, sizeof value);
}

}  // namespace pmbuspower_control

template <class Data, int SpId>
float pmbuspower_419<Data, SpId>::Get_Value(unsigned int, const std::string& key) const {
  std::cout << "in pmbuspower_419 Get_Value" << std::endl;
  if (this->data_valid_ != 1) throw std::out_of_range("数据未就绪");
  const std::int64_t age =
      (boost::posix_time::second_clock::local_time() - this->last_round_time_).total_seconds();
  if (age > pmbuspower_control::kFreshSeconds) throw std::out_of_range("数据已超时");
  if (key == "out_v") return this->data_.dc.out_v.get();
  if (key == "ac") {
    return power_readings::mains_lost(power_readings::read_power_readings(this->data_)) ? 1.0f
                                                                                        : 0.0f;
  }
  throw std::out_of_range("不支持变量");
}

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::DeviceIoControl(int code, const void* in, int in_len, void* out,
                                                int out_len, int& out_written) {
  namespace control = pmbuspower_control;
  const int out_room = out != nullptr ? out_len : 0;
  if (code != control::kRectifierCommand && code != control::kSetDcValue &&
      code != control::kRectifierSwitch) {
    if (out_room < 4) {
      out_written = 0;
    } else {
      control::write_int32(out, control_result_);
      out_written = 4;
    }
    return 0;
  }

  // A command asked for while a poll command is in flight waits for the end of the round, so that
  // the poll answer is neither taken for the control answer nor the round abandoned.
  const bool round_in_flight = this->poll_state_ >= kAcAnalog && this->poll_state_ <= kDcAlarm;
  control_result_ = -1;
  if (!round_in_flight) control::mark_control_on_line(*this, code);
  this->SMDSPDevice::OpenPort();
  if (in_len < 0 || (in == nullptr && in_len > 0)) return -1;
  const char* text = static_cast<const char*>(in);
  static_assert(sizeof(HeldControl::info) >= control::kRectifierCommandLength);

  const auto issue = [&](std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info, int len) {
    HeldControl command;
    command.code = code;
    command.cid1 = cid1;
    command.cid2 = cid2;
    std::memcpy(command.info, info, static_cast<std::size_t>(len));
    command.len = len;
    held_control_ = command;
    if (!round_in_flight) send_held_control();
  };

  switch (code) {
    case control::kRectifierCommand:
      if (in_len != control::kRectifierCommandLength) return -1;
      issue(0x41, 0x4E, static_cast<const std::uint8_t*>(in), in_len);
      if (out_room >= 4) {
        control::write_int32(out, 1);
        out_written = 4;
      }
      return 0;
    case control::kSetDcValue: {
      std::uint8_t info[control::kSetValueInfoLength];
      switch (control::read_set_value_request(text, in_len, info)) {
        case control::SetValueRequest::kMalformed:
          return -1;
        case control::SetValueRequest::kNothingToSend:
          return 0;
        case control::SetValueRequest::kReady:
          issue(0x42, 0x48, info, control::kSetValueInfoLength);
          return 0;
      }
      return 0;
    }
    default:
      if (const control::SwitchSignal* signal = control::find_switch_signal(text, in_len)) {
        const std::uint8_t info[control::kSwitchInfoLength] = {signal->type, signal->value};
        issue(0x41, 0x45, info, control::kSwitchInfoLength);
      }
      return 0;
  }
}

template <class Data, int SpId>
void pmbuspower_419<Data, SpId>::send_held_control() {
  if (held_control_.code == 0) return;
  const HeldControl command = held_control_;
  held_control_ = HeldControl{};
  control_result_ = -1;
  pmbuspower_control::mark_control_on_line(*this, command.code);
  this->write_pmbus_cmd(command.cid1, command.cid2, command.info, command.len);
}
