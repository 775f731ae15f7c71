// Alarms across a host restart and a line that comes back: history holds each change once, and the
// first round afterwards reads every command whatever the equipment's change flags say.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "hostkit/plugin_loader.h"
#include "sim/responder.h"
#include "station/station.h"
#include "tests/line/bench_fixture.h"

namespace {

using bench_testing::BenchSession;
using bench_testing::quiet_simulator;
using bench_testing::TempDir;
using kelvra::station::Station;

// A line that keeps the station's commands for the test to answer.
class HeldLine : public kelvra::serial::LineAccess {
 public:
  void submit(kelvra::serial::LineClient&, kelvra::frame::Frame command) override {
    commands.push_back(std::move(command));
  }
  bool has_work_for(const kelvra::serial::LineClient&) const override { return !commands.empty(); }
  bool is_open() const override { return open; }
  const std::string& port() const override { return port_; }

  std::deque<kelvra::frame::Frame> commands;
  bool open = true;

 private:
  std::string port_ = "held";
};

struct PolledStation {
  SMDSPDevice* device;
  std::unique_ptr<Station> station;
};

const kelvra::hostkit::TurnClock kSystemClock;  // not driven by a loop: every call reads

PolledStation make_station(const kelvra::hostkit::LoadedPlugin& plugin,
                           kelvra::station::Console& console,
                           kelvra::history::HistoryStore& history, HeldLine& line) {
  auto device = plugin.create_device();
  SMDSPDevice* raw = device.get();
  auto station = std::make_unique<Station>(kelvra::run::default_settings().devices.front(),
                                           std::move(device), console, history, kSystemClock);
  station->configure(line);
  return {raw, std::move(station)};
}

// One round answered by the simulated equipment with every DATAFLAG 0: equipment that tells no
// change. The device's 2 s between rounds is skipped by moving its last round back.
void poll_round(PolledStation& polled, HeldLine& line, kelvra::sim::Responder& equipment) {
  polled.device->last_round_time_ -= boost::posix_time::seconds(3);
  ASSERT_TRUE(polled.station->start_round());
  while (!line.commands.empty()) {
    kelvra::frame::Frame answer = *equipment.answer(line.commands.front());
    line.commands.pop_front();
    answer.info.at(0) = 0;
    polled.station->answer(kelvra::frame::decoded_response(answer));
  }
}

int count_events(kelvra::history::HistoryStore& history, const std::string& key, bool raised) {
  int count = 0;
  for (const auto& event : history.alarm_events({})) {
    count += event.key == key && event.raised == raised ? 1 : 0;
  }
  return count;
}

struct Case {
  const char* name;
  bool low_before;     // battery 1 low while the first host polls
  bool line_down;      // the line goes down after that round (COMM_LOST raised)
  bool restart;        // a new host over the same history; else the same host, its line back
  bool low_after;      // battery 1 low from then on
  int battery_raises;  // KELVRA_DC_3 events in history at the end
  int battery_clears;
  int comm_clears;  // COMM_LOST clears
};

TEST(Restart, FirstRoundReadsEverythingAndHistoryHoldsEachChangeOnce) {
  const Case cases[] = {
      {"restart, alarm gone meanwhile", true, false, true, false, 1, 1, 0},
      {"restart, alarm still there", true, false, true, true, 1, 0, 0},
      {"restart, alarm came meanwhile", false, false, true, true, 1, 0, 0},
      {"restart with the line down", true, true, true, false, 1, 1, 1},
      {"line back, alarm gone meanwhile", true, true, false, false, 1, 1, 1},
  };
  const kelvra::hostkit::LoadedPlugin plugin(KELVRA_PLUGIN_PATH);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    kelvra::history::HistoryStore history(dir.file("history.db"));
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), std::fclose);
    kelvra::station::Console console(out.get(), false);
    HeldLine line;
    kelvra::sim::Equipment equipment = kelvra::sim::make_equipment({});
    std::uint8_t& battery_low = equipment.dc.at(0).user_alarms.at(kelvra::sim::kDcBattery1Low);
    kelvra::sim::Responder responder(equipment, {});

    battery_low = c.low_before ? 1 : 0;
    PolledStation polled = make_station(plugin, console, history, line);
    poll_round(polled, line, responder);
    if (c.line_down) {
      line.open = false;
      polled.station->watch_communication();
    }
    battery_low = c.low_after ? 1 : 0;
    if (c.restart) {
      polled.station.reset();
      polled = make_station(plugin, console, history, line);
      polled.station->restore_from_history();
    }
    line.open = true;
    poll_round(polled, line, responder);

    EXPECT_EQ(count_events(history, "KELVRA_DC_3", true), c.battery_raises);
    EXPECT_EQ(count_events(history, "KELVRA_DC_3", false), c.battery_clears);
    EXPECT_EQ(count_events(history, kelvra::station::kCommLostKey, true), c.line_down ? 1 : 0);
    EXPECT_EQ(count_events(history, kelvra::station::kCommLostKey, false), c.comm_clears);
    const auto states = polled.station->alarm_states();
    const auto battery = std::find_if(states.begin(), states.end(),
                                      [](const auto& state) { return state.key == "KELVRA_DC_3"; });
    ASSERT_NE(battery, states.end());
    EXPECT_EQ(battery->active, c.low_after);
  }
}

// The bench host stopped with battery 1 low and started again after the equipment came back to
// normal: one raise and one clear in history, the clear made by the first live round.
TEST(Restart, AlarmGoneWhileTheHostWasDownIsClearedByItsFirstRound) {
  BenchSession before(quiet_simulator(kelvra::sim::parse_scenario(
      R"({"initial": {"dc1.voltage": 53.5, "dc1.battery1_low": 1}})", "battery low")));
  const auto battery_events = [](kelvra::history::HistoryReader& history) {
    kelvra::history::HistoryQuery query;
    query.kinds = {kelvra::history::TimelineKind::alarm};
    std::vector<kelvra::history::AlarmEvent> events;
    for (auto& event : history.alarm_events(query)) {
      if (event.key == "KELVRA_DC_3") events.push_back(event);
    }
    return events;
  };
  before.start();
  ASSERT_TRUE(before.wait_for([&](auto& history) { return battery_events(history).size() == 1; }));
  before.stop();

  BenchSession after(quiet_simulator(*kelvra::sim::builtin_scenario("normal")));
  after.options().db_path = before.db();
  after.start();
  const bool cleared = after.wait_for(
      [&](auto& history) {
        const auto events = battery_events(history);
        return std::any_of(events.begin(), events.end(), [](const auto& e) { return !e.raised; });
      },
      std::chrono::seconds(8));
  after.stop();
  ASSERT_TRUE(cleared) << after.output();

  kelvra::history::HistoryReader history(before.db());
  const auto events = battery_events(history);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(events[0].raised);
  EXPECT_FALSE(events[1].raised);
  // The restored record starts the second run; the next record is its first live round.
  std::optional<std::int64_t> first_live_round;
  bool restored = false;
  for (const auto& record : history.records({})) {
    if (restored && !record.restored && !first_live_round) first_live_round = record.time_ms;
    restored = restored || record.restored;
  }
  ASSERT_TRUE(first_live_round);
  EXPECT_LE(events[1].time_ms, *first_live_round);
}

}  // namespace
