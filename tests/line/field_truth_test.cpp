// What the host says about its data end to end, on a pseudo-terminal: where a record comes from
// and how old it is, the host's own alarm when the equipment stops answering, and set-ups that
// can never work refused before anything starts.
#include <sys/stat.h>

#include <fstream>
#include <regex>

#include "bench_fixture.h"
#include "hostkit/json_output.h"
#include "hostkit/serial_rates.h"
#include "record/kelvra_419_fields.h"
#include "sim/scenario.h"

namespace {

using namespace bench_testing;
using kelvra::history::HistoryStore;

// The first device's status once `condition` holds of it; null after `limit`.
Json::Value device_status_when(BenchSession& session,
                               const std::function<bool(const Json::Value&)>& condition,
                               std::chrono::milliseconds limit = 15s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    try {
      const Json::Value device = session.ask(request("status"))["devices"][0];
      if (condition(device)) return device;
    } catch (const kelvra::run::ControlError&) {
      // the socket is not there yet
    }
    std::this_thread::sleep_for(50ms);
  }
  return Json::Value();
}

std::vector<kelvra::events::AlarmEvent> comm_lost_events(kelvra::history::HistoryReader& history) {
  std::vector<kelvra::events::AlarmEvent> events;
  for (const auto& event : history.alarm_events({})) {
    if (event.key == "COMM_LOST") events.push_back(event);
  }
  return events;
}

TEST(FieldTruth, RestoredRecordIsMarkedAndAgedUntilTheFirstLiveRound) {
  BenchSession first;
  first.options().rounds = 1;
  first.run_to_end();
  const auto first_rows = HistoryStore(first.db()).records({});
  ASSERT_EQ(first_rows.size(), 1u);
  const auto record =
      kelvra::record::from_bytes(first_rows[0].bytes.data(), first_rows[0].bytes.size());
  ASSERT_TRUE(record);
  const std::string round_time = kelvra::record::time_text(record->round_time);

  // A second run while the equipment is away: only history can answer.
  first.simulator().stop();
  BenchSession restarted;
  restarted.options() = first.options();
  restarted.options().rounds.reset();
  restarted.start();
  const Json::Value restored = device_status_when(
      restarted, [](const Json::Value& device) { return device["source"] == "restored"; });
  ASSERT_FALSE(restored.isNull()) << restarted.output();
  EXPECT_TRUE(restored["stale"].asBool());
  EXPECT_EQ(restored["record_time"].asString(), round_time);
  EXPECT_GE(restored["data_age_s"].asDouble(), 0.0);
  EXPECT_EQ(restored["last_round"].asString(), "");  // no round of this run
  // The restored record may be days old: its date is always said.
  EXPECT_TRUE(std::regex_match(restored["data"].asString(),
                               std::regex("restored from history, record of " + round_time +
                                          ", no live round yet(; communication lost)?")))
      << restored["data"].asString();
  EXPECT_NE(
      restarted.output().find("power1 restored from history, record of " + round_time + " | AC1"),
      std::string::npos)
      << restarted.output();
  Json::Value ask = request("query");
  ask["key"] = "out_v";
  const Json::Value answer = restarted.ask(ask);
  EXPECT_EQ(answer["source"].asString(), "restored");
  EXPECT_TRUE(answer["stale"].asBool());
  EXPECT_EQ(answer["record_time"].asString(), round_time);
  EXPECT_NE(answer["data"].asString().find("no live round yet"), std::string::npos);

  // The equipment is back: its first round ends the restored state.
  first.simulator().start();
  const Json::Value live = device_status_when(
      restarted, [](const Json::Value& device) { return device["source"] == "live"; });
  restarted.stop();
  ASSERT_FALSE(live.isNull()) << restarted.output();
  EXPECT_FALSE(live["stale"].asBool());
  EXPECT_FALSE(live["comm_lost"].asBool());
  EXPECT_LT(live["data_age_s"].asDouble(), 10.0);
  for (const Json::Value* shown : {&restored, &live}) {
    const std::string age = kelvra::hostkit::json_text((*shown)["data_age_s"]);
    EXPECT_TRUE(std::regex_match(age, std::regex(R"([0-9]+(\.[0-9]{1,3})?)"))) << age;
  }
  const auto rows = HistoryStore(first.db()).records({});
  ASSERT_GE(rows.size(), 3u);
  EXPECT_FALSE(rows[0].restored);
  EXPECT_TRUE(rows[1].restored);
  EXPECT_FALSE(rows[2].restored);
}

