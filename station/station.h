// One polled device: the plug-in object and the host services it calls, driven by its line.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "frame-codec/frame_codec.h"
#include "history/history_store.h"
#include "host/pmbus_protocol.h"
#include "hostkit/plugin_loader.h"
#include "hostkit/turn_clock.h"
#include "record/kelvra_419_data.h"
#include "serial/line_client.h"
#include "station/alarm_engine.h"
#include "station/comm_watch.h"
#include "station/console.h"
#include "station/device_settings.h"
#include "station/run_events.h"

namespace kelvra::station {

struct StationCounters {
  std::uint64_t commands = 0;  // written to the line
  std::uint64_t answers = 0;   // valid responses handed to process
  std::uint64_t timeouts = 0;  // no valid response within the response timeout
  std::uint64_t refused = 0;   // responses with a return code other than 0
  std::uint64_t rounds = 0;    // completed poll rounds
  std::uint64_t restored = 0;  // records handed back from history
  // Longest time from one round's first command to the next round's, the port's downtime included.
  std::chrono::milliseconds longest_round_gap{0};
};

// Where the record a station shows comes from: nothing yet, history at start, a live round, or a
// live round no longer fed (the line down or no round within the communication-lost time).
enum class DataSource { kNone, kRestored, kLive, kStale };

const char* data_source_name(DataSource source);

// The device's poll state in words: "idle", "waiting for 41/43", "control 310 in flight".
// `wait_time` marks a switch command (320) on the line; `exchange_open` whether one is.
std::string poll_state_name(int poll_state, int wait_time, bool exchange_open);

// The key and text of the host's own alarm for a device that stopped answering.
inline constexpr const char* kCommLostKey = "COMM_LOST";
inline constexpr const char* kCommLostText = "communication lost";

// What a station is now, typed, for the interfaces that show it (web, MQTT and the ones after):
// read whole on the run's thread, never parsed back out of JSON.
struct StationSnapshot {
  std::string device;
  std::string port;
  std::uint8_t address = 0;
  std::uint32_t data_id = 0;
  bool link_up = false;
  int poll_state = 0;
  std::string poll_state_name;
  bool data_valid = false;
  DataSource source = DataSource::kNone;
  bool comm_lost = false;
  bool stale = true;
  std::optional<std::int64_t> record_time_ms;  // UTC of the record shown
  std::optional<double> age_s;                 // since the record shown was made
  std::optional<std::int64_t> last_round_ms;   // UTC of the last live round
  std::optional<kelvra_419_Data_t> record;
  StationCounters counters;
  std::vector<AlarmState> alarms;  // every alarm the device reported, raised or not, key order
};

class Station : public HostServices, public serial::LineClient {
 public:
  // Throws std::runtime_error when the plug-in's device is not a command/response device.
  Station(DeviceSettings settings, kelvra::hostkit::DevicePtr device, Console& console,
          history::HistoryStore& history, const hostkit::TurnClock& clock);
  ~Station() override;
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Hands the device its host members and settings; the line carries its commands.
  void configure(serial::LineAccess& line);
  // Takes the alarms history holds raised as active, and gives the newest stored record to
  // LoadFromCache, as a host restores its cache; the first live round then reads every command
  // and clears those alarms it no longer finds.
  bool restore_from_history();
  // The next round reads every command, as a first round does: what changed on the equipment
  // while it was out of reach is unknown. Value queries are refused while that round runs.
  void read_everything_next_round() { full_round_due_ = true; }

  // serial::LineClient: RefreshStatus on its turn; what came back handed to process.
  bool start_round() override;
  void answer(std::vector<std::uint8_t> decoded) override;
  void refused_answer() override;
  void no_answer() override;
  // True when no exchange of this device is open or waiting.
  bool idle() const;

  // Raises COMM_LOST when the line is down or no round completed within the communication-lost
  // time; called on the run's timer.
  void watch_communication();
  // True when no round completed within the communication-lost time since the last one (or the
  // start), whatever the line's state.
  bool overdue() const;

  // Requests from the control socket; each answers a JSON object. Query replies say where the
  // data comes from and how old it is.
  Json::Value query(const std::string& key);
  // Every field of the record shown, with its readable name and unit.
  Json::Value query_all() const;
  Json::Value control(int code, const std::string& argument);
  Json::Value control_readback();
  // The commands other than poll commands put on the line since the last control request,
  // as "42/48 DC00005642".
  const std::vector<std::string>& control_commands_sent() const { return control_sent_; }
  // The control socket's status object, made from the snapshot.
  Json::Value status() const;
  StationSnapshot snapshot() const;

