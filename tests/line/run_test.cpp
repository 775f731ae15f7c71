// `kelvra-host run` end to end: plug-in library, pseudo-terminal, simulator, history, socket.
#include <sys/stat.h>

#include <csignal>
#include <regex>

#include "bench_fixture.h"
#include "hostkit/json_output.h"
#include "hostkit/local_time.h"
#include "record/kelvra_419_fields.h"
#include "sim/scenario.h"

namespace {

using namespace bench_testing;
using kelvra::history::HistoryStore;
using kelvra::sim::Equipment;

std::size_t count_of(const std::string& text, const std::regex& pattern) {
  return static_cast<std::size_t>(std::distance(
      std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()));
}

kelvra_419_Data_t record_of(const kelvra::history::StoredRecord& stored) {
  const auto record = kelvra::record::from_bytes(stored.bytes.data(), stored.bytes.size());
  EXPECT_TRUE(record.has_value()) << stored.bytes.size() << " bytes stored";
  return record.value_or(kelvra_419_Data_t{});
}

TEST(BenchRun, RoundsAreStoredOnceAndCarryTheModelsValues) {
  BenchSession session;
  // Values no default has, so that nothing but the line can have put them in the record.
  session.simulator().with_simulator([](kelvra::sim::Simulator& sim) {
    Equipment& model = sim.equipment();
    model.ac.inputs[0].phase_a = 231.5f;
    model.ac.inputs[1].frequency = 49.75f;
    model.rectifiers.modules[2].value = 12.25f;
    model.dc[0].voltage = 54.125f;
    model.dc[0].current = 37.5f;
    sim.note_changes();
  });
  session.options().rounds = 3;
  const std::string output = session.run_to_end();

  EXPECT_EQ(count_of(output, std::regex(" power1 round [0-9]+ ")), 3u) << output;
  EXPECT_NE(output.find("AC1 231.5/230/230 V 50 Hz | AC2 230/230/230 V 49.75 Hz"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("rectifiers 6: 10 10 12.25 10 10 10 A"), std::string::npos) << output;
  EXPECT_NE(output.find("DC 54.125 V 37.5 A | alarms: none"), std::string::npos) << output;

  HistoryStore history(session.db());
  const auto stored = history.records({});
  ASSERT_EQ(stored.size(), 3u);
  const Equipment model = session.simulator().with_simulator(
      [](kelvra::sim::Simulator& sim) { return sim.equipment(); });
  for (const auto& row : stored) {
    const kelvra_419_Data_t record = record_of(row);
    EXPECT_EQ(row.data_id, 1u);
    EXPECT_EQ(record.data_id.get(), 1u);
    EXPECT_EQ(record.ac.channel_count, 2);
    EXPECT_EQ(record.ac.channel[0].a.get(), *model.ac.inputs[0].phase_a);
    EXPECT_EQ(record.ac.channel[1].f.get(), *model.ac.inputs[1].frequency);
    ASSERT_EQ(record.rc.channel_count, model.rectifiers.modules.size());
    for (std::size_t i = 0; i < model.rectifiers.modules.size(); ++i) {
      EXPECT_EQ(record.rc.channel[i].value.get(), model.rectifiers.modules[i].value) << i;
    }
    EXPECT_EQ(record.rc.group_value.get(), model.rectifiers.group_value);
    EXPECT_EQ(record.dc.out_v.get(), model.dc[0].voltage);
    EXPECT_EQ(record.dc.out_i.get(), model.dc[0].current);
    EXPECT_NE(kelvra::record::time_text(record.round_time), "unset");
  }
  // Each round once: no two rows share a round's time stamp.
  EXPECT_NE(stored[0].time_ms, stored[1].time_ms);
  EXPECT_NE(stored[1].time_ms, stored[2].time_ms);
  EXPECT_TRUE(history.alarm_events({}).empty());
}

TEST(BenchRun, JsonLinesCarryTheRecordByFieldName) {
  BenchSession session;
  session.options().rounds = 1;
  session.json_output();
  const std::string output = session.run_to_end();
  const std::size_t start = output.find("{\"alarms\":[],\"device\":\"power1\"");
  ASSERT_NE(start, std::string::npos) << output;
  const std::string line = output.substr(start, output.find('\n', start) - start);
  EXPECT_NE(line.find("\"type\":\"round\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"dc\":{\"alert_m\":"), std::string::npos) << line;
  EXPECT_NE(line.find("\"out_v\":53.5"), std::string::npos) << line;
  EXPECT_NE(line.find("\"channel_count\":6"), std::string::npos) << line;
}

TEST(BenchRun, ScenarioMainsFailureRaisesThenClearsTheSupplyLossAlarm) {
  BenchSession session(quiet_simulator(kelvra::sim::parse_scenario(R"({
    "timeline": [
      {"at": 0.3, "note": "mains lost", "set": {"ac*.phase_a": 0, "ac*.phase_b": 0,
                                                "ac*.phase_c": 0, "ac*.mains_alarm": "0xE0"}},
      {"at": 2.5, "note": "mains back", "set": {"ac*.phase_a": 230, "ac*.phase_b": 230,
                                                "ac*.phase_c": 230, "ac*.mains_alarm": 0}}]})",
                                                                   "short-mains-failure")));
  session.start();
  const auto supply_loss_events = [](auto& history) {
    std::vector<kelvra::events::AlarmEvent> events;
    for (const auto& event : history.alarm_events({})) {
      if (event.key == "PowerOff") events.push_back(event);
    }
    return events;
  };
  ASSERT_TRUE(session.wait_for([&](kelvra::history::HistoryReader& h) {
    return supply_loss_events(h).size() >= 2;
  })) << session.output();
  session.stop();

