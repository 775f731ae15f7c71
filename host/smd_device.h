#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/host_api.h"
#include "host/host_services.h"

// The host's record of one batch threshold check; devices only pass it through.
struct KELVRA_HOST_API rule_value {
  std::string name;
  float value = 0.0f;
  int level = 0;
};

// The host's controller of a device tree; devices only hold a weak reference to it.
class KELVRA_HOST_API SMDController {
 public:
  virtual ~SMDController();
};

// Host time value of 7 bytes: year (16-bit, least significant byte first), month 1-12, day 1-31,
// hour 0-23, minute 0-59, second 0-59. A time that is not a date gives 7 zero bytes.
using ttime = std::array<unsigned char, 7>;
KELVRA_HOST_API ttime get_ttime(boost::posix_time::ptime time);

// The interface through which the host reaches any device.
class KELVRA_HOST_API VDeviceInterface {
 public:
  VDeviceInterface();

  virtual float Get_Value(unsigned int, const std::string&) const {
    throw std::out_of_range("数据未就绪");
  }
  // Hands the string's bytes to the byte-wise overload; a string longer than an int can count is
  // refused rather than truncated.
  virtual bool LoadFromCache(const std::string& cache) {
    if (cache.size() > static_cast<std::size_t>(INT32_MAX)) return false;
    return LoadFromCache(reinterpret_cast<const unsigned char*>(cache.data()),
                         static_cast<int>(cache.size()));
  }
  virtual bool LoadFromCache(const unsigned char* data, int len);
  virtual std::uint32_t DataId() const { return data_id_; }
  virtual const std::string& DeviceType() const { return device_type_; }
  virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                              int& out_written);
  virtual void RoundDone();
  virtual bool UseControllerDb() { return use_controller_db_; }
  virtual ~VDeviceInterface();

  std::uint32_t data_id_ = 0;
  std::string device_type_;
  bool use_controller_db_ = false;
};

// A virtual device: publication, analog reports, threshold rules and history.
class KELVRA_HOST_API SMDVDevice : public VDeviceInterface {
 public:
  SMDVDevice();
  ~SMDVDevice() override;

  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& out_written) override;

  virtual void Reset();
  virtual bool InitV(SMDVDevice* parent, unsigned int id, const Json::Value& settings);
  virtual bool Init(std::weak_ptr<SMDController> controller, unsigned int id,
                    const Json::Value& settings);
  virtual bool InitSetting(const Json::Value& settings);
  virtual bool IsSupportDevice(const std::string& type) const;
  virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int) { return {}; }
  virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() { return {}; }
  virtual bool SendSP(int id, const unsigned char* data, unsigned int len, bool flag);
  virtual bool SendDelayData(int delay);
  virtual bool SendDoData(int channel, char value);
  virtual int ReadDi(int channel);
  virtual float ReadAi(int channel);
  virtual float Get_SP_Value(unsigned int index, const std::string& key);

  bool CheckAOReport(const std::string& name, float value);
  bool CheckThreshold(const std::string& name, const std::string& unit, const float& value,
                      int count);
  bool CheckThresholdBool(int level, const std::string& key, const std::string& id,
                          const std::string& name, const std::string& text, bool state,
                          unsigned short seq);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  bool SaveDeviceHistory(const unsigned char* data, unsigned int len);

  // The embedding program's services for this device; nullptr restores the harmless defaults.
  void AttachHost(HostServices* services);
  HostServices& host() const { return *services_; }

  unsigned short rule_seq_ = 1;
  // Local time of the last completed round; the epoch lets the first round start at once.
  boost::posix_time::ptime last_round_time_;
  unsigned char data_valid_ = 0;
  std::vector<rule_value> rule_values_;
  bool threshold_changed_ = false;
  std::vector<std::string> ao_signals_;
  std::map<std::string, float> ao_values_;
  std::map<std::string, int> threshold_levels_;
  std::map<std::string, float> threshold_values_;

 private:
  HostServices* services_;
};

enum class EnumParity { None, Odd, Even };

// A device on a serial port: the port, the exchange in progress and its timing.
class KELVRA_HOST_API SMDSPDevice : public SMDVDevice {
 public:
  SMDSPDevice();
  ~SMDSPDevice() override;

  void Reset() override;
  bool Init(std::weak_ptr<SMDController> controller, unsigned int id,
            const Json::Value& settings) override;

  virtual bool RefreshStatus();
  virtual bool process(unsigned char* data, unsigned int len);
  virtual bool IsProcessing();
  virtual bool IsStalled();
  virtual bool SendData(const unsigned char* data, unsigned int len);
  virtual bool SendParityData(const unsigned char* data, unsigned int len, EnumParity parity);
  virtual bool OpenPort();
  virtual void ClosePort();

  int baud_rate_ = 9600;
  int wait_time_ = 0;
  unsigned char serial_flag_ = 0;

  // True from a command sent until its exchange finished (answered, failed or reset).
  bool exchange_open_ = false;
};
