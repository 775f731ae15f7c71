// Poll cycle and settings of pmbuspower_419; included by pmbuspower_419.h only.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/settings_text.h"

namespace pmbuspower_419_poll {

// DATAFLAG bits: switch states changed, alarm states changed.
constexpr std::uint8_t kSwitchChanged = 0x10;
constexpr std::uint8_t kAlarmChanged = 0x01;

// A part of the received INFO handed to a decoder: never longer than what was received.
struct InfoSlice {
  const unsigned char* data;
  int len;
};

// The received response: header bytes 0 to 5, the length field at 4 and 5 (least significant byte
// first, twice the INFO length), INFO from byte 6 with the DATAFLAG first. Bytes that were not
// received read as 0 and the INFO length is bounded by what was received.
class ReceivedResponse {
 public:
  static constexpr unsigned kInfoStart = 6;

  ReceivedResponse(const unsigned char* bytes, unsigned received)
      : bytes_(bytes), received_(bytes != nullptr ? received : 0) {
    if (received_ > kInfoStart) {
      const unsigned declared = (bytes_[4] | (unsigned(bytes_[5]) << 8)) / 2;
      info_len_ = static_cast<int>(std::min(declared, received_ - kInfoStart));
    }
  }

  int info_len() const { return info_len_; }
  bool has(unsigned offset, unsigned count) const {
    return offset <= received_ && count <= received_ - offset;
  }
  std::uint8_t byte(unsigned offset) const { return has(offset, 1) ? bytes_[offset] : 0; }

  // INFO from its byte `from` on (0 is the DATAFLAG); empty when the INFO length does not reach it.
  InfoSlice info_from(int from) const {
    if (info_len_ == 0) return {nullptr, 0};
    const int start = std::min(std::max(from, 0), info_len_);
    return {bytes_ + kInfoStart + start, info_len_ - start};
  }

