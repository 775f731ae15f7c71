#include "host/smd_device.h"

#include <boost/date_time/gregorian/gregorian_types.hpp>

SMDController::~SMDController() = default;

ttime get_ttime(boost::posix_time::ptime time) {
  ttime out{};
  if (time.is_special()) return out;
  const auto date = time.date();
  const auto clock = time.time_of_day();
  const unsigned year = static_cast<unsigned>(date.year());
  out[0] = static_cast<unsigned char>(year & 0xFF);
  out[1] = static_cast<unsigned char>(year >> 8);
  out[2] = static_cast<unsigned char>(date.month().as_number());
  out[3] = static_cast<unsigned char>(date.day().as_number());
  out[4] = static_cast<unsigned char>(clock.hours());
  out[5] = static_cast<unsigned char>(clock.minutes());
  out[6] = static_cast<unsigned char>(clock.seconds());
  return out;
}

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

bool VDeviceInterface::LoadFromCache(const unsigned char*, int) {
  return false;
}

int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int, int& out_written) {
  out_written = 0;
  return -1;
}

void VDeviceInterface::RoundDone() {}

SMDVDevice::SMDVDevice()
    : last_round_time_(boost::gregorian::date(1970, 1, 1)), services_(&null_host_services()) {}
SMDVDevice::~SMDVDevice() = default;

int SMDVDevice::DeviceIoControl(int, const void*, int, void*, int, int& out_written) {
  out_written = 0;
  return -1;
}

void SMDVDevice::Reset() {}
bool SMDVDevice::InitV(SMDVDevice*, unsigned int id, const Json::Value&) {
  data_id_ = id;
  return true;
}
bool SMDVDevice::Init(std::weak_ptr<SMDController>, unsigned int id, const Json::Value&) {
  data_id_ = id;
  return true;
}
bool SMDVDevice::InitSetting(const Json::Value&) {
  return true;
}
bool SMDVDevice::IsSupportDevice(const std::string& type) const {
  return type == device_type_;
}

bool SMDVDevice::SendSP(int id, const unsigned char* data, unsigned int len, bool flag) {
  services_->publish(*this, id, data, len, flag);
  return true;
}
bool SMDVDevice::SendDelayData(int) {
  return false;
}
bool SMDVDevice::SendDoData(int, char) {
  return false;
}
int SMDVDevice::ReadDi(int) {
  return 0;
}
float SMDVDevice::ReadAi(int) {
  return 0.0f;
}
float SMDVDevice::Get_SP_Value(unsigned int, const std::string&) {
  return 0.0f;
}

bool SMDVDevice::CheckAOReport(const std::string& name, float value) {
  return services_->ao_report(*this, name, value);
}

bool SMDVDevice::CheckThreshold(const std::string& name, const std::string& unit,
                                const float& value, int count) {
  services_->ao_threshold(*this, name, unit, value, count);
  return true;
}

bool SMDVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& id,
                                    const std::string& name, const std::string& text, bool state,
                                    unsigned short seq) {
  services_->alarm(*this, AlarmReport{level, key, id, name, text, state, seq});
  return true;
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  return services_->batch_check(*this, rules);
}

bool SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int len) {
  services_->save_history(*this, data, len);
  return true;
}

void SMDVDevice::AttachHost(HostServices* services) {
  services_ = services != nullptr ? services : &null_host_services();
}

SMDSPDevice::SMDSPDevice() = default;
SMDSPDevice::~SMDSPDevice() = default;

void SMDSPDevice::Reset() {
  exchange_open_ = false;
  host().reset(*this);
}

bool SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int id,
                       const Json::Value& settings) {
  return SMDVDevice::Init(std::move(controller), id, settings);
}

bool SMDSPDevice::RefreshStatus() {
  return host().refresh_allowed(*this);
}
bool SMDSPDevice::process(unsigned char*, unsigned int) {
  return false;
}
bool SMDSPDevice::IsProcessing() {
  return exchange_open_;
}
bool SMDSPDevice::IsStalled() {
  return false;
}
bool SMDSPDevice::SendData(const unsigned char*, unsigned int) {
  return false;
}
bool SMDSPDevice::SendParityData(const unsigned char*, unsigned int, EnumParity) {
  return false;
}
bool SMDSPDevice::OpenPort() {
  return host().open_port(*this);
}
void SMDSPDevice::ClosePort() {}