  // kStale instead of kLive once the line is down or the communication-lost time has passed.
  DataSource data_source() const;
  bool comm_lost() const { return comm_.state() == CommWatch::State::kLost; }
  // UTC milliseconds of the record shown: when it was published, or for a restored record the
  // round time it carries; none before the first.
  std::optional<std::int64_t> record_time_ms() const { return record_time_ms_; }
  // Seconds since the record shown was made, in whole milliseconds; none before the first.
  std::optional<double> data_age_s() const;
  bool stale() const { return data_source() != DataSource::kLive; }
  // "restored from history, record of 2026-12-07 21:04:07, no live round yet", "live, record of
  // 21:04:07, 0.8 s old" and the like.
  std::string data_text() const;

  const DeviceSettings& settings() const { return settings_; }
  const StationCounters& counters() const { return counters_; }
  // Every alarm the device reported, raised or not.
  std::vector<AlarmState> alarm_states() const { return alarms_.states(); }
  // The record of the last round or restore, and when it was published; none before the first.
  const std::optional<kelvra_419_Data_t>& last_record() const { return last_record_; }
  // Where every alarm event and completed round of this station is also told.
  void set_observer(RunObserver* observer) { observer_ = observer; }
  // Called after every completed round with this station's round count.
  void on_round(std::function<void(const Station&)> callback) { on_round_ = std::move(callback); }

  // HostServices
  void send_command(SMDSPDevice& device, std::uint8_t cid1, std::uint8_t cid2,
                    const std::uint8_t* info, int len) override;
  bool open_port(SMDSPDevice& device) override;
  void publish(SMDVDevice& device, int id, const unsigned char* data, unsigned int len,
               bool flag) override;
  bool ao_report(SMDVDevice& device, const std::string& name, float value) override;
  void alarm(SMDVDevice& device, const AlarmReport& report) override;
  void save_history(SMDVDevice& device, const unsigned char* data, unsigned int len) override;

 private:
  struct Publication {
    double seconds;
    bool restored;
    kelvra_419_Data_t record;
    std::int64_t time_ms;  // UTC
  };

  // Ends what a device call started: commits the round's history and reports the round.
  void after_device_call();
  // Hands an alarm report to the engine (not a restored record's); a change is told.
  void report_alarm(const AlarmReport& report);
  // Stores, prints and tells an alarm event.
  void tell_alarm(const events::AlarmEvent& event);
  // COMM_LOST raised or cleared; once lost, the next round reads every command.
  void apply_comm_change(const std::optional<CommWatch::Change>& change);
  // The source, record time, age and stale members of a status or query reply.
  void describe_data(Json::Value& reply) const;
  // Says once per run that the equipment reports more modules than the record holds.
  void check_module_count(const kelvra_419_Data_t& record);
  void fill_analog_values(const kelvra_419_Data_t& record);

  DeviceSettings settings_;
  kelvra::hostkit::DevicePtr device_;
  PMBusProtocol* protocol_;
  Console& console_;
  history::HistoryStore& history_;
  const hostkit::TurnClock& clock_;  // the loop turn's time
  serial::LineAccess* line_ = nullptr;
  AlarmEngine alarms_;
  StationCounters counters_;
  std::map<std::string, float> reported_analog_;
  std::optional<std::chrono::steady_clock::time_point> round_started_;
  std::optional<std::chrono::steady_clock::time_point> last_round_start_;
  bool restoring_ = false;
  bool full_round_due_ = false;  // the next round started is made a first round
  std::optional<Publication> publication_;
  std::optional<std::int64_t> last_round_ms_;  // UTC of the last live round
  std::optional<kelvra_419_Data_t> last_record_;
  RunObserver* observer_ = nullptr;
  std::function<void(const Station&)> on_round_;
  DataSource source_ = DataSource::kNone;
  std::optional<std::int64_t> record_time_ms_;
  std::optional<std::chrono::steady_clock::time_point> live_since_;  // last live publication
  std::optional<std::int64_t> restored_time_ms_;  // round time of the record given to restore
  std::optional<std::array<std::uint8_t, 7>> restored_round_time_;  // as the record holds it
  CommWatch comm_;
  bool module_count_said_ = false;
  std::vector<std::string> control_sent_;
};

}  // namespace kelvra::station
