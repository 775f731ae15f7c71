#include "script/script_player.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "hostkit/hex.h"
#include "script/plugin_members.h"

namespace scripted_host {
namespace {

// ADR of the responses handed to the device; the protocol layer does not examine it.
constexpr std::uint8_t kResponseAddress = 0x01;

// A heap copy of exactly the given size, so that a read or write past its end is caught by
// AddressSanitizer rather than landing in a larger buffer.
std::unique_ptr<std::uint8_t[]> zeroed_buffer(std::size_t count) {
  return std::unique_ptr<std::uint8_t[]>(new std::uint8_t[count]());
}

std::unique_ptr<std::uint8_t[]> exact_copy(const Bytes& bytes) {
  auto copy = zeroed_buffer(bytes.size());
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return copy;
}

}  // namespace

ScriptPlayer::ScriptPlayer(PMBusProtocol& device, TranscriptHost& host, Transcript& transcript)
    : device_(device), host_(host), transcript_(transcript) {
  device_.AttachHost(&host_);
}

ScriptPlayer::~ScriptPlayer() {
  device_.AttachHost(nullptr);
}

void ScriptPlayer::play(const Step& step) {
  std::visit(*this, step);
}

void ScriptPlayer::write_result(const char* op, bool value) {
  transcript_.write(Event("result").text("op", op).boolean("value", value));
}

void ScriptPlayer::operator()(const SettingsStep& step) {
  device_.data_id_ = step.data_id;
  write_result("settings", device_.InitSetting(step.json));
}

void ScriptPlayer::operator()(const ThresholdsStep& step) {
  device_.threshold_levels_ = step.levels;
  device_.threshold_values_ = step.values;
}

void ScriptPlayer::operator()(const AnalogStep& step) {
  device_.ao_signals_ = step.signals;
  device_.ao_values_ = step.values;
}

void ScriptPlayer::operator()(const RulesStep& step) {
  device_.rule_values_.assign(step.count, rule_value{});
}

void ScriptPlayer::operator()(const HostCheckStep& step) {
  host_.refresh_answer = step.value;
}

void ScriptPlayer::operator()(const HostResultStep& step) {
  (step.call == HostCall::CheckAOReport ? host_.ao_report_answer : host_.batch_answer) = step.value;
}

void ScriptPlayer::operator()(const RefreshStep&) {
  write_result("refresh", device_.RefreshStatus());
}

void ScriptPlayer::operator()(const RespondStep& step) {
  const std::uint16_t length_field =
      step.lenid.value_or(static_cast<std::uint16_t>(step.info.size() * 2));
  // VER, ADR, CID1, RTN, the length field (least significant byte first), then INFO.
  Bytes response = {device_.protocol_ver_,
                    kResponseAddress,
                    step.cid1.value_or(host_.last_cid1().value_or(0)),
                    step.rtn,
                    static_cast<std::uint8_t>(length_field & 0xFF),
                    static_cast<std::uint8_t>(length_field >> 8)};
  response.insert(response.end(), step.info.begin(), step.info.end());
  const auto exact = exact_copy(response);
  write_result("respond", device_.process(exact.get(), static_cast<unsigned>(response.size())));
}

void ScriptPlayer::operator()(const AdvanceStep& step) {
  device_.last_round_time_ -= boost::posix_time::seconds(step.seconds);
}

void ScriptPlayer::operator()(const QueryStep& step) {
  Event event("query");
  event.text("key", step.key);
  try {
    event.number("value", device_.Get_Value(step.index, step.key));
  } catch (const std::exception& refusal) {
    event.text("error", refusal.what());
  }
  transcript_.write(event);
}

void ScriptPlayer::operator()(const ControlStep& step) {
  const auto in = exact_copy(step.in);
  const std::size_t out_size = static_cast<std::size_t>(std::max(step.out_len, 0));
  const auto out = zeroed_buffer(out_size);
  int out_written = 0;
  const int result = device_.DeviceIoControl(step.code, in.get(), static_cast<int>(step.in.size()),
                                             out.get(), step.out_len, out_written);
  const std::size_t shown = std::min(out_size, static_cast<std::size_t>(std::max(out_written, 0)));
  transcript_.write(Event("control")
                        .integer("code", step.code)
                        .integer("result", result)
                        .integer("out_written", out_written)
                        .text("out", kelvra::hostkit::to_hex(out.get(), shown)));
}

void ScriptPlayer::operator()(const CacheStep& step) {
  write_result("cache", device_.LoadFromCache(std::string(step.bytes.begin(), step.bytes.end())));
}

void ScriptPlayer::operator()(const RecordStep&) {
  Event event("record");
  if (const auto members = plugin_members(device_)) {
    event.text("hex", kelvra::hostkit::to_hex(members->record.data(), members->record.size()));
  } else {
    event.null("hex");
  }
  transcript_.write(event);
}

std::optional<int> ScriptPlayer::read_back_control_result() {
  constexpr int kReadBackCode = 0;
  std::uint8_t out[4] = {};
  int out_written = 0;
  device_.DeviceIoControl(kReadBackCode, nullptr, 0, out, sizeof out, out_written);
  if (out_written != static_cast<int>(sizeof out)) return std::nullopt;
  int value = 0;
  std::memcpy(&value, out, sizeof value);
  return value;
}

void ScriptPlayer::operator()(const StateStep&) {
  Event event("state");
  event.integer("poll_state", device_.poll_state_);
  if (const auto control_result = read_back_control_result()) {
    event.integer("control_result", *control_result);
  } else {
    event.null("control_result");
  }
  event.integer("data_valid", device_.data_valid_)
      .integer("rule_seq", device_.rule_seq_)
      .integer("wait_time", device_.wait_time_);
  if (const auto members = plugin_members(device_)) {
    event.integer("no_dc_number", members->no_dc_number)
        .boolean("has_ac", members->has_ac)
        .boolean("has_dc", members->has_dc)
        .integer("b_mode", members->b_mode);
  } else {
    event.null("no_dc_number").null("has_ac").null("has_dc").null("b_mode");
  }
  event.boolean("threshold_changed", device_.threshold_changed_);
  transcript_.write(event);
}

}  // namespace scripted_host