TEST(FieldTruth, CommLostIsRaisedWhenTheEquipmentGoesAndClearedWhenItIsBack) {
  BenchSession session;
  for (auto& device : session.options().settings.devices) device.comm_lost_level = 3;
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();
  session.simulator().stop();
  const Json::Value lost = device_status_when(
      session, [](const Json::Value& device) { return device["comm_lost"].asBool(); });
  ASSERT_FALSE(lost.isNull()) << session.output();
  EXPECT_TRUE(lost["stale"].asBool());
  EXPECT_EQ(lost["source"].asString(), "stale");
  EXPECT_EQ(lost["alarms"][0].asString(), "communication lost");
  EXPECT_TRUE(std::regex_search(lost["data"].asString(), std::regex("; communication lost$")))
      << lost["data"].asString();

  session.simulator().start();
  ASSERT_TRUE(session.wait_for([](kelvra::history::HistoryReader& history) {
    return comm_lost_events(history).size() >= 2;
  })) << session.output();
  const Json::Value back = device_status_when(
      session, [](const Json::Value& device) { return !device["comm_lost"].asBool(); });
  session.stop();
  ASSERT_FALSE(back.isNull());
  EXPECT_TRUE(back["alarms"].empty());

  kelvra::history::HistoryReader history(session.db());
  const auto events = comm_lost_events(history);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(events[0].raised);
  EXPECT_EQ(events[0].text, "communication lost");
  EXPECT_EQ(events[0].level, 3);
  EXPECT_FALSE(events[1].raised);
  EXPECT_EQ(events[1].name, "round completed");
  const std::string output = session.output();
  EXPECT_NE(output.find("power1 ALARM raised: communication lost [level 3, COMM_LOST host]"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("power1 ALARM cleared: communication lost"), std::string::npos);
}

TEST(FieldTruth, SilentDeviceRaisesCommLostAfterItsTime) {
  BenchSession session;
  session.simulator().with_simulator([](kelvra::sim::Simulator& sim) {
    sim.faults().set_rate(kelvra::sim::FaultKind::kNoAnswer, 1.0);
  });
  for (auto& device : session.options().settings.devices) device.comm_lost_after = 800ms;
  session.start();
  ASSERT_TRUE(session.wait_for([](kelvra::history::HistoryReader& history) {
    return !comm_lost_events(history).empty();
  })) << session.output();
  session.stop();
  const auto events =
      comm_lost_events(*std::make_unique<kelvra::history::HistoryReader>(session.db()));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "no round completed within 800 ms");
  EXPECT_EQ(events[0].level, 1);  // the default
}

TEST(FieldTruth, RoundsRunEndsWhenADeviceCompletesNoRoundInItsTime) {
  BenchSession session;
  session.simulator().with_simulator([](kelvra::sim::Simulator& sim) {
    sim.faults().set_rate(kelvra::sim::FaultKind::kNoAnswer, 1.0);
  });
  for (auto& device : session.options().settings.devices) device.comm_lost_after = 1000ms;
  session.options().rounds = 2;
  session.options().duration.reset();  // the silence alone must end it
  const std::string output = session.run_to_end();
  EXPECT_EQ(session.summary().failure, "power1 completed no round within 1000 ms");
  EXPECT_NE(output.find("stopped after 0 rounds (power1 completed no round within 1000 ms)"),
            std::string::npos)
      << output;
}