  HistoryStore history(session.db());
  const auto events = supply_loss_events(history);
  ASSERT_EQ(events.size(), 2u);
  for (const auto& event : events) {
    EXPECT_EQ(event.level, 1);
    EXPECT_EQ(event.alarm_id, "419415001");
    EXPECT_EQ(event.text, "输入电源中断告警");
    EXPECT_EQ(event.seq, 100u);
  }
  EXPECT_TRUE(events[0].raised);
  EXPECT_FALSE(events[1].raised);
  EXPECT_LE(events[0].time_ms, events[1].time_ms);
  const std::string output = session.output();
  EXPECT_NE(output.find("ALARM raised: 输入电源中断告警 [level 1, PowerOff 419415001]"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("ALARM cleared: 输入电源中断告警"), std::string::npos) << output;
  EXPECT_NE(output.find("AC1 0/0/0 V 50 Hz"), std::string::npos) << output;
}

TEST(BenchRun, SocketAnswersQueriesControlsAndStatus) {
  const std::int64_t started_ms = kelvra::hostkit::utc_now_ms();
  BenchSession session;
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();

  struct stat socket_file {};
  ASSERT_EQ(stat(kelvra::run::control_socket_path(session.db()).c_str(), &socket_file), 0);
  EXPECT_TRUE(S_ISSOCK(socket_file.st_mode));
  EXPECT_EQ(socket_file.st_mode & 0777, 0600u);

  struct QueryCase {
    const char* key;
    bool ok;
    double value;
    const char* refusal;
  } queries[] = {
      {"out_v", true, 53.5, ""},
      {"ac", true, 0.0, ""},  // both inputs at 230 V: mains present
      {"OUT_V", false, 0, "不支持变量"},
      {"", false, 0, "不支持变量"},
  };
  for (const QueryCase& query : queries) {
    Json::Value ask = request("query");
    ask["key"] = query.key;
    const Json::Value reply = session.ask(ask);
    EXPECT_EQ(reply["ok"].asBool(), query.ok) << query.key;
    EXPECT_EQ(reply["source"].asString(), "live") << query.key;
    EXPECT_FALSE(reply["stale"].asBool()) << query.key;
    EXPECT_TRUE(std::regex_match(reply["data"].asString(),
                                 std::regex("live, record of [0-9:]{8}, [0-9.]+ s old")))
        << reply["data"].asString();
    if (query.ok) {
      EXPECT_EQ(reply["value"].asDouble(), query.value) << query.key;
    } else {
      EXPECT_EQ(reply["refusal"].asString(), query.refusal) << query.key;
    }
  }

  // Each request as the host's check takes it: refused ones never reach the line.
  struct ControlCase {
    int code;
    const char* argument;
    bool force;
    const char* verdict;
    const char* words;    // the refusal or note; "" for none
    const char* command;  // what goes on the wire ("42/48"), or "" for nothing
    int readback;         // 1 once the equipment answered, -1 when nothing was sent
  } controls[] = {
      {310, R"({"signal_id":"006201","SetValue":"52.5"})", false, "passed", "", "42/48", 1},
      {310, R"({"signal_id":"006202","SetValue":44.25})", false, "passed", "", "42/48", 1},
      {310, R"({"signal_id":"006201","SetValue":"abc"})", false, "refused",
       "SetValue \"abc\" is not a decimal number; the device would send 0: nothing was sent "
       "(--force sends it)",
       "", 0},
      {310, R"({"signal_id":"006201","SetValue":"70"})", false, "refused",
       "SetValue 70 lies outside 40 to 60 V: nothing was sent (--force sends it)", "", 0},
      {310, R"({"signal_id":"006201","SetValue":"39.99"})", false, "refused",
       "SetValue 39.99 lies outside 40 to 60 V: nothing was sent (--force sends it)", "", 0},
      {310, "not json", false, "refused",
       R"(code 310 takes a JSON object such as {"signal_id":"006201","SetValue":"53.5"}: nothing was sent)",
       "", 0},
      {300, "010203040506", false, "refused", "code 300 takes 7 bytes, got 6: nothing was sent", "",
       0},
      {320, "419500201001", false, "passed", "", "41/45", 1},
      {320, "419500201001\\0", false, "refused", "no such command: nothing was sent", "", 0},
      {5, "", false, "passed", "code 5 reads back the last control outcome", "", 1},
      // Forced past the check: the device's own conversion makes 0 of the text.
      {310, R"({"signal_id":"006201","SetValue":"70"})", true, "forced",
       "SetValue 70 lies outside 40 to 60 V", "42/48", 1},
  };
  for (const ControlCase& control : controls) {
    const std::size_t before = control.command[0] ? session.received(control.command) : 0;
    const std::size_t setters_before =
        session.received("42/48") + session.received("41/45") + session.received("41/4E");
    Json::Value ask = request("control");
    ask["code"] = control.code;
    ask["argument"] = control.argument;
    if (control.force) ask["force"] = true;
    const Json::Value reply = session.ask(ask);
    const std::string name = std::to_string(control.code) + " " + control.argument;
    if (std::string(control.verdict) == "refused") {
      EXPECT_FALSE(reply["ok"].asBool()) << name;
      EXPECT_EQ(reply["error"].asString(), control.words) << name;
      // Asked again after a whole exchange time: still nothing went out.
      std::this_thread::sleep_for(300ms);
      EXPECT_EQ(session.received("42/48") + session.received("41/45") + session.received("41/4E"),
                setters_before)
          << name;
      continue;
    }
    EXPECT_TRUE(reply["ok"].asBool()) << name << " " << reply["error"].asString();
    EXPECT_EQ(reply["readback"].asInt(), control.readback) << name;
    EXPECT_EQ(reply["note"].asString(), control.words) << name;
    if (control.command[0]) {
      EXPECT_EQ(session.received(control.command), before + 1) << name;
      ASSERT_EQ(reply["sent"].size(), 1u) << name;
      EXPECT_EQ(reply["sent"][0].asString().substr(0, 6), std::string(control.command) + " ")
          << name;
    } else {
      EXPECT_EQ(reply["sent"].size(), 0u) << name;
    }
  }
  const auto setpoints = session.simulator().with_simulator(
      [](kelvra::sim::Simulator& sim) { return sim.equipment().dc_setpoints; });
  EXPECT_EQ(setpoints.at(0xDC), 70.0f);  // the forced one came last
  EXPECT_EQ(setpoints.at(0xDB), 44.25f);
  // Every request is a control event in history, with what the device read back, committed
  // within the second.
  // Those that reached the line also as "sent" before their outcome.
  std::size_t reached_the_line = 0;
  for (const ControlCase& control : controls) {
    reached_the_line += std::string(control.verdict) == "refused" ? 0 : 1;
  }
  const std::size_t rows = std::size(controls) + reached_the_line;
  EXPECT_TRUE(session.wait_for([&](kelvra::history::HistoryReader& history) {
    return history.control_events({}).size() >= rows;
  }));
  std::vector<kelvra::events::ControlEvent> stored_controls;
  std::size_t sent_rows = 0;
  for (auto& event : HistoryStore(session.db()).control_events({})) {
    if (event.verdict == "sent") {
      ++sent_rows;
    } else {
      stored_controls.push_back(std::move(event));
    }
  }
  EXPECT_EQ(sent_rows, reached_the_line);
  ASSERT_EQ(stored_controls.size(), std::size(controls));
  const std::regex socket_peer("socket uid [0-9]+ pid [0-9]+");
  for (std::size_t i = 0; i < std::size(controls); ++i) {
    EXPECT_TRUE(std::regex_match(stored_controls[i].origin, socket_peer))
        << stored_controls[i].origin;
    EXPECT_EQ(stored_controls[i].code, controls[i].code);
    EXPECT_EQ(stored_controls[i].argument, controls[i].argument);
    EXPECT_EQ(stored_controls[i].verdict, controls[i].verdict) << i;
    const bool refused = std::string(controls[i].verdict) == "refused";
    EXPECT_EQ(stored_controls[i].readback, refused ? "" : std::to_string(controls[i].readback))
        << i;
    EXPECT_NE(stored_controls[i].detail.find(controls[i].words), std::string::npos)
        << stored_controls[i].detail;
    // Stamped in UTC when asked, never rebuilt from a local text.
    EXPECT_GE(stored_controls[i].time_ms, started_ms) << i;
    EXPECT_LE(stored_controls[i].time_ms, kelvra::hostkit::utc_now_ms()) << i;
  }

  const Json::Value status = session.ask(request("status"));
  ASSERT_EQ(status["devices"].size(), 1u);
  const Json::Value& device = status["devices"][0];
  EXPECT_EQ(device["device"].asString(), "power1");
  EXPECT_EQ(device["link"].asString(), "up");
  EXPECT_TRUE(device["data_valid"].asBool());
  EXPECT_GE(device["rounds"].asUInt64(), 1u);
  EXPECT_GE(device["answers"].asUInt64(), 8u);  // the first round sends all eight commands
  EXPECT_EQ(device["timeouts"].asUInt64(), 0u);
  EXPECT_EQ(device["source"].asString(), "live");
  EXPECT_FALSE(device["stale"].asBool());
  EXPECT_FALSE(device["comm_lost"].asBool());
  EXPECT_TRUE(device["record_time"].isString());
  EXPECT_GE(device["data_age_s"].asDouble(), 0.0);
  EXPECT_LT(device["data_age_s"].asDouble(), 20.0);
  EXPECT_TRUE(std::regex_match(device["poll_state_name"].asString(),
                               std::regex("idle|waiting for 4[012]/4[134]")))
      << device["poll_state_name"].asString();
  EXPECT_EQ(status["lines"][0]["link"].asString(), "up");

  Json::Value unknown = request("reboot");
  EXPECT_EQ(session.ask(unknown)["error"].asString(),
            "unknown command \"reboot\" (query, control, status)");
}

TEST(BenchRun, RestartHandsTheLastStoredRecordToTheDevice) {
  BenchSession session;
  session.simulator().with_simulator([](kelvra::sim::Simulator& sim) {
    sim.equipment().dc[0].voltage = 51.25f;
    sim.note_changes();
  });
  session.options().rounds = 1;
  session.run_to_end();

  // Second run with the equipment gone: only the stored record can answer.
  session.simulator().stop();
  BenchSession restarted;
  restarted.options() = session.options();
  restarted.options().rounds.reset();
  restarted.start();
  ASSERT_TRUE(restarted.wait_for_records(2)) << restarted.output();
  Json::Value ask = request("query");
  ask["key"] = "out_v";
  const Json::Value reply = restarted.ask(ask);
  restarted.stop();

  EXPECT_TRUE(reply["ok"].asBool()) << reply["refusal"].asString();
  EXPECT_EQ(reply["value"].asDouble(), 51.25);
  const std::string output = restarted.output();
  HistoryStore history(session.db());
  const auto stored = history.records({});
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_NE(output.find("power1 restored from history, record of " +
                        kelvra::record::time_text(record_of(stored[0]).round_time) +
                        " | AC1 230/230/230 V 50 Hz"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("DC 51.25 V"), std::string::npos) << output;
  // As `history` lists it: stored at the restart, made at the first run's round.
  std::FILE* listing = std::tmpfile();
  {
    kelvra::station::Console console(listing, false);
    console.stored_record(stored[1]);
  }
  std::rewind(listing);
  char line[512] = {};
  EXPECT_NE(std::fgets(line, sizeof line, listing), nullptr);
  std::fclose(listing);
  EXPECT_NE(
      std::string(line).find("power1 record (data id 1, restored from history, record of " +
                             kelvra::record::time_text(record_of(stored[0]).round_time) + "): AC1"),
      std::string::npos)
      << line;
  EXPECT_EQ(record_of(stored[1]).dc.out_v.get(), 51.25f);
  EXPECT_EQ(stored[1].round_seconds, 0.0);
  EXPECT_FALSE(stored[0].restored);
  EXPECT_TRUE(stored[1].restored);
}

TEST(BenchRun, VanishedPortIsReopenedAndPollingResumes) {
  BenchSession session;
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();
  session.simulator().stop();
  ASSERT_TRUE(session.wait_for([](kelvra::history::HistoryReader& history) {
    return !history.comm_events({}).empty();
  })) << session.output();
  const std::size_t before = HistoryStore(session.db()).records({}).size();
  session.simulator().start();
  ASSERT_TRUE(session.wait_for_records(before + 1)) << session.output();
  session.stop();

  HistoryStore history(session.db());
  const auto events = history.comm_events({});
  ASSERT_EQ(events.size(), 2u) << session.output();
  EXPECT_EQ(events[0].event, "lost");
  EXPECT_EQ(events[1].event, "restored");
  EXPECT_EQ(events[0].port, session.link());
  const std::string output = session.output();
  EXPECT_EQ(count_of(output, std::regex("communication lost on ")), 1u) << output;
  EXPECT_EQ(count_of(output, std::regex("communication restored on ")), 1u) << output;
}

TEST(BenchRun, SigtermEndsTheRunWithHistoryComplete) {
  BenchSession session;
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();
  std::raise(SIGTERM);
  session.join();
  EXPECT_NE(session.output().find("stopping on signal 15"), std::string::npos);
  HistoryStore history(session.db());
  for (const auto& row : history.records({})) EXPECT_EQ(row.bytes.size(), 763u);
  EXPECT_NE(access(kelvra::run::control_socket_path(session.db()).c_str(), F_OK), 0);
}

// A line fault leaves polling going and is counted where status shows it: a device counter and a
// decoder error kind. What the line makes of each fault, frame by frame, is the line machine's
// table test.
struct FaultCase {
  const char* fault;
  const char* counter;  // a device counter, a line counter or a decoder error kind
};

void PrintTo(const FaultCase& fault, std::ostream* out) {
  *out << fault.fault;
}

class BenchFaults : public ::testing::TestWithParam<FaultCase> {};

std::uint64_t counter_of(const Json::Value& status, const std::string& name) {
  const Json::Value& device = status["devices"][0];
  const Json::Value& line = status["lines"][0];
  if (device.isMember(name)) return device[name].asUInt64();
  if (line.isMember(name)) return line[name].asUInt64();
  return line["errors"][name].asUInt64();
}

TEST_P(BenchFaults, PollingGoesOnAndTheFaultIsCounted) {
  const FaultCase& fault = GetParam();
  kelvra::sim::SimulatorConfig config = quiet_simulator(*kelvra::sim::builtin_scenario("normal"));
  config.scenario.faults.emplace_back(*kelvra::sim::parse_fault_name(fault.fault), 0.3);
  config.seed = 7;
  BenchSession session(config);
  session.start();
  ASSERT_TRUE(session.wait_for_records(3)) << session.output();
  const Json::Value status = session.ask(request("status"));
  session.stop();
  EXPECT_GT(counter_of(status, fault.counter), 0u) << kelvra::hostkit::json_text(status);
  EXPECT_GE(status["devices"][0]["rounds"].asUInt64(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Line, BenchFaults,
                         ::testing::Values(FaultCase{"no-answer", "timeouts"},
                                           FaultCase{"bad-chksum", "bad CHKSUM"}),
                         [](const ::testing::TestParamInfo<FaultCase>& param_info) {
                           std::string name = param_info.param.fault;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

}  // namespace

namespace {

using namespace bench_testing;

kelvra::run::RunSettings two_devices(const std::string& first_port, int first_address,
                                     const std::string& second_port, int second_address) {
  Json::Value root(Json::objectValue);
  root["appSetting"]["has_dc"] = "1";
  Json::Value& devices = root["host"]["devices"];
  devices[0]["name"] = "west";
  devices[0]["port"] = first_port;
  devices[0]["address"] = first_address;
  devices[1]["name"] = "east";
  devices[1]["port"] = second_port;
  devices[1]["address"] = second_address;
  devices[1]["data_id"] = 7;
  kelvra::run::RunSettings settings = kelvra::run::parse_settings(root);
  for (auto& device : settings.devices) {
    device.response_timeout = 150ms;
    device.poll_interval = 50ms;
  }
  return settings;
}

std::map<std::uint32_t, std::size_t> records_per_data_id(const std::string& db) {
  std::map<std::uint32_t, std::size_t> counts;
  for (const auto& row : kelvra::history::HistoryStore(db).records({})) ++counts[row.data_id];
  return counts;
}

TEST(BenchRunDevices, TwoPortsArePolledEachWithItsOwnDevice) {
  BenchSession session;
  kelvra::sim::SimulatorConfig config = quiet_simulator(*kelvra::sim::builtin_scenario("normal"));
  config.responder.address = 2;
  config.scenario.shape.rectifiers = 3;
  kelvra::sim::SimulatorServer second(config, {"", session.link() + "-2"}, nullptr);
  second.start();
  session.options().settings = two_devices(session.link(), 1, session.link() + "-2", 2);
  session.options().rounds = 2;
  const std::string output = session.run_to_end();

  const auto counts = records_per_data_id(session.db());
  EXPECT_EQ(counts.at(1), 2u);
  EXPECT_EQ(counts.at(7), 2u);
  EXPECT_NE(output.find(" west round 2 "), std::string::npos) << output;
  EXPECT_NE(output.find(" east round 2 "), std::string::npos) << output;
  EXPECT_NE(output.find("rectifiers 3: 10 10 10 A"), std::string::npos) << output;
  EXPECT_NE(output.find("rectifiers 6: 10 10 10 10 10 10 A"), std::string::npos) << output;
}

TEST(BenchRunDevices, AddressesOnOnePortAreTakenInTurn) {
  BenchSession session;
  // The simulator answers address 1 only: the device at address 3 never gets an answer, and
  // must not keep the one at address 1 from its rounds.
  session.options().settings = two_devices(session.link(), 1, session.link(), 3);
  session.start();
  ASSERT_TRUE(session.wait_for_records(3)) << session.output();
  const Json::Value status = session.ask(request("status"));
  session.stop();

  ASSERT_EQ(status["devices"].size(), 2u);
  ASSERT_EQ(status["lines"].size(), 1u);
  EXPECT_GE(status["devices"][0]["rounds"].asUInt64(), 3u);
  EXPECT_EQ(status["devices"][0]["timeouts"].asUInt64(), 0u);
  EXPECT_EQ(status["devices"][1]["rounds"].asUInt64(), 0u);
  EXPECT_GE(status["devices"][1]["timeouts"].asUInt64(), 1u);
  EXPECT_EQ(records_per_data_id(session.db()).count(7), 0u);
}

}  // namespace
