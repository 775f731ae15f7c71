// The status words and the variable list a UPS monitor reads, from records as the device makes
// them.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "upsd/ups_variables.h"

namespace kelvra::upsd {
namespace {

// A record with `inputs` AC inputs at the given phase voltage each (input 1 and 2), and DC unit 1
// at `dc_volts` (0: the DC unit not fitted).
kelvra_419_Data_t record_of(std::uint8_t inputs, float input1_v, float input2_v, float dc_volts) {
  kelvra_419_Data_t record;
  std::memset(&record, 0, sizeof record);
  record.ac.channel_count = inputs;
  const float volts[] = {input1_v, input2_v};
  for (std::size_t i = 0; i < 2; ++i) {
    record.ac.channel[i].a.set(volts[i]);
    record.ac.channel[i].b.set(volts[i]);
    record.ac.channel[i].c.set(volts[i]);
  }
  record.dc.out_v.set(dc_volts);
  return record;
}

station::AlarmState alarm(const char* label, bool active) {
  station::AlarmState state;
  state.label = label;
  state.active = active;
  return state;
}

TEST(UpsVariables, StatusWords) {
  const std::vector<station::AlarmState> quiet = {alarm("fuse 1 blown", false)};
  const std::vector<station::AlarmState> loud = {alarm("AC input 1 mains failure", true),
                                                 alarm("fuse 1 blown", false),
                                                 alarm("battery 1 voltage low", true)};
  struct Case {
    kelvra_419_Data_t record;
    const std::vector<station::AlarmState>& alarms;
    const char* status;
  } cases[] = {
      {record_of(2, 230, 230, 53.5f), quiet, "OL"},
      {record_of(2, 0, 0, 49.5f), quiet, "OB"},
      {record_of(2, 0, 230, 53.5f), quiet, "OL"},
      {record_of(2, 149.9f, 149.9f, 49.5f), quiet, "OB"},
      {record_of(1, 0, 230, 49.5f), quiet, "OB"},  // input 2 not fitted
      {record_of(0, 0, 0, 49.5f), quiet, "OL"},    // no AC unit: nothing says the mains are lost
      {record_of(2, 0, 0, 47.0f), quiet, "OB LB"},
      {record_of(2, 0, 0, 47.01f), quiet, "OB"},
      {record_of(2, 230, 230, 46.0f), quiet, "OL LB"},
      {record_of(2, 0, 0, 0.0f), quiet, "OB"},  // no DC unit: no battery level known
      {record_of(2, 0, 0, 46.5f), loud, "OB LB ALARM"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ups_status(power_state(c.record, c.alarms, 47.0)), c.status)
        << c.record.ac.channel[0].a.get() << " " << c.record.dc.out_v.get();
  }
  EXPECT_EQ(power_state(record_of(2, 0, 0, 46.5f), loud, 47.0).alarms,
            "AC input 1 mains failure, battery 1 voltage low");
}

TEST(UpsVariables, FirstInstancesUnderTheirStandardNames) {
  station::StationSnapshot snapshot;
  snapshot.device = "east";
  snapshot.address = 3;
  snapshot.link_up = true;
  snapshot.stale = false;
  kelvra_419_Data_t record = record_of(2, 231, 0, 53.5f);
  record.ac.channel[0].b.set(229.5f);
  record.ac.channel[0].f.set(50.0f);
  record.ac.channel[1].f.set(49.0f);
  record.dc.out_i.set(40.0f);
  record.dc.m_count = 2;
  record.dc.m[0].set(-12.5f);
  record.dc.m[1].set(-7.0f);
  snapshot.record = record;
  snapshot.alarms = {alarm("fuse 1 blown", true)};
  const UpsView view = ups_view(snapshot, 48.5);
  EXPECT_EQ(view.name, "east");
  EXPECT_FALSE(view.stale);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"battery.current", "-12.5"},
      {"battery.voltage", "53.5"},
      {"battery.voltage.low", "48.50"},
      {"device.mfr", "kelvra"},
      {"device.model", "kelvra_419 48 V DC power system"},
      {"device.type", "ups"},
      {"input.L1-N.voltage", "231"},
      {"input.L2-N.voltage", "229.5"},
      {"input.L3-N.voltage", "231"},
      {"input.frequency", "50"},
      {"input.voltage", "231"},
      {"output.current", "40"},
      {"output.voltage", "53.5"},
      {"ups.alarm", "fuse 1 blown"},
      {"ups.status", "OL ALARM"},
  };
  EXPECT_EQ(view.variables, expected);

  snapshot.link_up = false;
  EXPECT_TRUE(ups_view(snapshot, 48.5).stale);
  snapshot.link_up = true;
  snapshot.stale = true;
  EXPECT_TRUE(ups_view(snapshot, 48.5).stale);
}

}  // namespace
}  // namespace kelvra::upsd
