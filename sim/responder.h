// Answers one command frame the way the equipment does.
#pragma once

#include <cstdint>
#include <optional>

#include "frame-codec/frame_codec.h"
#include "sim/equipment.h"
#include "sim/info_encoders.h"

namespace kelvra::sim {

struct ResponderSettings {
  std::uint8_t address = 0x01;
  std::uint8_t ver = 0x20;
  DcFormat dc_format = DcFormat::kCounted;
};

// Sticky DATAFLAG bits of one unit: set at power-up and when its states differ from those last
// observed, cleared when the command that reads them is answered.
class ChangeFlags {
 public:
  void observe(const Bytes& switch_states, const Bytes& alarm_states);
  std::uint8_t bits() const { return bits_; }
  void clear(std::uint8_t read_bits) { bits_ &= static_cast<std::uint8_t>(~read_bits); }

 private:
  std::optional<Bytes> switches_seen_;
  std::optional<Bytes> alarms_seen_;
  std::uint8_t bits_ = kSwitchesChanged | kAlarmsChanged;
};

class Responder {
 public:
  Responder(Equipment& equipment, ResponderSettings settings);

  // nullopt when the command is addressed to another device.
  std::optional<frame::Frame> answer(const frame::Frame& command);
  // The answer to a frame that failed its checks after its header was read, if any.
  std::optional<frame::Frame> answer_malformed(frame::DecodeError error,
                                               const frame::Frame& header) const;
  // Compares the model with what was last observed; call after every change to it.
  void note_changes();
  const ResponderSettings& settings() const { return settings_; }

 private:
  frame::Frame reply(const frame::Frame& command, std::uint8_t rtn, Bytes info = {}) const;
  ChangeFlags& flags_of(std::uint8_t cid1);
  std::uint8_t control(const frame::Frame& command);

  Equipment& equipment_;
  ResponderSettings settings_;
  ChangeFlags ac_flags_;
  ChangeFlags rectifier_flags_;
  ChangeFlags dc_flags_;
};

}  // namespace kelvra::sim
