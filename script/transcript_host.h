#pragma once

#include <cstdint>
#include <optional>

#include "host/smd_device.h"
#include "script/transcript.h"

namespace scripted_host {

// Host services that write each call of the device as a transcript event and answer with the
// results the script set.
class TranscriptHost : public HostServices {
 public:
  explicit TranscriptHost(Transcript& transcript) : transcript_(transcript) {}

  bool refresh_allowed(SMDSPDevice& device) override;
  void send_command(SMDSPDevice& device, std::uint8_t cid1, std::uint8_t cid2,
                    const std::uint8_t* info, int len) override;
  bool open_port(SMDSPDevice& device) override;
  void reset(SMDSPDevice& device) override;
  void publish(SMDVDevice& device, int id, const unsigned char* data, unsigned int len,
               bool flag) override;
  bool ao_report(SMDVDevice& device, const std::string& name, float value) override;
  void ao_threshold(SMDVDevice& device, const std::string& name, const std::string& unit,
                    float value, int count) override;
  void alarm(SMDVDevice& device, const AlarmReport& report) override;
  bool batch_check(SMDVDevice& device, const std::vector<rule_value>& rules) override;
  void save_history(SMDVDevice& device, const unsigned char* data, unsigned int len) override;

  // Answers of the host's own round check, CheckAOReport and DoBatchCheckThreshold.
  bool refresh_answer = true;
  bool ao_report_answer = false;
  bool batch_answer = false;

  // CID1 of the last command the device sent; nullopt before the first.
  std::optional<std::uint8_t> last_cid1() const { return last_cid1_; }

 private:
  Transcript& transcript_;
  std::optional<std::uint8_t> last_cid1_;
};

}  // namespace scripted_host