TEST(FieldTruth, RunWithoutACompletedRoundFails) {
  BenchSession session;
  session.simulator().stop();
  session.options().duration = 1s;
  const std::string output = session.run_to_end();
  EXPECT_EQ(session.summary().rounds, 0u);
  EXPECT_EQ(session.summary().failure, "no device completed a round");
  EXPECT_NE(output.find("stopped after 0 rounds (no device completed a round)"), std::string::npos)
      << output;
  // A port that is missing is a link fault that is retried, not a configuration error.
  EXPECT_FALSE(HistoryStore(session.db()).comm_events({}).empty());
}

TEST(FieldTruth, OneRoundIsOneRound) {
  BenchSession session;
  session.options().rounds = 1;
  const std::string output = session.run_to_end();
  EXPECT_TRUE(session.summary().ok()) << session.summary().failure;
  EXPECT_NE(output.find("stopped after 1 round; history in "), std::string::npos) << output;
}

// Counts the ports it is asked for: none may be asked for when the run is refused.
class CountingProvider : public kelvra::run::PortProvider {
 public:
  std::string provide(const kelvra::station::DeviceSettings&) override {
    ++calls;
    throw kelvra::run::RunError("no simulator in this test");
  }
  void after_round(const std::string&, std::uint64_t) override {}
  int calls = 0;
};

TEST(FieldTruth, SetUpsThatCanNeverWorkAreRefusedBeforeAnythingStarts) {
  struct Case {
    const char* what;
    std::function<void(kelvra::station::DeviceSettings&, const BenchSession&)> set;
    std::string message;  // with PORT for the port's path
  } cases[] = {
      {"directory", [](auto& device, const auto& session) { device.port = session.temp_file(""); },
       "power1: port PORT is a directory, not a serial device"},
      {"regular file",
       [](auto& device, const auto& session) {
         device.port = session.temp_file("plain");
         std::ofstream(device.port) << "not a terminal";
       },
       "power1: port PORT is a regular file, not a serial device"},
      {"baud", [](auto& device, const auto&) { device.serial.baud = 9601; },
       "power1: baud: expected one of the rates " + kelvra::hostkit::serial_rates_text() +
           ", got 9601"},
  };
  for (const Case& c : cases) {
    BenchSession session;
    CountingProvider provider;
    auto& devices = session.options().settings.devices;
    c.set(devices.front(), session);
    kelvra::station::DeviceSettings provided = devices.front();
    provided.name = "power2";
    provided.port.clear();
    provided.data_id = 2;
    provided.serial.baud = 9600;
    devices.push_back(provided);
    session.options().port_provider = &provider;
    session.start();
    session.join();
    std::string message = c.message;
    const auto at = message.find("PORT");
    if (at != std::string::npos) message.replace(at, 4, devices.front().port);
    EXPECT_TRUE(session.config_error()) << c.what << ": " << session.failure();
    EXPECT_EQ(session.failure(), message) << c.what;
    EXPECT_EQ(provider.calls, 0) << c.what;
    struct stat socket_file {};
    EXPECT_NE(stat(kelvra::run::control_socket_path(session.db()).c_str(), &socket_file), 0)
        << c.what;
  }
}

}  // namespace

namespace {

kelvra::sim::SimulatorConfig mains_lost() {
  return quiet_simulator(kelvra::sim::parse_scenario(R"({
    "timeline": [{"at": 0.1, "note": "mains lost", "set": {"ac*.phase_a": 0, "ac*.phase_b": 0,
                  "ac*.phase_c": 0, "ac*.mains_alarm": "0xE0"}}]})",
                                                     "mains-lost"));
}

