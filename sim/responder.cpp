#include "sim/responder.h"

#include <cstring>

#include "sim/info_encoders.h"

namespace kelvra::sim {
namespace {

using frame::Frame;

constexpr std::uint8_t kCidAc = 0x40;
constexpr std::uint8_t kCidRectifier = 0x41;
constexpr std::uint8_t kCidDc = 0x42;

using Encoder = Bytes (*)(std::uint8_t dataflag, const Equipment&, DcFormat);

struct PollCommand {
  std::uint8_t cid1;
  std::uint8_t cid2;
  std::uint8_t read_bits;  // DATAFLAG bits this answer clears
  Encoder encode;
};

// Poll commands carry at most one INFO byte (the unit group).
constexpr std::size_t kMaxPollInfo = 1;

const PollCommand kPollCommands[] = {
    {kCidAc, 0x41, 0,
     [](std::uint8_t f, const Equipment& e, DcFormat) { return ac_analog_info(f, e.ac); }},
    {kCidAc, 0x43, kSwitchesChanged,
     [](std::uint8_t f, const Equipment& e, DcFormat) { return ac_switch_info(f, e.ac); }},
    {kCidAc, 0x44, kAlarmsChanged,
     [](std::uint8_t f, const Equipment& e, DcFormat) { return ac_alarm_info(f, e.ac); }},
    {kCidRectifier, 0x41, 0,
     [](std::uint8_t f, const Equipment& e, DcFormat) {
       return rectifier_analog_info(f, e.rectifiers);
     }},
    {kCidRectifier, 0x43, kSwitchesChanged,
     [](std::uint8_t f, const Equipment& e, DcFormat) {
       return rectifier_switch_info(f, e.rectifiers);
     }},
    {kCidRectifier, 0x44, kAlarmsChanged,
     [](std::uint8_t f, const Equipment& e, DcFormat) {
       return rectifier_alarm_info(f, e.rectifiers);
     }},
    {kCidDc, 0x41, 0,
     [](std::uint8_t f, const Equipment& e, DcFormat format) {
       return dc_analog_info(f, e.dc, format);
     }},
    // The DC unit has no switch command, so reading its alarms clears both bits.
    {kCidDc, 0x44, kAlarmsChanged | kSwitchesChanged,
     [](std::uint8_t f, const Equipment& e, DcFormat format) {
       return dc_alarm_info(f, e.dc, format);
     }},
};

struct ControlCommand {
  std::uint8_t cid1;
  std::uint8_t cid2;
  std::size_t info_size;
};

const ControlCommand kControlCommands[] = {
    {kCidRectifier, 0x4E, 7},  // rectifier command passed through
    {kCidDc, 0x48, 5},         // set a DC value: type byte, f32 little-endian
    {kCidRectifier, 0x45, 2},  // rectifier control: type byte, value byte
};

constexpr std::uint8_t kSetpointFloatVoltage = 0xDC;
constexpr std::uint8_t kSetpointEqualiseVoltage = 0xDB;

float float_from_le(const std::uint8_t* bytes) {
  const std::uint32_t bits = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                             std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

void ChangeFlags::observe(const Bytes& switch_states, const Bytes& alarm_states) {
  if (switches_seen_ && *switches_seen_ != switch_states) bits_ |= kSwitchesChanged;
  if (alarms_seen_ && *alarms_seen_ != alarm_states) bits_ |= kAlarmsChanged;
  switches_seen_ = switch_states;
  alarms_seen_ = alarm_states;
}

Responder::Responder(Equipment& equipment, ResponderSettings settings)
    : equipment_(equipment), settings_(settings) {
  note_changes();
}

void Responder::note_changes() {
  const Equipment& e = equipment_;
  ac_flags_.observe(ac_switch_info(0, e.ac), ac_alarm_info(0, e.ac));
  rectifier_flags_.observe(rectifier_switch_info(0, e.rectifiers),
                           rectifier_alarm_info(0, e.rectifiers));
  dc_flags_.observe({}, dc_alarm_info(0, e.dc, settings_.dc_format));
}

ChangeFlags& Responder::flags_of(std::uint8_t cid1) {
  if (cid1 == kCidAc) return ac_flags_;
  if (cid1 == kCidRectifier) return rectifier_flags_;
  return dc_flags_;
}

Frame Responder::reply(const Frame& command, std::uint8_t rtn, Bytes info) const {
  return Frame{settings_.ver, settings_.address, command.cid1, rtn, std::move(info)};
}

std::optional<Frame> Responder::answer(const Frame& command) {
  if (command.address != settings_.address) return std::nullopt;
  if (command.ver != settings_.ver) return reply(command, frame::kRtnVersionError);

  for (const PollCommand& poll : kPollCommands) {
    if (poll.cid1 != command.cid1 || poll.cid2 != command.code) continue;
    if (command.info.size() > kMaxPollInfo) return reply(command, frame::kRtnFormatError);
    note_changes();
    ChangeFlags& flags = flags_of(poll.cid1);
    Bytes info = poll.encode(flags.bits(), equipment_, settings_.dc_format);
    flags.clear(poll.read_bits);
    return reply(command, frame::kRtnNormal, std::move(info));
  }
  return reply(command, control(command));
}

std::uint8_t Responder::control(const Frame& command) {
  for (const ControlCommand& control : kControlCommands) {
    if (control.cid1 != command.cid1 || control.cid2 != command.code) continue;
    if (command.info.size() != control.info_size) return frame::kRtnFormatError;
    if (command.cid1 == kCidDc) {
      const std::uint8_t type = command.info[0];
      if (type != kSetpointFloatVoltage && type != kSetpointEqualiseVoltage) {
        return frame::kRtnInvalidData;
      }
      equipment_.dc_setpoints[type] = float_from_le(&command.info[1]);
    }
    return frame::kRtnNormal;
  }
  return frame::kRtnInvalidCid2;
}

std::optional<Frame> Responder::answer_malformed(frame::DecodeError error,
                                                 const Frame& header) const {
  if (header.address != settings_.address) return std::nullopt;
  switch (error) {
    case frame::DecodeError::kBadChecksum:
      return reply(header, frame::kRtnChecksumError);
    case frame::DecodeError::kBadLengthChecksum:
      return reply(header, frame::kRtnLengthChecksumError);
    case frame::DecodeError::kOddLenid:
    case frame::DecodeError::kLenidMismatch:
    case frame::DecodeError::kNonHexDigit:
    case frame::DecodeError::kMissingEoi:
      return reply(header, frame::kRtnFormatError);
    default:
      return std::nullopt;
  }
}

}  // namespace kelvra::sim
