#include "fieldtools/send_one.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "device/kelvra_419.h"
#include "hostkit/hex.h"
#include "hostkit/json_output.h"
#include "hostkit/stdout_capture.h"
#include "station/console.h"

namespace kelvra::fieldtools {
namespace {

struct CommandPair {
  std::uint8_t cid1;
  std::uint8_t cid2;
};

constexpr CommandPair kControlCommands[] = {{0x41, 0x4E}, {0x42, 0x48}, {0x41, 0x45}};

// Each poll command and the poll state in which the device expects its answer.
struct PollCommand {
  std::uint8_t cid1;
  std::uint8_t cid2;
  int poll_state;
};
constexpr PollCommand kPollCommands[] = {
    {0x40, 0x41, 0}, {0x40, 0x43, 1}, {0x40, 0x44, 2}, {0x41, 0x41, 4},
    {0x41, 0x43, 5}, {0x41, 0x44, 6}, {0x42, 0x41, 7}, {0x42, 0x44, 8},
};
// AC alarm and rectifier switch and alarm INFO: DATAFLAG, then the channel or module count.
constexpr std::size_t kUnitCountByte = 1;
// Stamped by the round's end from the host's clock, not decoded from the answer.
constexpr const char* kRoundTimeField = "round_time";

const PollCommand* poll_command(std::uint8_t cid1, std::uint8_t cid2) {
  for (const PollCommand& poll : kPollCommands) {
    if (poll.cid1 == cid1 && poll.cid2 == cid2) return &poll;
  }
  return nullptr;
}

// Takes the commands the device sends after a decode and drops them: only one goes on the line.
class DecodeOnlyHost : public HostServices {
 public:
  void send_command(SMDSPDevice&, std::uint8_t, std::uint8_t, const std::uint8_t*, int) override {}
};

kelvra_419_Data_t decode_over(std::uint8_t fill, const PollCommand& poll,
                              const frame::Frame& command, const frame::Frame& answer) {
  DecodeOnlyHost host;
  kelvra_419 device;
  device.AttachHost(&host);
  std::memset(&device.data_, fill, sizeof device.data_);
  device.protocol_ver_ = command.ver;
  device.has_dc_ = true;
  device.data_valid_ = 1;
  device.poll_state_ = poll.poll_state;
  // In a round the analog answer sets the count the alarm and switch answers are read against.
  if (answer.info.size() > kUnitCountByte) {
    if (poll.cid1 == 0x40 && poll.cid2 == 0x44) {
      device.data_.ac.channel_count = answer.info[kUnitCountByte];
    } else if (poll.cid1 == 0x41 && poll.cid2 != 0x41) {
      device.data_.rc.channel_count = answer.info[kUnitCountByte];
    }
  }
  std::vector<std::uint8_t> response = frame::decoded_response(answer);
  device.process(response.data(), static_cast<unsigned>(response.size()));
  const kelvra_419_Data_t decoded = device.data_;
  device.AttachHost(nullptr);
  return decoded;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
  return hostkit::to_hex(bytes.data(), bytes.size(), hostkit::HexCase::upper);
}

std::string hex2(std::uint8_t value) {
  return hex({value});
}

std::string value_text(const Json::Value& value) {
  if (value.isString()) return value.asString();
  if (value.isDouble()) return record::float_text(value.asFloat());
  return hostkit::json_text(value);
}

}  // namespace

std::uint8_t parse_code(const std::string& what, const std::string& text) {
  const std::string digits = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')
                                 ? text.substr(2)
                                 : text;
  const auto bytes = digits.size() == 2 ? hostkit::parse_hex(digits) : std::nullopt;
  if (!bytes || bytes->size() != 1) {
    throw SendRefused(what + ": expected two hex digits such as 41 or 0x41, got \"" + text + "\"");
  }
  return (*bytes)[0];
}

std::string rtn_meaning(const frame::Frame& command, const frame::Frame& answer) {
  switch (answer.code) {
    case frame::kRtnNormal:
      return "normal";
    case frame::kRtnVersionError:
      return answer.ver != command.ver
                 ? "VER error: the equipment answers in VER " + hex2(answer.ver) +
                       "; try --ver 0x" + hex2(answer.ver)
                 : "VER error: the equipment takes another VER; try --ver with its VER";
    case frame::kRtnChecksumError:
      return "CHKSUM error: the command arrived damaged";
    case frame::kRtnLengthChecksumError:
      return "LCHKSUM error: the command's LENID arrived damaged";
    case frame::kRtnInvalidCid2:
      return "CID2 invalid: the equipment does not know this command";
    case frame::kRtnFormatError:
      return "command format error: the INFO is not what it expects";
    case frame::kRtnInvalidData:
      return "invalid data: a value in the INFO is out of range";
    default:
      return answer.code >= 0x80 ? "the maker's own code" : "not a known code";
  }
}

std::vector<std::uint8_t> parse_info(const std::string& text) {
  auto bytes = hostkit::parse_hex(text);
  if (!bytes) {
    throw SendRefused("INFO-HEX: expected pairs of hex digits, got \"" + text + "\"");
  }
  if (bytes->size() > frame::kMaxInfoBytes) {
    throw SendRefused("INFO-HEX: " + std::to_string(bytes->size()) + " bytes; at most " +
                      std::to_string(frame::kMaxInfoBytes) + " fit a frame");
  }
  return std::move(*bytes);
}

bool is_control_command(std::uint8_t cid1, std::uint8_t cid2) {
  return std::any_of(
      std::begin(kControlCommands), std::end(kControlCommands),
      [&](const CommandPair& pair) { return pair.cid1 == cid1 && pair.cid2 == cid2; });
}

bool is_poll_command(std::uint8_t cid1, std::uint8_t cid2) {
  return poll_command(cid1, cid2) != nullptr;
}

std::vector<record::FieldValue> decoded_fields(const frame::Frame& command,
                                               const frame::Frame& answer,
                                               std::vector<std::string>* device_output) {
  const PollCommand* poll = poll_command(command.cid1, command.code);
  if (poll == nullptr || answer.code != frame::kRtnNormal) return {};
  kelvra_419_Data_t over_zero{};
  kelvra_419_Data_t over_ones{};
  {
    hostkit::StdoutCapture capture;
    over_zero = decode_over(0x00, *poll, command, answer);
    std::vector<std::string> lines = capture.take_lines(true);
    over_ones = decode_over(0xFF, *poll, command, answer);
    if (device_output) *device_output = std::move(lines);
  }
  std::map<std::string, Json::Value> set_over_ones;
  record::for_each_field(over_ones, [&](const record::FieldValue& field) {
    set_over_ones.emplace(field.name, field.value);
  });
  std::vector<record::FieldValue> fields;
  record::for_each_field(over_zero, [&](const record::FieldValue& field) {
    const auto other = set_over_ones.find(field.name);
    if (field.name == kRoundTimeField) return;
    if (other != set_over_ones.end() && other->second == field.value) fields.push_back(field);
  });
  return fields;
}

SendResult send_one(CommandPort& port, const SendRequest& request) {
  if (is_control_command(request.cid1, request.cid2) && !request.allow_control) {
    throw SendRefused(hex2(request.cid1) + "/" + hex2(request.cid2) +
                      " is a control command and changes the equipment: give --allow-control "
                      "to send it");
  }
  if (request.info.size() > frame::kMaxInfoBytes) {
    throw SendRefused("INFO of " + std::to_string(request.info.size()) + " bytes; at most " +
                      std::to_string(frame::kMaxInfoBytes) + " fit a frame");
  }
  SendResult result;
  result.command =
      frame::Frame{request.ver, request.address, request.cid1, request.cid2, request.info};
  result.exchange = port.exchange(result.command, request.timeout);
  if (result.exchange.answer) {
    result.fields = decoded_fields(result.command, *result.exchange.answer, &result.device_output);
  }
  return result;
}

std::string result_text(const SendResult& result) {
  const frame::Frame& command = result.command;
  if (!result.exchange.answer) {
    return "no answer to " + hex2(command.cid1) + "/" + hex2(command.code) + " at address " +
           std::to_string(command.address) + " (" + std::to_string(result.exchange.bytes_received) +
           " bytes received)\n";
  }
  const frame::Frame& answer = *result.exchange.answer;
  char line[96];
  std::snprintf(line, sizeof line, "; %.1f ms\n",
                static_cast<double>(result.exchange.round_trip.count()) / 1000.0);
  std::string text = "answer: VER " + hex2(answer.ver) + " ADR " + hex2(answer.address) + " CID1 " +
                     hex2(answer.cid1) + " RTN " + hex2(answer.code) + " LENID " +
                     std::to_string(answer.info.size() * 2) + " INFO " +
                     (answer.info.empty() ? std::string("-") : hex(answer.info)) + line;
  if (answer.code != frame::kRtnNormal) {
    text += "RTN " + hex2(answer.code) + ": " + rtn_meaning(command, answer) + "\n";
  }
  for (const record::FieldValue& field : result.fields) {
    text += field.name + " = " + value_text(field.value) + "\n";
  }
  return text;
}

Json::Value result_json(const SendResult& result) {
  Json::Value value(Json::objectValue);
  value["command"] = hex2(result.command.cid1) + "/" + hex2(result.command.code);
  value["address"] = result.command.address;
  value["answered"] = result.exchange.answer.has_value();
  value["bytes_received"] = Json::UInt64(result.exchange.bytes_received);
  if (!result.exchange.answer) return value;
  const frame::Frame& answer = *result.exchange.answer;
  value["ver"] = hex2(answer.ver);
  value["rtn"] = hex2(answer.code);
  value["rtn_meaning"] = rtn_meaning(result.command, answer);
  value["lenid"] = Json::UInt64(answer.info.size() * 2);
  value["info"] = hex(answer.info);
  value["round_trip_ms"] = static_cast<double>(result.exchange.round_trip.count()) / 1000.0;
  Json::Value fields(Json::objectValue);
  for (const record::FieldValue& field : result.fields) fields[field.name] = field.value;
  value["fields"] = fields;
  return value;
}

}  // namespace kelvra::fieldtools
