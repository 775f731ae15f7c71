#include "station/station.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "device/control_codes.h"
#include "hostkit/hex.h"
#include "hostkit/local_time.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::station {
namespace {

// Local "YYYY-MM-DD HH:MM:SS" of a UTC millisecond time; with `short_today`, only the time of
// day when it is the same day as `now_ms`.
std::string local_text(std::int64_t ms, bool short_today, std::int64_t now_ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  const std::time_t today = static_cast<std::time_t>(now_ms / 1000);
  std::tm then{};
  std::tm now{};
  localtime_r(&seconds, &then);
  localtime_r(&today, &now);
  const bool same_day = then.tm_year == now.tm_year && then.tm_yday == now.tm_yday;
  char text[32];
  std::strftime(text, sizeof text, short_today && same_day ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S",
                &then);
  return text;
}

struct PollCommand {
  int state;
  const char* command;  // CID1/CID2
};

// The device's poll states and the command each one waits for.
constexpr PollCommand kPollCommands[] = {
    {0, "40/41"}, {1, "40/43"}, {2, "40/44"}, {4, "41/41"},
    {5, "41/43"}, {6, "41/44"}, {7, "42/41"}, {8, "42/44"},
};
bool is_poll_command(std::uint8_t cid1, std::uint8_t cid2) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X/%02X", cid1, cid2);
  for (const PollCommand& poll : kPollCommands) {
    if (text == std::string(poll.command)) return true;
  }
  return false;
}

}  // namespace

const char* data_source_name(DataSource source) {
  switch (source) {
    case DataSource::kRestored:
      return "restored";
    case DataSource::kLive:
      return "live";
    case DataSource::kStale:
      return "stale";
    case DataSource::kNone:
      break;
  }
  return "none";
}

std::string poll_state_name(int poll_state, int wait_time, bool exchange_open) {
  if (!exchange_open) return "idle";
  if (poll_state == pmbuspower_control::kRectifierCommand ||
      poll_state == pmbuspower_control::kSetDcValue) {
    return "control " + std::to_string(poll_state) + " in flight";
  }
  for (const PollCommand& poll : kPollCommands) {
    if (poll.state == poll_state) return std::string("waiting for ") + poll.command;
  }
  if (wait_time == pmbuspower_control::kRectifierSwitch) return "control 320 in flight";
  return "idle";
}

Station::Station(DeviceSettings settings, kelvra::hostkit::DevicePtr device, Console& console,
                 history::HistoryStore& history, const hostkit::TurnClock& clock)
    : settings_(std::move(settings)),
      device_(std::move(device)),
      protocol_(dynamic_cast<PMBusProtocol*>(device_.get())),
      console_(console),
      history_(history),
      clock_(clock),
      comm_(comm_lost_after(settings_), clock.steady()) {
  if (protocol_ == nullptr) {
    throw std::runtime_error("the plug-in's device does not use the command/response protocol");
  }
}

Station::~Station() {
  history_.commit();
  device_->AttachHost(nullptr);
}

void Station::configure(serial::LineAccess& line) {
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
  for (const events::AlarmEvent& raised : history_.open_alarms(settings_.name)) {
    alarms_.restore(raised);
  }
  const auto stored = history_.latest_record(settings_.data_id);
  if (!stored) return false;
  const auto record = record::from_bytes(stored->data(), stored->size());
  restored_round_time_.reset();
  restored_time_ms_.reset();
  if (record) {
    restored_round_time_.emplace();
    std::copy(std::begin(record->round_time), std::end(record->round_time),
              restored_round_time_->begin());
    restored_time_ms_ = record::time_ms(record->round_time);
  }
  restoring_ = true;
  const bool accepted = device_->LoadFromCache(stored->data(), static_cast<int>(stored->size()));
  restoring_ = false;
  read_everything_next_round();
  after_device_call();
  return accepted;
}

bool Station::start_round() {
  const bool started = device_->RefreshStatus();
  if (started && full_round_due_) {
    // The device reads every command while its data is not valid; its answers come after this.
    device_->data_valid_ = 0;
    full_round_due_ = false;
  }
  if (started) {
    const auto now = clock_.steady();
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
  describe_data(reply);
  return reply;
}

Json::Value Station::query_all() const {
  Json::Value reply(Json::objectValue);
  reply["device"] = settings_.name;
  describe_data(reply);
  if (!last_record_) {
    reply["ok"] = false;
    reply["refusal"] = "no record yet";
    return reply;
  }
  reply["ok"] = true;
  reply["fields"] = Json::Value(Json::arrayValue);
  record::for_each_field(*last_record_, [&reply](const record::FieldValue& field) {
    Json::Value entry(Json::objectValue);
    entry["name"] = field.name;
    entry["label"] = field.label;
    entry["unit"] = field.unit;
    entry["value"] = field.value;
    reply["fields"].append(entry);
  });
  return reply;
}

std::optional<double> Station::data_age_s() const {
  if (source_ == DataSource::kLive && live_since_) {
    const auto age =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_.steady() - *live_since_);
    return static_cast<double>(age.count()) / 1000.0;
  }
  if (record_time_ms_) return static_cast<double>(clock_.utc_ms() - *record_time_ms_) / 1000.0;
  return std::nullopt;
}

