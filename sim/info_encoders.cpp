#include "sim/info_encoders.h"

#include <algorithm>
#include <cstring>

namespace kelvra::sim {
namespace {

// IEEE-754 single precision, least significant byte first.
void put_float(Bytes& out, float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

void put_reading(Bytes& out, const Reading& reading) {
  if (reading) {
    put_float(out, *reading);
  } else {
    out.insert(out.end(), 4, kInvalidMarkerByte);
  }
}

// A count byte; groups longer than 255 are cut to what the count can say.
std::size_t put_count(Bytes& out, std::size_t count) {
  const std::size_t sent = std::min<std::size_t>(count, 0xFF);
  out.push_back(static_cast<std::uint8_t>(sent));
  return sent;
}

void put_counted_floats(Bytes& out, const std::vector<float>& values) {
  const std::size_t sent = put_count(out, values.size());
  for (std::size_t i = 0; i < sent; ++i) put_float(out, values[i]);
}

void put_counted_readings(Bytes& out, const std::vector<Reading>& values) {
  const std::size_t sent = put_count(out, values.size());
  for (std::size_t i = 0; i < sent; ++i) put_reading(out, values[i]);
}

void put_counted_bytes(Bytes& out, const Bytes& values) {
  const std::size_t sent = put_count(out, values.size());
  out.insert(out.end(), values.begin(), values.begin() + static_cast<std::ptrdiff_t>(sent));
}

void put_dc_analog_block(Bytes& out, const DcUnit& unit) {
  put_float(out, unit.voltage);
  put_float(out, unit.current);
  put_counted_floats(out, unit.float_group);
  put_counted_floats(out, unit.second_group);
  put_counted_readings(out, unit.user_floats);
}

void put_dc_alarm_block(Bytes& out, const DcUnit& unit) {
  out.push_back(unit.voltage_state);
  put_counted_bytes(out, unit.alarm_group);
  put_counted_bytes(out, unit.user_alarms);
}

template <typename PutBlock>
Bytes dc_info(std::uint8_t dataflag, const std::vector<DcUnit>& units, DcFormat format,
              PutBlock put_block) {
  Bytes out{dataflag};
  if (format == DcFormat::kSingleUnit) {
    if (!units.empty()) put_block(out, units.front());
    return out;
  }
  const std::size_t sent = put_count(out, units.size());
  for (std::size_t i = 0; i < sent; ++i) put_block(out, units[i]);
  return out;
}

}  // namespace

Bytes ac_analog_info(std::uint8_t dataflag, const AcUnit& ac) {
  Bytes out{dataflag};
  const std::size_t sent = put_count(out, ac.inputs.size());
  for (std::size_t i = 0; i < sent; ++i) {
    const AcInput& input = ac.inputs[i];
    put_reading(out, input.phase_a);
    put_reading(out, input.phase_b);
    put_reading(out, input.phase_c);
    put_reading(out, input.frequency);
    put_counted_floats(out, input.user_analog);
  }
  for (const Reading& extra : ac.extra) put_reading(out, extra);
  return out;
}

Bytes ac_switch_info(std::uint8_t dataflag, const AcUnit& ac) {
  Bytes out{dataflag, 0};  // no airlock switches
  put_counted_bytes(out, ac.user_switches);
  return out;
}

Bytes ac_alarm_info(std::uint8_t dataflag, const AcUnit& ac) {
  constexpr std::size_t kBlocksSent = 2;
  Bytes out{dataflag};
  put_count(out, ac.inputs.size());
  for (std::size_t i = 0; i < kBlocksSent; ++i) {
    if (i < ac.inputs.size()) {
      const AcInput& input = ac.inputs[i];
      out.insert(out.end(), input.states.begin(), input.states.end());
      put_counted_bytes(out, input.extra_alarms);
      put_counted_bytes(out, input.user_alarms);
    } else {
      out.insert(out.end(), 6, 0);  // four states and two empty groups
    }
  }
  out.insert(out.end(), ac.extra_states.begin(), ac.extra_states.end());
  return out;
}

Bytes rectifier_analog_info(std::uint8_t dataflag, const RectifierShelf& shelf) {
  Bytes out{dataflag};
  put_float(out, shelf.group_value);
  const std::size_t sent = put_count(out, shelf.modules.size());
  for (std::size_t i = 0; i < sent; ++i) {
    put_float(out, shelf.modules[i].value);
    put_counted_floats(out, shelf.modules[i].user_analog);
  }
  return out;
}

Bytes rectifier_switch_info(std::uint8_t dataflag, const RectifierShelf& shelf) {
  Bytes out{dataflag};
  const std::size_t sent = put_count(out, shelf.modules.size());
  for (std::size_t i = 0; i < sent; ++i) {
    const RectifierModule& module = shelf.modules[i];
    out.insert(out.end(), module.switch_states.begin(), module.switch_states.end());
    put_counted_bytes(out, module.user_status);
  }
  return out;
}

Bytes rectifier_alarm_info(std::uint8_t dataflag, const RectifierShelf& shelf) {
  Bytes out{dataflag};
  const std::size_t sent = put_count(out, shelf.modules.size());
  for (std::size_t i = 0; i < sent; ++i) {
    out.push_back(shelf.modules[i].alarm_state);
    put_counted_bytes(out, shelf.modules[i].user_alarms);
  }
  return out;
}

Bytes dc_analog_info(std::uint8_t dataflag, const std::vector<DcUnit>& units, DcFormat format) {
  return dc_info(dataflag, units, format, put_dc_analog_block);
}

Bytes dc_alarm_info(std::uint8_t dataflag, const std::vector<DcUnit>& units, DcFormat format) {
  return dc_info(dataflag, units, format, put_dc_alarm_block);
}

}  // namespace kelvra::sim
