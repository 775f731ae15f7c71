#include "host/host_services.h"

HostServices::~HostServices() = default;

bool HostServices::refresh_allowed(SMDSPDevice&) {
  return true;
}
void HostServices::send_command(SMDSPDevice&, std::uint8_t, std::uint8_t, const std::uint8_t*,
                                int) {}
bool HostServices::open_port(SMDSPDevice&) {
  return true;
}
void HostServices::reset(SMDSPDevice&) {}
void HostServices::process_error(SMDSPDevice&) {}
bool HostServices::init_setting(SMDSPDevice&, const Json::Value&) {
  return true;
}
void HostServices::publish(SMDVDevice&, int, const unsigned char*, unsigned int, bool) {}
bool HostServices::ao_report(SMDVDevice&, const std::string&, float) {
  return false;
}
void HostServices::ao_threshold(SMDVDevice&, const std::string&, const std::string&, float, int) {}
void HostServices::alarm(SMDVDevice&, const AlarmReport&) {}
bool HostServices::batch_check(SMDVDevice&, const std::vector<rule_value>&) {
  return false;
}
void HostServices::save_history(SMDVDevice&, const unsigned char*, unsigned int) {}

HostServices& null_host_services() {
  static HostServices services;
  return services;
}
