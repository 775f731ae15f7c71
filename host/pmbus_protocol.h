#pragma once

#include <cstdint>

#include "host/smd_device.h"

// The command/response protocol layer: sends commands and hands each valid decoded response to
// process_payload. A decoded response is VER, ADR, CID1, RTN, the length field (16-bit, least
// significant byte first, twice the INFO byte count), then INFO.
class KELVRA_HOST_API PMBusProtocol : public SMDSPDevice {
 public:
  PMBusProtocol();
  ~PMBusProtocol() override;

  bool InitSetting(const Json::Value& settings) override;
  // Makes data the current response_ for the duration of process_payload; an exchange in which
  // process_payload sent no further command is finished.
  bool process(unsigned char* data, unsigned int len) override;

  virtual bool process_payload() = 0;
  virtual void process_error();

  void write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
  void write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info, int len);

  // The response being processed and the number of its bytes actually received; null between
  // responses.
  unsigned char* response_ = nullptr;
  unsigned int response_len_ = 0;
  int poll_state_ = 10;
  unsigned char protocol_ver_ = 0x20;
  // Commands written since construction; tells the framework whether a response led to another.
  std::uint64_t commands_sent_ = 0;
};
