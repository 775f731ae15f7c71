#include "line/station.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "line/serial_line.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::line {
namespace {

constexpr int kControlPassThrough = 300;

// "0102AB" to its bytes; nullopt unless it is an even number of hex digits.
std::optional<std::vector<std::uint8_t>> hex_bytes(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

}  // namespace

Station::Station(DeviceSettings settings, kelvra::hostkit::DevicePtr device, Console& console,
                 HistoryStore& history)
    : settings_(std::move(settings)),
      device_(std::move(device)),
      protocol_(dynamic_cast<PMBusProtocol*>(device_.get())),
      console_(console),
      history_(history) {
  if (protocol_ == nullptr) {
    throw std::runtime_error("the plug-in's device does not use the command/response protocol");
  }
}

Station::~Station() {
  history_.commit();
  device_->AttachHost(nullptr);
}

void Station::configure(SerialLine& line) {
  line_ = &line;
  device_->AttachHost(this);
  device_->data_id_ = settings_.data_id;
  device_->baud_rate_ = static_cast<int>(settings_.serial.baud);
  protocol_->protocol_ver_ = settings_.ver;
  device_->threshold_levels_ = settings_.threshold_levels;
  device_->threshold_values_ = settings_.threshold_values;
  device_->ao_signals_ = settings_.analog_signals;
  device_->InitSetting(settings_.device_json);
  after_device_call();
}

bool Station::restore_from_history() {
  const auto stored = history_.latest_record(settings_.data_id);
  if (!stored) return false;
  restoring_ = true;
  const bool accepted = device_->LoadFromCache(stored->data(), static_cast<int>(stored->size()));
  restoring_ = false;
  after_device_call();
  return accepted;
}

bool Station::start_round() {
  const bool started = device_->RefreshStatus();
  if (started) {
    const auto now = std::chrono::steady_clock::now();
    if (last_round_start_) {
      counters_.longest_round_gap =
          std::max(counters_.longest_round_gap,
                   std::chrono::duration_cast<std::chrono::milliseconds>(now - *last_round_start_));
    }
    last_round_start_ = now;
    round_started_ = now;
  }
  after_device_call();
  return started;
}

void Station::answer(std::vector<std::uint8_t> decoded) {
  ++counters_.answers;
  device_->process(decoded.data(), static_cast<unsigned>(decoded.size()));
  after_device_call();
}

void Station::refused_answer() {
  ++counters_.refused;
  protocol_->process_error();
  after_device_call();
}

void Station::no_answer() {
  ++counters_.timeouts;
  protocol_->process_error();
  after_device_call();
}

bool Station::idle() const {
  return !device_->IsProcessing() && !line_->has_work_for(*this);
}

Json::Value Station::query(const std::string& key) {
  Json::Value reply(Json::objectValue);
  reply["device"] = settings_.name;
  reply["key"] = key;
  try {
    const float value = device_->Get_Value(0, key);
    reply["ok"] = true;
    reply["value"] = static_cast<double>(value);
  } catch (const std::out_of_range& refusal) {
    reply["ok"] = false;
    reply["refusal"] = refusal.what();
  }
  after_device_call();
  return reply;
}

Json::Value Station::control(int code, const std::string& argument) {
  Json::Value reply(Json::objectValue);
  reply["device"] = settings_.name;
  reply["code"] = code;
  std::vector<std::uint8_t> input(argument.begin(), argument.end());
  if (code == kControlPassThrough) {
    const auto bytes = hex_bytes(argument);
    if (!bytes) {
      reply["ok"] = false;
      reply["error"] = "code 300 takes its bytes in hex, e.g. 01020304050607";
      return reply;
    }
    input = *bytes;
  }
  std::int32_t out = 0;
  int written = 0;
  const int result =
      device_->DeviceIoControl(code, input.empty() ? nullptr : input.data(),
                               static_cast<int>(input.size()), &out, sizeof out, written);
  after_device_call();
  reply["ok"] = true;
  reply["result"] = result;
  if (written == static_cast<int>(sizeof out)) reply["out"] = out;
  return reply;
}

Json::Value Station::control_readback() {
  std::int32_t out = 0;
  int written = 0;
  device_->DeviceIoControl(0, nullptr, 0, &out, sizeof out, written);
  after_device_call();
  return written == static_cast<int>(sizeof out) ? Json::Value(out) : Json::Value();
}

Json::Value Station::status() const {
  Json::Value status(Json::objectValue);
  status["device"] = settings_.name;
  status["port"] = line_ ? line_->port() : settings_.port;
  status["address"] = settings_.address;
  status["data_id"] = settings_.data_id;
  status["link"] = line_ && line_->is_open() ? "up" : "down";
  status["poll_state"] = protocol_->poll_state_;
  status["data_valid"] = device_->data_valid_ == 1;
  status["last_round"] = last_round_time_;
  status["rounds"] = Json::UInt64(counters_.rounds);
  status["restored"] = Json::UInt64(counters_.restored);
  status["commands"] = Json::UInt64(counters_.commands);
  status["answers"] = Json::UInt64(counters_.answers);
  status["timeouts"] = Json::UInt64(counters_.timeouts);
  status["refused"] = Json::UInt64(counters_.refused);
  status["longest_round_gap_ms"] = Json::Int64(counters_.longest_round_gap.count());
  status["alarms"] = Json::Value(Json::arrayValue);
  for (const std::string& alarm : alarms_.active()) status["alarms"].append(alarm);
  return status;
}

void Station::send_command(SMDSPDevice&, std::uint8_t cid1, std::uint8_t cid2,
                           const std::uint8_t* info, int len) {
  ++counters_.commands;
  frame::Frame command{settings_.ver, settings_.address, cid1, cid2, {}};
  if (info != nullptr && len > 0) command.info.assign(info, info + len);
  line_->submit(*this, std::move(command));
}

bool Station::open_port(SMDSPDevice&) {
  return line_ != nullptr && line_->is_open();
}

void Station::publish(SMDVDevice&, int, const unsigned char* data, unsigned int len, bool) {
  const auto record = record::from_bytes(data, len);
  if (!record) {
    console_.note(settings_.name, "publication of " + std::to_string(len) +
                                      " bytes ignored: a record has " +
                                      std::to_string(record::kRecordSize));
    return;
  }
  double seconds = 0;
  if (round_started_ && !restoring_) {
    seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - *round_started_).count();
  }
  round_started_.reset();
  publication_ = Publication{local_time_text(), seconds, restoring_, *record};
  history_.begin();
  fill_analog_values(*record);
}

