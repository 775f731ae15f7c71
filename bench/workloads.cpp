#include "bench/workloads.h"

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "frame-codec/frame_codec.h"
#include "sim/info_encoders.h"

namespace kelvra::bench {
namespace {

constexpr std::uint8_t kVer = 0x20;
constexpr std::uint8_t kAddress = 0x01;
constexpr std::uint8_t kRtnNormal = 0x00;

// Levels and values of the threshold rules; the representative system trips none of them.
struct RuleSetting {
  const char* key;
  int level;
  float value;
};

constexpr RuleSetting kRuleSettings[] = {
    {"220600120010", 2, 0.0f},  {"220600130010", 2, 0.0f},  {"220600140010", 1, 0.0f},
    {"220600160010", 3, 55.0f}, {"220600170010", 3, 45.0f}, {"210600320010", 2, 47.0f},
    {"210600330010", 1, 45.0f}, {"210600340010", 2, 58.0f},
};

// The body of a set-value request for the DC float voltage, V.
constexpr char kSetValueRequest[] = R"({"signal_id":"006201","SetValue":"53.5"})";

Response decoded(std::uint8_t cid1, sim::Bytes info) {
  return frame::decoded_response(frame::Frame{kVer, kAddress, cid1, kRtnNormal, std::move(info)});
}

// Where each decoder's INFO part starts in the decoded response: behind the DATAFLAG for the AC
// and single-unit DC decoders, at the DATAFLAG for the rectifier decoders, behind the unit count
// for the counted DC format.
constexpr int kBehindDataflag = 7;
constexpr int kAtDataflag = 6;
constexpr int kBehindUnitCount = 8;
constexpr int kInfoStart = 6;

int info_length(const Response& response) {
  return (response[4] | response[5] << 8) / 2;
}

DecoderCall call_at(std::string name, DecoderMember decoder, const Response& response, int offset,
                    int units = 1) {
  const int len = info_length(response) - (offset - kInfoStart);
  return {std::move(name), decoder, response.data() + offset, len, len / units};
}

// The second DC unit's call: the bytes behind what the first unit's decoder consumed.
DecoderCall second_unit_call(std::string name, DecoderMember decoder, const DecoderCall& first) {
  kelvra_419 scratch;
  const int used = run_decoder(scratch, first);
  return {std::move(name), decoder, first.info + used, first.len - used, first.len - used};
}

}  // namespace

PollResponses representative_responses(sim::DcFormat format, std::uint8_t dataflag) {
  const sim::Equipment e = sim::make_equipment({kAcInputs, kRectifierModules, kDcUnits});
  PollResponses responses;
  responses[kelvra_419::kAcAnalog] = decoded(0x40, sim::ac_analog_info(dataflag, e.ac));
  responses[kelvra_419::kAcSwitch] = decoded(0x40, sim::ac_switch_info(dataflag, e.ac));
  responses[kelvra_419::kAcAlarm] = decoded(0x40, sim::ac_alarm_info(dataflag, e.ac));
  responses[kelvra_419::kRectAnalog] =
      decoded(0x41, sim::rectifier_analog_info(dataflag, e.rectifiers));
  responses[kelvra_419::kRectSwitch] =
      decoded(0x41, sim::rectifier_switch_info(dataflag, e.rectifiers));
  responses[kelvra_419::kRectAlarm] =
      decoded(0x41, sim::rectifier_alarm_info(dataflag, e.rectifiers));
  responses[kelvra_419::kDcAnalog] = decoded(0x42, sim::dc_analog_info(dataflag, e.dc, format));
  responses[kelvra_419::kDcAlarm] = decoded(0x42, sim::dc_alarm_info(dataflag, e.dc, format));
  return responses;
}

DecoderCalls::DecoderCalls()
    : single_unit_(representative_responses(sim::DcFormat::kSingleUnit, 0)),
      counted_(representative_responses(sim::DcFormat::kCounted, 0)) {
  const PollResponses& r = counted_;
  calls_ = {
      call_at("parse40_41", &kelvra_419::parse40_41, r[kelvra_419::kAcAnalog], kBehindDataflag),
      call_at("parse40_43", &kelvra_419::parse40_43, r[kelvra_419::kAcSwitch], kBehindDataflag),
      call_at("parse40_44", &kelvra_419::parse40_44, r[kelvra_419::kAcAlarm], kBehindDataflag),
      call_at("parse41_41", &kelvra_419::parse41_41, r[kelvra_419::kRectAnalog], kAtDataflag),
      call_at("parse41_43", &kelvra_419::parse41_43, r[kelvra_419::kRectSwitch], kAtDataflag),
      call_at("parse41_44", &kelvra_419::parse41_44, r[kelvra_419::kRectAlarm], kAtDataflag),
      call_at("parse42_41/single", &kelvra_419::parse42_41, single_unit_[kelvra_419::kDcAnalog],
              kBehindDataflag),
      call_at("parse42_41/counted", &kelvra_419::parse42_41, r[kelvra_419::kDcAnalog],
              kBehindUnitCount, kDcUnits),
      call_at("parse42_44/single", &kelvra_419::parse42_44, single_unit_[kelvra_419::kDcAlarm],
              kBehindDataflag),
      call_at("parse42_44/counted", &kelvra_419::parse42_44, r[kelvra_419::kDcAlarm],
              kBehindUnitCount, kDcUnits),
  };
  calls_.push_back(second_unit_call("parse42_41_2", &kelvra_419::parse42_41_2, calls_[7]));
  calls_.push_back(second_unit_call("parse42_44_2", &kelvra_419::parse42_44_2, calls_[9]));
}

void DecoderCalls::decode_all(kelvra_419& device) const {
  for (const DecoderCall& call : calls_) run_decoder(device, call);
}

int run_decoder(kelvra_419& device, const DecoderCall& call) {
  return (device.*call.decoder)(call.info, call.len);
}

SteadyStateDevice::SteadyStateDevice(sim::DcFormat format, RoundKind kind)
    : responses_(representative_responses(
          format, kind == RoundKind::kFull ? sim::kSwitchesChanged | sim::kAlarmsChanged : 0)) {
  Json::Value settings;
  settings["appSetting"]["has_dc"] = "1";
  settings["appSetting"]["b_mode"] = "2";
  device_.InitSetting(settings);
  for (const RuleSetting& rule : kRuleSettings) {
    device_.threshold_levels_[rule.key] = rule.level;
    device_.threshold_values_[rule.key] = rule.value;
  }
  // The first round sends every command whatever the DATAFLAG says; the next one is steady.
  run_round();
}

int SteadyStateDevice::run_round() {
  // Rounds follow each other without the two-second spacing the clock would impose.
  device_.last_round_time_ = boost::posix_time::ptime(boost::gregorian::date(2000, 1, 1));
  int handed = 0;
  if (!device_.RefreshStatus()) return handed;
  // A rejected response leaves its command in flight; a round never takes more than one answer
  // per poll state.
  while (handed < static_cast<int>(responses_.size()) &&
         device_.poll_state_ >= kelvra_419::kAcAnalog &&
         device_.poll_state_ <= kelvra_419::kDcAlarm) {
    Response& response = responses_[static_cast<std::size_t>(device_.poll_state_)];
    device_.process(response.data(), static_cast<unsigned>(response.size()));
    ++handed;
  }
  return handed;
}

void SteadyStateDevice::run_rules() {
  device_.rule_seq_ = 1;
  device_.RunCheckThreshold();
}

float SteadyStateDevice::query_value(const std::string& key) const {
  return device_.Get_Value(0, key);
}

int SteadyStateDevice::set_dc_value() {
  int written = 0;
  return device_.DeviceIoControl(310, kSetValueRequest, sizeof kSetValueRequest - 1, nullptr, 0,
                                 written);
}

}  // namespace kelvra::bench