  // The four bytes at offset as a little-endian single-precision float; has(offset, 4) first.
  float float_at(unsigned offset) const {
    const std::uint32_t bits = bytes_[offset] | (std::uint32_t(bytes_[offset + 1]) << 8) |
                               (std::uint32_t(bytes_[offset + 2]) << 16) |
                               (std::uint32_t(bytes_[offset + 3]) << 24);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

 private:
  const unsigned char* bytes_;
  unsigned received_;
  int info_len_ = 0;
};

}  // namespace pmbuspower_419_poll

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::InitSetting(const Json::Value& settings) {
  const Json::Value& app = setting_member(settings, "appSetting");
  if (app.isObject()) {
    read_flag_setting(app, "has_ac", has_ac_);
    read_flag_setting(app, "has_dc", has_dc_);
    read_int_setting(app, "no_dc_number", no_dc_number_);
    read_flag_setting(app, "has_a", has_a_);
    read_flag_setting(app, "has_b", has_b_);
    read_flag_setting(app, "has_c", has_c_);
    read_int_setting(app, "dc_i_adjust", dc_i_adjust_);
  }
  this->data_.data_id.set(this->data_id_);
  Base::InitSetting(settings);
  return true;
}

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::RefreshStatus() {
  if (!SMDSPDevice::RefreshStatus()) return false;
  const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
  const std::int64_t elapsed = (now - this->last_round_time_).total_seconds();
  // A clock set back by more than the spacing itself starts a round rather than waiting for the
  // clock to catch up with the last round.
  const bool clock_set_back = elapsed < -2;
  if (elapsed < 2 && !clock_set_back) {
    this->wait_time_ = 10;
    return false;
  }
  if (has_ac_) return send_poll(kAcAnalog, 0x40, 0x41);
  return send_poll(kRectAnalog, 0x41, 0x41);
}

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::process_payload() {
  using pmbuspower_419_poll::kAlarmChanged;
  using pmbuspower_419_poll::kSwitchChanged;
  const pmbuspower_419_poll::ReceivedResponse response(this->response_, this->response_len_);
  const std::uint8_t dataflag = response.byte(6);
  const bool first_round = this->data_valid_ != 1;
  // Rectifier and DC distribution commands after the rectifier analog response.
  const auto after_rect_switch = [&]() {
    if (first_round || (rect_dataflag_ & kAlarmChanged)) return send_poll(kRectAlarm, 0x41, 0x44);
    if (has_dc_) return send_poll(kDcAnalog, 0x42, 0x41);
    return end_round();
  };
  // Decodes the DC unit(s) of INFO behind the DATAFLAG: format 1 one unit at byte 7, format 2 a
  // unit count at byte 7 and up to two units from byte 8.
  const auto decode_dc = [&](auto first_unit, auto second_unit, std::uint8_t units) {
    if (no_dc_number_ == 1) {
      const auto unit = response.info_from(1);
      (this->*first_unit)(unit.data, unit.len);
      return;
    }
    const auto unit = response.info_from(2);
    const int used = (this->*first_unit)(unit.data, unit.len);
    if (units >= 2 && used != -1) {
      const auto second = response.info_from(2 + used);
      (this->*second_unit)(second.data, second.len);
    }
  };

  switch (this->poll_state_) {
    case kAcAnalog: {
      const auto info = response.info_from(1);
      if (parse40_41(info.data, info.len) == -1) return true;
      if (first_round || (dataflag & kSwitchChanged)) return send_poll(kAcSwitch, 0x40, 0x43);
      if (dataflag & kAlarmChanged) return send_poll(kAcAlarm, 0x40, 0x44);
      return send_poll(kRectAnalog, 0x41, 0x41);
    }
    case kAcSwitch: {
      const auto info = response.info_from(1);
      parse40_43(info.data, info.len);
      if (first_round || (dataflag & kAlarmChanged)) return send_poll(kAcAlarm, 0x40, 0x44);
      return send_poll(kRectAnalog, 0x41, 0x41);
    }
    case kAcAlarm: {
      const auto info = response.info_from(1);
      parse40_44(info.data, info.len);
      return send_poll(kRectAnalog, 0x41, 0x41);
    }
    case kRectAnalog: {
      rect_dataflag_ = dataflag;
      const auto info = response.info_from(0);
      const int used = parse41_41(info.data, info.len);
      std::printf("41_43 %d vs %d\n", info.len, used);
      if (first_round || (rect_dataflag_ & kSwitchChanged)) {
        return send_poll(kRectSwitch, 0x41, 0x43);
      }
      return after_rect_switch();
    }
    case kRectSwitch: {
      const auto info = response.info_from(0);
      parse41_43(info.data, info.len);
      return after_rect_switch();
    }
    case kRectAlarm: {
      const auto info = response.info_from(0);
      parse41_44(info.data, info.len);
      if (has_dc_) return send_poll(kDcAnalog, 0x42, 0x41);
      return end_round();
    }
    case kDcAnalog: {
      const std::uint8_t units = response.byte(7);
      std::cout << "pmbuspower_419 PMBUSPOWER_42_41 dc_number:" << int(units) << std::endl;
      // Format 1 begins with the output voltage, which lies strictly between 40 V and 60 V; a
      // response too short to hold it leaves the format undecided.
      if (no_dc_number_ == -1 && response.has(7, 4)) {
        const float first_value = response.float_at(7);
        no_dc_number_ = first_value > 40.0f && first_value < 60.0f ? 1 : 2;
      }
      decode_dc(&pmbuspower_419::parse42_41, &pmbuspower_419::parse42_41_2, units);
      if (!first_round && !(dataflag & (kAlarmChanged | kSwitchChanged))) return end_round();
      return send_poll(kDcAlarm, 0x42, 0x44);
    }
    case kDcAlarm: {
      const std::uint8_t units = response.byte(7);
      if (no_dc_number_ != 1) {
        std::cout << "pmbuspower_419 PMBUSPOWER_42_44 dc_number:" << int(units) << std::endl;
      }
      decode_dc(&pmbuspower_419::parse42_44, &pmbuspower_419::parse42_44_2, units);
      return end_round();
    }
    default:
      control_result_ = 1;
      return false;
  }
}

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::send_poll(int state, std::uint8_t cid1, std::uint8_t cid2) {
  this->poll_state_ = state;
  const bool with_info = cid1 == 0x40 || (cid1 == 0x42 && this->protocol_ver_ == 0x21);
  if (with_info) {
    this->write_pmbus_cmd(cid1, cid2, &cmd_info_, 1);
  } else {
    this->write_pmbus_cmd(cid1, cid2);
  }
  return true;
}

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::end_round() {
  this->RoundDone();
  this->poll_state_ = kIdle;
  this->Reset();
  send_held_control();
  return false;
}
