#pragma once

#include <cstddef>

// The measured values that value queries and threshold rules read from the record.
namespace power_readings {

// AC inputs the record holds; a received channel count above it is never read beyond.
constexpr std::size_t kStoredAcInputs = 2;
// Below it on every phase of both inputs the AC mains count as lost, V (single precision).
constexpr float kPowerFailVoltage = 150.0f;

struct PowerReadings {
  float phase[kStoredAcInputs][3];   // V, phases A, B, C of AC inputs 1 and 2
  float frequency[kStoredAcInputs];  // Hz, AC inputs 1 and 2
  float dc_voltage;                  // V, output voltage of the first DC unit
};

template <class Data>
PowerReadings read_power_readings(const Data& data) {
  static_assert(Data::AC_CHANNEL_ROOM == kStoredAcInputs);
  PowerReadings readings{};
  for (std::size_t i = 0; i < kStoredAcInputs; ++i) {
    const auto& channel = data.ac.channel[i];
    readings.phase[i][0] = channel.a.get();
    readings.phase[i][1] = channel.b.get();
    readings.phase[i][2] = channel.c.get();
    readings.frequency[i] = channel.f.get();
  }
  readings.dc_voltage = data.dc.out_v.get();
  return readings;
}

// True when all six phase voltages, fitted or not, are below the power-fail voltage; a NaN
// counts as not below.
inline bool mains_lost(const PowerReadings& readings) {
  for (const auto& input : readings.phase) {
    for (float voltage : input) {
      if (!(voltage < kPowerFailVoltage)) return false;
    }
  }
  return true;
}

}  // namespace power_readings