void Station::fill_analog_values(const kelvra_419_Data_t& record) {
  if (settings_.analog_signals.empty()) return;
  record::for_each_field(record, [&](const record::FieldValue& field) {
    for (const std::string& name : settings_.analog_signals) {
      if (name == field.name && field.value.isNumeric()) {
        device_->ao_values_[name] = field.value.asFloat();
      }
    }
  });
}

bool Station::ao_report(SMDVDevice&, const std::string& name, float value) {
  const auto previous = reported_analog_.find(name);
  const bool changed = previous == reported_analog_.end() || previous->second != value;
  reported_analog_[name] = value;
  return changed;
}

void Station::alarm(SMDVDevice&, const AlarmReport& report) {
  const auto event =
      alarms_.report(settings_.name, report, publication_ ? publication_->time : local_time_text());
  if (!event) return;
  history_.add_alarm_event(*event);
  console_.alarm(*event);
  if (observer_) observer_->alarm_event(*event);
}

void Station::save_history(SMDVDevice&, const unsigned char* data, unsigned int len) {
  StoredRecord stored;
  stored.time = publication_ ? publication_->time : local_time_text();
  stored.device = settings_.name;
  stored.data_id = settings_.data_id;
  stored.round_seconds = publication_ ? publication_->seconds : 0;
  stored.bytes.assign(data, data + len);
  stored.restored = publication_ && publication_->restored;
  history_.add_record(stored);
}

void Station::after_device_call() {
  history_.commit();
  console_.pass_device_output();
  if (!publication_) return;
  const Publication publication = std::move(*publication_);
  publication_.reset();
  if (publication.restored) {
    ++counters_.restored;
  } else {
    ++counters_.rounds;
  }
  last_round_time_ = publication.time;
  last_record_ = publication.record;
  console_.round(RoundReport{settings_.name, publication.time, counters_.rounds,
                             publication.seconds, publication.restored, &publication.record,
                             alarms_.active()});
  if (observer_) observer_->round_completed(*this);
  if (on_round_ && !publication.restored) on_round_(*this);
}

}  // namespace kelvra::line