DataSource Station::data_source() const {
  if (source_ != DataSource::kLive) return source_;
  const bool fed = line_ != nullptr && line_->is_open() && !comm_lost() && !overdue();
  return fed ? DataSource::kLive : DataSource::kStale;
}

std::string Station::data_text() const {
  std::string text;
  const DataSource shown = data_source();
  // Only a live record is surely of today: a restored or stale one may be days old.
  const std::string record_of =
      record_time_ms_
          ? "record of " + local_text(*record_time_ms_, shown == DataSource::kLive, clock_.utc_ms())
          : "record of unknown time";
  char age[32];
  std::snprintf(age, sizeof age, "%.1f s old", data_age_s().value_or(0));
  switch (shown) {
    case DataSource::kNone:
      text = "no data yet";
      break;
    case DataSource::kRestored:
      text = "restored from history, " + record_of + ", no live round yet";
      break;
    case DataSource::kLive:
    case DataSource::kStale:
      text = std::string(data_source_name(shown)) + ", " + record_of + ", " + age;
      break;
  }
  if (comm_lost()) text += "; communication lost";
  return text;
}

void Station::describe_data(Json::Value& reply) const {
  reply["source"] = data_source_name(data_source());
  reply["record_time"] = record_time_ms_
                             ? Json::Value(local_text(*record_time_ms_, false, clock_.utc_ms()))
                             : Json::Value();
  const auto age = data_age_s();
  reply["data_age_s"] = age ? Json::Value(*age) : Json::Value();
  reply["stale"] = stale();
  reply["data"] = data_text();
}

void Station::watch_communication() {
  apply_comm_change(comm_.update(clock_.steady(), line_ != nullptr && !line_->is_lost(), false));
}

bool Station::overdue() const {
  return comm_.overdue(clock_.steady());
}

void Station::apply_comm_change(const std::optional<CommWatch::Change>& change) {
  if (!change) return;
  const bool raised = change->state == CommWatch::State::kLost;
  if (raised) read_everything_next_round();
  const std::string key = kCommLostKey;
  const std::string id = "host";
  const std::string text = kCommLostText;
  report_alarm(AlarmReport{settings_.comm_lost_level, key, id, change->reason, text, raised, 0});
}

Json::Value Station::control(int code, const std::string& argument) {
  Json::Value reply(Json::objectValue);
  reply["device"] = settings_.name;
  reply["code"] = code;
  std::vector<std::uint8_t> input(argument.begin(), argument.end());
  if (code == pmbuspower_control::kRectifierCommand) {
    const auto bytes = hostkit::parse_hex(argument);
    if (!bytes) {
      reply["ok"] = false;
      reply["error"] = "code 300 takes its bytes in hex, e.g. 01020304050607";
      return reply;
    }
    input = *bytes;
  }
  control_sent_.clear();
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

StationSnapshot Station::snapshot() const {
  StationSnapshot snap;
  snap.device = settings_.name;
  snap.port = line_ ? line_->port() : settings_.port;
  snap.address = settings_.address;
  snap.data_id = settings_.data_id;
  snap.link_up = line_ != nullptr && line_->is_open();
  snap.poll_state = protocol_->poll_state_;
  snap.poll_state_name = poll_state_name(protocol_->poll_state_, protocol_->wait_time_,
                                         line_ != nullptr && line_->has_work_for(*this));
  snap.data_valid = device_->data_valid_ == 1;
  snap.source = data_source();
  snap.comm_lost = comm_lost();
  snap.stale = stale();
  snap.record_time_ms = record_time_ms_;
  snap.age_s = data_age_s();
  snap.last_round_ms = last_round_ms_;
  snap.record = last_record_;
  snap.counters = counters_;
  snap.alarms = alarms_.states();
  return snap;
}

Json::Value Station::status() const {
  const StationSnapshot snap = snapshot();
  Json::Value status(Json::objectValue);
  status["device"] = snap.device;
  status["port"] = snap.port;
  status["address"] = snap.address;
  status["data_id"] = snap.data_id;
  status["link"] = snap.link_up ? "up" : "down";
  status["poll_state"] = snap.poll_state;
  status["poll_state_name"] = snap.poll_state_name;
  status["data_valid"] = snap.data_valid;
  status["comm_lost"] = snap.comm_lost;
  describe_data(status);
  status["last_round"] =
      snap.last_round_ms ? hostkit::local_time_text(*snap.last_round_ms) : std::string();
  status["rounds"] = Json::UInt64(snap.counters.rounds);
  status["restored"] = Json::UInt64(snap.counters.restored);
  status["commands"] = Json::UInt64(snap.counters.commands);
  status["answers"] = Json::UInt64(snap.counters.answers);
  status["timeouts"] = Json::UInt64(snap.counters.timeouts);
  status["refused"] = Json::UInt64(snap.counters.refused);
  status["longest_round_gap_ms"] = Json::Int64(snap.counters.longest_round_gap.count());
  status["alarms"] = Json::Value(Json::arrayValue);
  for (const AlarmState& alarm : snap.alarms) {
    if (alarm.active) status["alarms"].append(alarm.text);
  }
  return status;
}

void Station::send_command(SMDSPDevice&, std::uint8_t cid1, std::uint8_t cid2,
                           const std::uint8_t* info, int len) {
  ++counters_.commands;
  frame::Frame command{settings_.ver, settings_.address, cid1, cid2, {}};
  if (info != nullptr && len > 0) command.info.assign(info, info + len);
  if (!is_poll_command(cid1, cid2)) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X/%02X ", cid1, cid2);
    control_sent_.push_back(
        text + hostkit::to_hex(command.info.data(), command.info.size(), hostkit::HexCase::upper));
  }
  line_->submit(*this, std::move(command));
}

