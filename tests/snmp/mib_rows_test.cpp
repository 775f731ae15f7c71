// The subagent's rows from a snapshot: the entity tree, sensor values and states, our device and
// alarm rows, and the OIDs they are served at.
#include "snmp/mib_rows.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

namespace kelvra::snmp {
namespace {

constexpr std::int64_t kStartMs = 1'765'000'000'000;  // 2025-12-06 05:46:40 UTC

// A plant with a shelf of two rectifiers (the second reporting a failure) and DC unit 1 with one
// battery; no AC unit.
station::StationSnapshot plant() {
  kelvra_419_Data_t record;
  std::memset(&record, 0, sizeof record);
  record.rc.group_value.set(53.5f);
  record.rc.channel_count = 2;
  record.rc.channel[0].value.set(10.004f);
  record.rc.channel[1].value.set(0.0f);
  record.rc.channel[1].alarm_state = 1;
  record.dc.out_v.set(53.49f);
  record.dc.out_i.set(-20000000.0f);  // beyond ±10^9 once scaled by 100
  record.dc.m_count = 1;
  record.dc.m[0].set(std::numeric_limits<float>::quiet_NaN());
  station::StationSnapshot snap;
  snap.device = "power1";
  snap.address = 7;
  snap.link_up = true;
  snap.source = station::DataSource::kLive;
  snap.stale = false;
  snap.record = record;
  snap.record_time_ms = kStartMs + 12'345;
  snap.last_round_ms = kStartMs + 12'345;
  snap.age_s = 0.8;
  snap.counters.rounds = (1ull << 32) + 5;
  station::AlarmState cleared;
  cleared.key = "A";
  station::AlarmState raised;
  raised.key = "PowerOff";
  raised.text = "输入电源中断告警";
  raised.label = "input power supply interrupted";
  raised.level = 2;
  raised.active = true;
  raised.raised_ms = kStartMs;
  snap.alarms = {cleared, raised};
  return snap;
}

TEST(MibRows, EntityTreeHoldsEveryFittedPartAndSensorInItsPart) {
  const MibRows rows = mib_rows({{plant(), 2000}, {station::StationSnapshot{}, 2000}}, kStartMs);
  struct Expected {
    std::uint32_t index;
    const char* descr;
    PhysicalClass physical_class;
    std::uint32_t contained_in;
    std::int32_t rel_pos;
  };
  const Expected expected[] = {
      {1000, "48 V DC power system", PhysicalClass::chassis, 0, -1},
      {1001, "rectifier shelf", PhysicalClass::module, 1000, 1},
      {1002, "rectifier 1", PhysicalClass::power_supply, 1001, 1},
      {1003, "rectifier 2", PhysicalClass::power_supply, 1001, 2},
      {1004, "DC unit 1", PhysicalClass::module, 1000, 2},
      {1005, "rectifier output voltage", PhysicalClass::sensor, 1001, 3},
      {1006, "rectifier 1 output current", PhysicalClass::sensor, 1002, 1},
      {1007, "rectifier 2 output current", PhysicalClass::sensor, 1003, 1},
      {1008, "DC output voltage", PhysicalClass::sensor, 1004, 1},
      {1009, "DC output current", PhysicalClass::sensor, 1004, 2},
      {1010, "DC battery 1 current", PhysicalClass::sensor, 1004, 3},
      {2000, "48 V DC power system", PhysicalClass::chassis, 0, -1},  // no record yet
  };
  ASSERT_EQ(rows.physical.size(), std::size(expected));
  for (std::size_t i = 0; i < rows.physical.size(); ++i) {
    SCOPED_TRACE(expected[i].descr);
    EXPECT_EQ(rows.physical[i].index, expected[i].index);
    EXPECT_EQ(rows.physical[i].descr, expected[i].descr);
    EXPECT_EQ(rows.physical[i].physical_class, expected[i].physical_class);
    EXPECT_EQ(rows.physical[i].contained_in, expected[i].contained_in);
    EXPECT_EQ(rows.physical[i].parent_rel_pos, expected[i].rel_pos);
  }
  EXPECT_EQ(rows.physical[2].name, "power1 rectifier 1");
}

TEST(MibRows, SensorValuesScaleClampAndSayTheirState) {
  struct Case {
    const char* what;
    bool stale;
    bool link_up;
    SensorStatus live_status;  // of the sensors of a part that reports no failure
  };
  const Case cases[] = {
      {"live", false, true, SensorStatus::ok},
      {"stale", true, true, SensorStatus::unavailable},
      {"line down", false, false, SensorStatus::unavailable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    station::StationSnapshot snap = plant();
    snap.stale = c.stale;
    snap.link_up = c.link_up;
    const MibRows rows = mib_rows({{snap, 2000}}, kStartMs);
    struct Expected {
      std::uint32_t index;
      int type;
      int precision;
      std::int32_t value;
      SensorStatus status;
    };
    const SensorStatus failed =
        c.live_status == SensorStatus::ok ? SensorStatus::nonoperational : c.live_status;
    const Expected expected[] = {
        {1005, 4, 2, 5350, c.live_status},
        {1006, 5, 2, 1000, c.live_status},
        {1007, 5, 2, 0, failed},
        {1008, 4, 2, 5349, c.live_status},
        {1009, 5, 2, -1'000'000'000, c.live_status},
        {1010, 5, 2, 0, SensorStatus::unavailable},  // NaN
    };
    ASSERT_EQ(rows.sensors.size(), std::size(expected));
    for (std::size_t i = 0; i < rows.sensors.size(); ++i) {
      SCOPED_TRACE(expected[i].index);
      EXPECT_EQ(rows.sensors[i].index, expected[i].index);
      EXPECT_EQ(rows.sensors[i].type, expected[i].type);
      EXPECT_EQ(rows.sensors[i].precision, expected[i].precision);
      EXPECT_EQ(rows.sensors[i].value, expected[i].value);
      EXPECT_EQ(rows.sensors[i].status, expected[i].status);
      EXPECT_EQ(rows.sensors[i].timestamp, 1234u);
      EXPECT_EQ(rows.sensors[i].update_rate_ms, 2000u);
    }
    EXPECT_EQ(rows.sensors[0].units, "V");
  }
}

TEST(MibRows, DeviceAndActiveAlarmRows) {
  const MibRows rows = mib_rows({{plant(), 1000}, {station::StationSnapshot{}, 1000}}, kStartMs);
  ASSERT_EQ(rows.devices.size(), 2u);
  const DeviceRow& device = rows.devices[0];
  EXPECT_EQ(device.index, 1u);
  EXPECT_EQ(device.address, 7u);
  EXPECT_EQ(device.link, LinkState::up);
  EXPECT_EQ(device.source, SourceValue::live);
  EXPECT_EQ(device.age_ms, 800u);
  EXPECT_EQ(device.rounds, 5u);  // a Counter32 wraps
  EXPECT_EQ(device.last_round_utc, std::string("\x07\xE9\x0C\x06\x05\x2E\x34\x03+\0\0", 11));
  EXPECT_EQ(device.chassis, 1000u);
  EXPECT_EQ(rows.devices[1].link, LinkState::down);
  EXPECT_EQ(rows.devices[1].source, SourceValue::none);
  EXPECT_EQ(rows.devices[1].last_round_utc, std::string("\0\0\1\1\0\0\0\0", 8));

  ASSERT_EQ(rows.alarms.size(), 1u);  // the cleared one is not active
  EXPECT_EQ(rows.alarms[0].device, 1u);
  EXPECT_EQ(rows.alarms[0].index, 1u);
  EXPECT_EQ(rows.alarms[0].key, "PowerOff");
  EXPECT_EQ(rows.alarms[0].text, "输入电源中断告警");
  EXPECT_EQ(rows.alarms[0].raised_utc, std::string("\x07\xE9\x0C\x06\x05\x2E\x28\x00+\0\0", 11));
}

TEST(MibRows, TreeServesEachColumnAtItsOid) {
  const Oid root = {1, 3, 6, 1, 4, 1, 99999, 7};
  const MibTree tree = mib_tree(mib_rows({{plant(), 1000}}, kStartMs), root);
  struct Expected {
    Oid oid;
    MibValue::Type type;
    std::int64_t number;
    std::string octets;
  };
  const Expected expected[] = {
      {{1, 3, 6, 1, 2, 1, 47, 1, 1, 1, 1, 4, 1006}, MibValue::Type::integer, 1002, ""},
      {{1, 3, 6, 1, 2, 1, 47, 1, 1, 1, 1, 5, 1003}, MibValue::Type::integer, 6, ""},
      {{1, 3, 6, 1, 2, 1, 47, 1, 1, 1, 1, 7, 1000}, MibValue::Type::octets, 0, "power1"},
      {{1, 3, 6, 1, 2, 1, 99, 1, 1, 1, 2, 1005}, MibValue::Type::integer, 9, ""},
      {{1, 3, 6, 1, 2, 1, 99, 1, 1, 1, 4, 1008}, MibValue::Type::integer, 5349, ""},
      {{1, 3, 6, 1, 2, 1, 99, 1, 1, 1, 7, 1008}, MibValue::Type::timeticks, 1234, ""},
      {{1, 3, 6, 1, 2, 1, 99, 1, 1, 1, 8, 1008}, MibValue::Type::gauge, 1000, ""},
      {{1, 3, 6, 1, 4, 1, 99999, 7, 1, 1, 1, 7, 1}, MibValue::Type::counter, 5, ""},
      {{1, 3, 6, 1, 4, 1, 99999, 7, 1, 2, 1, 5, 1, 1},
       MibValue::Type::octets,
       0,
       "input power supply interrupted"},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(::testing::PrintToString(e.oid));
    const auto found = tree.find(e.oid);
    ASSERT_NE(found, tree.end());
    EXPECT_EQ(found->second.type, e.type);
    EXPECT_EQ(found->second.number, e.number);
    EXPECT_EQ(found->second.octets, e.octets);
  }
  // A walk goes column by column: the last sensor's type comes before the first one's scale.
  const Oid last_type = {1, 3, 6, 1, 2, 1, 99, 1, 1, 1, 1, 1010};
  EXPECT_EQ(std::next(tree.find(last_type))->first, (Oid{1, 3, 6, 1, 2, 1, 99, 1, 1, 1, 2, 1005}));
}

TEST(MibRows, NotificationsCarryTheirObjects) {
  events::AlarmEvent event;
  event.time_ms = kStartMs;
  event.device = "power1";
  event.raised = false;
  event.level = 1;
  event.key = "PowerOff";
  event.text = "输入电源中断告警";
  const Oid root = {1, 3, 6, 1, 4, 1, 32473, 419};
  const Notification cleared = alarm_notification(root, event, "input power supply interrupted");
  EXPECT_EQ(cleared.trap_oid, (Oid{1, 3, 6, 1, 4, 1, 32473, 419, 0, 2}));
  std::vector<std::uint32_t> objects;
  for (const auto& [oid, value] : cleared.varbinds) {
    ASSERT_EQ(oid.size(), root.size() + 4);
    objects.push_back(oid[oid.size() - 2]);
  }
  EXPECT_EQ(objects, (std::vector<std::uint32_t>{1, 6, 2, 3, 4, 5}));
  EXPECT_EQ(cleared.varbinds[4].second.octets, event.text);
  const Notification lost = comm_notification(root, "power2", true, kStartMs);
  EXPECT_EQ(lost.trap_oid, (Oid{1, 3, 6, 1, 4, 1, 32473, 419, 0, 3}));
  EXPECT_EQ(lost.varbinds.size(), 2u);
  EXPECT_EQ(lost.varbinds[0].second.octets, "power2");
  EXPECT_EQ(comm_notification(root, "power2", false, kStartMs).trap_oid.back(), 4u);
}

}  // namespace
}  // namespace kelvra::snmp
