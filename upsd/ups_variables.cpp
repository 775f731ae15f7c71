#include "upsd/ups_variables.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "device/power_readings.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::upsd {
namespace {

// The table's UPS variables name AC input 1, DC unit 1 and battery 1: first instances only.
bool first_instance(const record::FieldValue& field) {
  return field.dc_unit <= 1 && std::all_of(field.indices.begin(), field.indices.end(),
                                           [](std::size_t index) { return index == 0; });
}

bool input_lost(const kelvra_419_ac_channel& input) {
  for (const float voltage : {input.a.get(), input.b.get(), input.c.get()}) {
    if (!(voltage < power_readings::kPowerFailVoltage)) return false;
  }
  return true;
}

// A DC voltage as the variables print it, "%.2f" so that the low level reads as set ("47.00").
std::string volts_text(double volts) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", volts);
  return text;
}

}  // namespace

PowerState power_state(const kelvra_419_Data_t& record,
                       const std::vector<station::AlarmState>& alarms, double low_battery_v) {
  PowerState state;
  const record::PartsPresent parts = record::parts_present(record);
  state.on_battery = parts.ac_inputs > 0;
  for (std::size_t i = 0; i < parts.ac_inputs; ++i) {
    state.on_battery = state.on_battery && input_lost(record.ac.channel[i]);
  }
  const float dc_volts = record.dc.out_v.get();
  state.battery_low = parts.dc_unit[0] && dc_volts <= low_battery_v;
  for (const station::AlarmState& alarm : alarms) {
    if (!alarm.active) continue;
    state.alarms += (state.alarms.empty() ? "" : ", ") + alarm.label;
  }
  return state;
}

std::string ups_status(const PowerState& state) {
  std::string status = state.on_battery ? "OB" : "OL";
  if (state.battery_low) status += " LB";
  if (!state.alarms.empty()) status += " ALARM";
  return status;
}

UpsView ups_view(const station::StationSnapshot& snapshot, double low_battery_v) {
  UpsView view;
  view.name = snapshot.device;
  view.description = "48 V DC power system, address " + std::to_string(snapshot.address);
  view.stale = snapshot.stale || !snapshot.link_up || !snapshot.record;
  if (!snapshot.record) return view;
  const kelvra_419_Data_t& record = *snapshot.record;
  const PowerState state = power_state(record, snapshot.alarms, low_battery_v);
  auto& variables = view.variables;
  variables = {{"device.type", "ups"},
               {"device.mfr", "kelvra"},
               {"device.model", "kelvra_419 48 V DC power system"},
               {"ups.status", ups_status(state)}};
  if (!state.alarms.empty()) variables.emplace_back("ups.alarm", state.alarms);
  record::for_each_field(record, [&variables](const record::FieldValue& field) {
    const char* name = field.spec->outlets.ups_variable;
    if (*name == '\0' || !first_instance(field) || !field.series()) return;
    if (!std::isfinite(field.value.asDouble())) return;
    const std::string text = record::float_text(static_cast<float>(field.value.asDouble()));
    variables.emplace_back(name, text);
    // The single-phase names a monitor asks for first: phase A of input 1, the DC bus voltage.
    if (field.name == "ac.channel[0].a") variables.emplace_back("input.voltage", text);
    if (field.name == "dc.out_v") variables.emplace_back("battery.voltage", text);
  });
  variables.emplace_back("battery.voltage.low", volts_text(low_battery_v));
  std::sort(variables.begin(), variables.end());
  return view;
}

}  // namespace kelvra::upsd
