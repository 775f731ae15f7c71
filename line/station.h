// One polled device: the plug-in object and the host services it calls, driven by its line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "frame-codec/frame_codec.h"
#include "host/pmbus_protocol.h"
#include "hostkit/plugin_loader.h"
#include "line/alarm_engine.h"
#include "line/console.h"
#include "line/history_store.h"
#include "line/run_events.h"
#include "line/settings.h"
#include "record/kelvra_419_data.h"

namespace kelvra::line {

class SerialLine;

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

class Station : public HostServices {
 public:
  // Throws std::runtime_error when the plug-in's device is not a command/response device.
  Station(DeviceSettings settings, kelvra::hostkit::DevicePtr device, Console& console,
          HistoryStore& history);
  ~Station() override;
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Hands the device its host members and settings; the line carries its commands.
  void configure(SerialLine& line);
  // Gives the newest stored record to LoadFromCache, as a host restores its cache.
  bool restore_from_history();

  // Calls RefreshStatus; true when a round started.
  bool start_round();
  // A checked response with RTN 0, in the decoded layout process takes.
  void answer(std::vector<std::uint8_t> decoded);
  // A response with another RTN, or none within the timeout.
  void refused_answer();
  void no_answer();
  // True when no exchange of this device is open or waiting.
  bool idle() const;

  // Requests from the control socket; each answers a JSON object.
  Json::Value query(const std::string& key);
  Json::Value control(int code, const std::string& argument);
  Json::Value control_readback();
  Json::Value status() const;

  const DeviceSettings& settings() const { return settings_; }
  const StationCounters& counters() const { return counters_; }
  // The record of the last round or restore, and when it was published; none before the first.
  const std::optional<kelvra_419_Data_t>& last_record() const { return last_record_; }
  const std::string& last_round_time() const { return last_round_time_; }
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
    std::string time;
    double seconds;
    bool restored;
    kelvra_419_Data_t record;
  };

  // Ends what a device call started: commits the round's history and reports the round.
  void after_device_call();
  void fill_analog_values(const kelvra_419_Data_t& record);

  DeviceSettings settings_;
  kelvra::hostkit::DevicePtr device_;
  PMBusProtocol* protocol_;
  Console& console_;
  HistoryStore& history_;
  SerialLine* line_ = nullptr;
  AlarmEngine alarms_;
  StationCounters counters_;
  std::map<std::string, float> reported_analog_;
  std::optional<std::chrono::steady_clock::time_point> round_started_;
  std::optional<std::chrono::steady_clock::time_point> last_round_start_;
  bool restoring_ = false;
  std::optional<Publication> publication_;
  std::string last_round_time_;
  std::optional<kelvra_419_Data_t> last_record_;
  RunObserver* observer_ = nullptr;
  std::function<void(const Station&)> on_round_;
};

}  // namespace kelvra::line
