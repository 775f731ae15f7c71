#include "host/pmbus_protocol.h"

PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

bool PMBusProtocol::InitSetting(const Json::Value& settings) {
  return host().init_setting(*this, settings);
}

bool PMBusProtocol::process(unsigned char* data, unsigned int len) {
  const std::uint64_t sent_before = commands_sent_;
  response_ = data;
  response_len_ = data != nullptr ? len : 0;
  const bool result = process_payload();
  response_ = nullptr;
  response_len_ = 0;
  if (commands_sent_ == sent_before) exchange_open_ = false;
  return result;
}

void PMBusProtocol::process_error() {
  exchange_open_ = false;
  host().process_error(*this);
}

void PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
  write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

void PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                    const unsigned char* info, int len) {
  if (info == nullptr || len < 0) len = 0;
  ++commands_sent_;
  exchange_open_ = true;
  host().send_command(*this, cid1, cid2, info, len);
}