TEST(ConsoleTruth, SecondDcUnitAndModulesBeyondTheRecordAreShown) {
  auto scenario = *kelvra::sim::builtin_scenario("normal");
  scenario.shape.dc_units = 2;
  scenario.shape.rectifiers = 45;
  scenario.dc_format = kelvra::sim::DcFormat::kCounted;
  BenchSession session(quiet_simulator(scenario));
  session.simulator().with_simulator([](kelvra::sim::Simulator& sim) {
    sim.equipment().dc[1].voltage = 52.25f;
    sim.equipment().dc[1].current = 12.5f;
    sim.note_changes();
  });
  session.options().rounds = 2;
  const std::string output = session.run_to_end();
  EXPECT_NE(output.find(" A | DC2 52.25 V 12.5 A | alarms: none"), std::string::npos) << output;
  const std::string said = "equipment reports 45 modules; the record holds 40";
  const auto first = output.find(said);
  ASSERT_NE(first, std::string::npos) << output;
  EXPECT_EQ(output.find(said, first + 1), std::string::npos) << "said twice:\n" << output;
}

TEST(ConsoleTruth, SeveralDevicesNeedANameAndQueryAllListsEveryField) {
  BenchSession session;
  Json::Value root(Json::objectValue);
  root["appSetting"]["has_dc"] = "1";
  root["host"]["port"] = session.link();
  root["host"]["devices"][0]["name"] = "west";
  root["host"]["devices"][1]["name"] = "east";
  root["host"]["devices"][1]["address"] = 3;
  session.options().settings = kelvra::run::parse_settings(root);
  for (auto& device : session.options().settings.devices) {
    device.response_timeout = 150ms;
    device.poll_interval = 50ms;
  }
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();
  const std::size_t controls_before = session.received("42/48");

  Json::Value query = request("query");
  query["key"] = "out_v";
  EXPECT_EQ(session.ask(query)["error"].asString(),
            "several devices: name one with --device (west, east)");
  Json::Value control = request("control");
  control["code"] = 310;
  control["argument"] = R"({"signal_id":"006201","SetValue":"50"})";
  EXPECT_EQ(session.ask(control)["error"].asString(),
            "several devices: name one with --device (west, east)");
  control["device"] = "north";
  EXPECT_EQ(session.ask(control)["error"].asString(), "no device named \"north\" (west, east)");

  Json::Value all = request("query");
  all["all"] = true;
  all["device"] = "west";
  const Json::Value listing = session.ask(all);
  all["device"] = "east";  // never answers: nothing to list
  const Json::Value empty = session.ask(all);
  session.stop();
  EXPECT_EQ(session.received("42/48"), controls_before);

  ASSERT_TRUE(listing["ok"].asBool()) << kelvra::hostkit::json_text(listing);
  EXPECT_EQ(listing["source"].asString(), "live");
  std::map<std::string, Json::Value> fields;
  for (const Json::Value& field : listing["fields"]) fields[field["name"].asString()] = field;
  ASSERT_TRUE(fields.count("dc.out_v"));
  EXPECT_EQ(fields["dc.out_v"]["label"].asString(), "DC output voltage");
  EXPECT_EQ(fields["dc.out_v"]["unit"].asString(), "V");
  EXPECT_EQ(fields["dc.out_v"]["value"].asDouble(), 53.5);
  EXPECT_EQ(fields["ac.channel[1].f"]["label"].asString(), "AC input 2 frequency");
  EXPECT_EQ(fields["ac.channel[1].f"]["unit"].asString(), "Hz");
  EXPECT_EQ(fields["rc.channel[5].value"]["unit"].asString(), "A");
  EXPECT_FALSE(empty["ok"].asBool());
  EXPECT_EQ(empty["source"].asString(), "none");
  EXPECT_EQ(empty["data"].asString().rfind("no data yet", 0), 0u) << empty["data"].asString();
}

