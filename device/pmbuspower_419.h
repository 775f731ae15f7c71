#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <json/value.h>

#include "device/byte_reader.h"
#include "device/uni_data_device.h"
#include "host/pmbus_protocol.h"
#include "record/wire_types.h"

// The power system's protocol: the poll cycle over the AC distribution (CID1 0x40), rectifier
// (0x41) and DC distribution (0x42) units, their response decoders, value queries, control
// requests and the generic threshold rules. Data is the record, SpId its publication id.
template <class Data, int SpId>
class pmbuspower_419 : public UniDataDevice<Data, PMBusProtocol, SpId> {
 public:
  using Base = UniDataDevice<Data, PMBusProtocol, SpId>;

  // Poll states: the command in flight.
  enum PollState : int {
    kAcAnalog = 0,
    kAcSwitch = 1,
    kAcAlarm = 2,
    kRectAnalog = 4,
    kRectSwitch = 5,
    kRectAlarm = 6,
    kDcAnalog = 7,
    kDcAlarm = 8,
    kIdle = 10,
  };

  pmbuspower_419();

  float Get_Value(unsigned int index, const std::string& key) const override;
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& out_written) override;
  bool InitSetting(const Json::Value& settings) override;
  bool RefreshStatus() override;
  bool process_payload() override;
  void RunCheckThreshold() override;

  // Response decoders. Each reads info[0, len), writes the record as it reads, and returns the
  // bytes consumed or -1 when the response is shorter than its counts require. The rectifier
  // decoders take INFO from its DATAFLAG byte on; the others take INFO behind the DATAFLAG.
  int parse40_41(const unsigned char* info, int len);
  int parse40_43(const unsigned char* info, int len);
  int parse40_44(const unsigned char* info, int len);
  int parse41_41(const unsigned char* info, int len);
  int parse41_43(const unsigned char* info, int len);
  int parse41_44(const unsigned char* info, int len);
  int parse42_41(const unsigned char* info, int len);
  int parse42_41_2(const unsigned char* info, int len);
  int parse42_44(const unsigned char* info, int len);
  int parse42_44_2(const unsigned char* info, int len);

  // Outcome of the last control command: -1 pending, 1 answered.
  int control_result_ = -1;
  // The one INFO byte of AC commands, and of DC commands at protocol version 0x21.
  std::uint8_t cmd_info_ = 1;
  // DATAFLAG of the last rectifier analog response; steers both optional rectifier commands.
  std::uint8_t rect_dataflag_ = 0;
  bool has_ac_ = true;
  bool has_dc_ = false;
  // DC analog response format: -1 not yet known, 1 without unit-count byte, else with it.
  int no_dc_number_ = -1;
  bool has_a_ = true;
  bool has_b_ = true;
  bool has_c_ = true;
  // Integer factor applied to the received DC current.
  int dc_i_adjust_ = 1;

  // A control command asked for while a poll round is in flight, sent when the round ends.
  struct HeldControl {
    int code = 0;  // request code 300, 310 or 320; 0 when nothing is held
    std::uint8_t cid1 = 0;
    std::uint8_t cid2 = 0;
    std::uint8_t info[7] = {};
    int len = 0;
  };
  HeldControl held_control_;

 protected:
  using DcUnit = decltype(Data::dc);

  // What a missing float becomes: 0.0 in the AC channel values, -0.1 elsewhere.
  static constexpr float kMissingChannelValue = 0.0f;
  static constexpr float kMissingValue = -0.1f;

  // True for the equipment's "value missing" float: four identical bytes, the first not zero.
  static bool is_invalid_marker(const std::uint8_t* bytes);
  // Reads one float into field, storing missing in place of the invalid marker. Returns the four
  // bytes as received, or nullptr when fewer remain.
  static const std::uint8_t* take_marked_float(ByteReader& in, f32le& field, float missing);
  // Entry i of a record array, or scratch when i lies beyond the array's room: blocks beyond the
  // room are decoded into scratch and dropped.
  template <class Entry, std::size_t Room>
  static Entry& entry_or_scratch(Entry (&entries)[Room], int i, Entry& scratch) {
    return static_cast<std::size_t>(i) < Room ? entries[i] : scratch;
  }
  // One DC unit's analog and alarm blocks, shared by the first and the second unit.
  int parse_dc_analog(DcUnit& unit, const unsigned char* info, int len);
  int parse_dc_alarm(DcUnit& unit, const unsigned char* info, int len);

  // Completes the round, returns to idle and sends a held control command; always false.
  bool end_round();
  // Sends and clears the held control command, if any.
  void send_held_control();
  // Sends the next poll command and records its state; always true.
  bool send_poll(int state, std::uint8_t cid1, std::uint8_t cid2);
};

template <class Data, int SpId>
pmbuspower_419<Data, SpId>::pmbuspower_419() {
  this->baud_rate_ = 9600;
  this->serial_flag_ = 1;
  this->protocol_ver_ = 0x20;
}

#include "device/pmbuspower_419_access.ipp"
#include "device/pmbuspower_419_decoders.ipp"
#include "device/pmbuspower_419_poll.ipp"
#include "device/pmbuspower_419_rules.ipp"
