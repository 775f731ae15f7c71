// `send`: one command, its answer, and for the eight poll commands the answer's INFO decoded by
// the plug-in's own decoders into record fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "fieldtools/command_port.h"
#include "hostkit/input_error.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::fieldtools {

// A command refused before anything is written: a control command without leave to send one.
class SendRefused : public hostkit::InputError {
 public:
  using hostkit::InputError::InputError;
};

// 0x41/0x4E, 0x42/0x48 and 0x41/0x45 change the equipment.
bool is_control_command(std::uint8_t cid1, std::uint8_t cid2);
// The commands of a poll round, whose answers the plug-in decodes.
bool is_poll_command(std::uint8_t cid1, std::uint8_t cid2);

// A command code as two hex digits, with or without 0x ("41", "0x4E"); throws SendRefused
// naming `what`.
std::uint8_t parse_code(const std::string& what, const std::string& text);
// INFO as pairs of hex digits ("01", "DC00005C42", blanks between pairs); throws SendRefused.
std::vector<std::uint8_t> parse_info(const std::string& text);
// What an answer's RTN means, with what the sender may do about it ("CID2 invalid: ...").
std::string rtn_meaning(const frame::Frame& command, const frame::Frame& answer);

struct SendRequest {
  std::uint8_t address = 1;
  std::uint8_t ver = 0x20;
  std::uint8_t cid1 = 0;
  std::uint8_t cid2 = 0;
  std::vector<std::uint8_t> info;
  bool allow_control = false;
  std::chrono::milliseconds timeout{1000};
};

struct SendResult {
  frame::Frame command;
  Exchange exchange;
  // The record fields the plug-in decoded from an RTN 0 answer to a poll command, in record order.
  std::vector<record::FieldValue> fields;
  std::vector<std::string> device_output;  // what the plug-in printed while decoding
};

// Throws SendRefused (nothing written) or PortError.
SendResult send_one(CommandPort& port, const SendRequest& request);

// The fields a poll command's answer sets, decoded by the plug-in: a field counts as set when it
// comes out the same over a record of zero bytes and over one of 0xFF bytes. The AC alarm answer
// and the rectifier switch and alarm answers are read against the count they carry themselves.
std::vector<record::FieldValue> decoded_fields(const frame::Frame& command,
                                               const frame::Frame& answer,
                                               std::vector<std::string>* device_output);

// "answer: VER 20 ADR 01 CID1 41 RTN 00 LENID 12 INFO 00...; 23.4 ms" then "NAME = VALUE" lines.
std::string result_text(const SendResult& result);
Json::Value result_json(const SendResult& result);

}  // namespace kelvra::fieldtools