TEST(ConsoleTruth, EnglishGlossesBesideTheDevicesAlarmTextsOnly) {
  BenchSession session(mains_lost());
  session.start();
  ASSERT_TRUE(session.wait_for([](kelvra::history::HistoryReader& history) {
    return !history.alarm_events({}).empty();
  })) << session.output();
  session.stop();
  // Only the text console glosses; history keeps the device's text as it is.
  EXPECT_EQ(HistoryStore(session.db()).alarm_events({})[0].text, "输入电源中断告警");
  EXPECT_EQ(session.output().find("(input power supply interrupted)"), std::string::npos);

  BenchSession english(mains_lost());
  english.english_console();
  english.start();
  ASSERT_TRUE(english.wait_for([](kelvra::history::HistoryReader& history) {
    return !history.alarm_events({}).empty();
  })) << english.output();
  english.stop();
  EXPECT_NE(english.output().find(
                "ALARM raised: 输入电源中断告警 (input power supply interrupted) [level 1, "
                "PowerOff 419415001] 输入电源中断告警 (input power supply interrupted)"),
            std::string::npos)
      << english.output();
  EXPECT_EQ(HistoryStore(english.db()).alarm_events({})[0].text, "输入电源中断告警");
}

}  // namespace

namespace {

// The first round's record with its round time cleared.
std::vector<std::uint8_t> first_record_without_time(BenchSession& session) {
  const auto rows = HistoryStore(session.db()).records({});
  if (rows.empty()) return {};
  auto record = kelvra::record::from_bytes(rows[0].bytes.data(), rows[0].bytes.size());
  if (!record) return {};
  std::fill(std::begin(record->round_time), std::end(record->round_time), 0);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&*record);
  return std::vector<std::uint8_t>(bytes, bytes + sizeof *record);
}

// The equipment answers the first command after the timeout; the command asked again meanwhile is
// answered a line time after that, when the host has taken the late answer for it and written the
// next command (AC switch, same CID1). Only the quiet wait after the late answer keeps that
// queued answer from passing for the AC switch answer.
TEST(SerialQuiet, AnswerQueuedBehindALateOneDoesNotPassForTheNextCommand) {
  BenchSession clean;
  clean.options().rounds = 1;
  clean.run_to_end();
  const auto expected = first_record_without_time(clean);
  ASSERT_FALSE(expected.empty());

  kelvra::sim::SimulatorConfig config = quiet_simulator(*kelvra::sim::builtin_scenario("normal"));
  config.pacing.enabled = true;
  config.pacing.baud = 115200;
  config.late_delay = 1300ms;
  BenchSession session(std::move(config));
  for (auto& device : session.options().settings.devices) device.response_timeout = 1000ms;
  session.simulator().with_simulator([](kelvra::sim::Simulator& sim) {
    sim.faults().set_rate(kelvra::sim::FaultKind::kLate, 1.0);
  });
  session.options().rounds = 1;
  session.start();
  // Only the first answer comes late: the next is drawn once the late one is out, 1.3 s on.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  const auto late_drawn = [&session] {
    for (const std::string& line : session.wire()) {
      if (line.find("fault injected: late") != std::string::npos) return true;
    }
    return false;
  };
  while (!late_drawn() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  session.simulator().with_simulator([](kelvra::sim::Simulator& sim) { sim.faults().clear(); });
  session.join();
  ASSERT_TRUE(late_drawn());
  EXPECT_EQ(first_record_without_time(session), expected) << session.output();
  EXPECT_NE(session.output().find("came while the line settles after a timeout, dropped"),
            std::string::npos)
      << session.output();
}

}  // namespace

namespace {

TEST(FieldTruth, SecondRunIsRefusedBeforeItStartsASimulator) {
  BenchSession first;
  first.start();
  ASSERT_TRUE(first.wait_for_records(1)) << first.output();
  kelvra::run::RunOptions options = first.options();
  options.settings.devices.front().port.clear();  // would be a simulator of its own
  CountingProvider provider;
  options.port_provider = &provider;
  std::FILE* out = std::tmpfile();
  kelvra::station::Console console(out, false);
  kelvra::run::BenchRun second(options, console);
  EXPECT_THROW(second.run(), kelvra::run::RunError);
  std::fclose(out);
  first.stop();
  EXPECT_EQ(provider.calls, 0);
}

}  // namespace