bool Station::open_port(SMDSPDevice&) {
  return line_ != nullptr && line_->is_open();
}

void Station::publish(SMDVDevice&, int, const unsigned char* data, unsigned int len, bool) {
  auto record = record::from_bytes(data, len);
  if (!record) {
    console_.note(settings_.name, "publication of " + std::to_string(len) +
                                      " bytes ignored: a record has " +
                                      std::to_string(record::kRecordSize));
    return;
  }
  double seconds = 0;
  if (round_started_ && !restoring_) {
    seconds = std::chrono::duration<double>(clock_.steady() - *round_started_).count();
  }
  round_started_.reset();
  if (restoring_ && restored_round_time_) {
    // The device stamps a restored record as made now; it keeps the time it was made.
    std::copy(restored_round_time_->begin(), restored_round_time_->end(), record->round_time);
  }
  publication_ = Publication{seconds, restoring_, *record, clock_.utc_ms()};
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
  report_alarm(report);
}

void Station::report_alarm(const AlarmReport& report) {
  // The alarms of a restored record are history's own: the engine took them from its events.
  if (restoring_) return;
  const std::int64_t time_ms = publication_ ? publication_->time_ms : clock_.utc_ms();
  const auto event = alarms_.report(settings_.name, report, time_ms);
  if (event) tell_alarm(*event);
}

void Station::tell_alarm(const events::AlarmEvent& event) {
  history_.add_alarm_event(event);
  console_.alarm(event);
  if (observer_) observer_->alarm_event(event);
}

void Station::save_history(SMDVDevice&, const unsigned char* data, unsigned int len) {
  history::StoredRecord stored;
  stored.device = settings_.name;
  stored.data_id = settings_.data_id;
  stored.round_seconds = publication_ ? publication_->seconds : 0;
  stored.bytes.assign(data, data + len);
  stored.restored = publication_ && publication_->restored;
  if (stored.restored && len == record::kRecordSize) {
    const auto* kept = reinterpret_cast<const unsigned char*>(&publication_->record);
    stored.bytes.assign(kept, kept + len);  // with the round time it was made at
  }
  stored.time_ms = publication_ ? publication_->time_ms : clock_.utc_ms();
  history_.add_record(stored);
}

void Station::after_device_call() {
  if (publication_ && !publication_->restored) {
    // The round's own transaction carries the clear of COMM_LOST and of the alarms restored
    // from history that the round, which read every command, no longer reported.
    apply_comm_change(comm_.update(clock_.steady(), true, true));
    for (const auto& cleared : alarms_.settle_restored(settings_.name, publication_->time_ms)) {
      tell_alarm(cleared);
    }
  }
  history_.commit();
  console_.pass_device_output();
  if (!publication_) return;
  const Publication publication = *publication_;
  publication_.reset();
  if (publication.restored) {
    ++counters_.restored;
    if (source_ == DataSource::kNone) {
      source_ = DataSource::kRestored;
      record_time_ms_ = restored_time_ms_;
    }
  } else {
    ++counters_.rounds;
    source_ = DataSource::kLive;
    record_time_ms_ = clock_.utc_ms();
    live_since_ = clock_.steady();
    last_round_ms_ = publication.time_ms;
  }
  last_record_ = publication.record;
  check_module_count(publication.record);
  console_.round(events::RoundEvent{publication.time_ms, settings_.name, counters_.rounds,
                                    publication.seconds, publication.restored, &publication.record,
                                    alarms_.active()});
  if (observer_) observer_->round_completed(*this);
  if (on_round_ && !publication.restored) on_round_(*this);
}

void Station::check_module_count(const kelvra_419_Data_t& record) {
  if (module_count_said_ || record.rc.channel_count <= kelvra_419_Data_t::RC_CHANNEL_ROOM) return;
  module_count_said_ = true;
  console_.note(settings_.name, "equipment reports " + std::to_string(record.rc.channel_count) +
                                    " modules; the record holds " +
                                    std::to_string(kelvra_419_Data_t::RC_CHANNEL_ROOM));
}

}  // namespace kelvra::station
