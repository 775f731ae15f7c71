// What reaches the broker out of history after a restart: a restored record with its own time
// and age, and every round stored while the broker was never reached.
#include <sqlite3.h>

#include <ctime>

#include "broker_fixture.h"
#include "northbound/mqtt_service.h"
#include "record/kelvra_419_fields.h"
#include "tests/line/bench_fixture.h"
#include "tests/web/http_client.h"
#include "web/http_server.h"

namespace {

using namespace broker_testing;
using bench_testing::BenchSession;
using bench_testing::TempDir;
using kelvra::history::HistoryStore;

const std::string kState = "kelvra/site1/power1/state";

kelvra::run::MqttSettings site1(const Broker& broker) {
  kelvra::run::MqttSettings settings;
  kelvra::run::parse_mqtt_url("url", broker.url(), settings);
  settings.site = "site1";
  settings.full_state = std::chrono::seconds(0);
  return settings;
}

// A record of the device made `age` ago (whole seconds), its round time in local time.
kelvra::history::StoredRecord record_made_ago(const kelvra::station::DeviceSettings& device,
                                              std::chrono::seconds age) {
  const std::time_t made = std::time(nullptr) - static_cast<std::time_t>(age.count());
  std::tm local{};
  localtime_r(&made, &local);
  kelvra_419_Data_t record{};
  const int year = local.tm_year + 1900;
  const int stamp[7] = {year & 0xFF,   year >> 8,    local.tm_mon + 1, local.tm_mday,
                        local.tm_hour, local.tm_min, local.tm_sec};
  for (int i = 0; i < 7; ++i) record.round_time[i] = static_cast<std::uint8_t>(stamp[i]);
  kelvra::history::StoredRecord stored;
  stored.device = device.name;
  stored.data_id = device.data_id;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
  stored.bytes.assign(bytes, bytes + sizeof record);
  stored.time_ms = static_cast<std::int64_t>(made) * 1000;
  return stored;
}

TEST(ReplayTruth, RestoredRecordKeepsItsOwnTimeAndAgeEverywhere) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), kState);
  kelvra::northbound::MqttService mqtt(site1(broker), "1.0.0");
  kelvra::web::HttpOptions http_options;
  http_options.port = 0;
  kelvra::web::HttpServer http(http_options);
  BenchSession session;
  session.simulator().stop();  // only history can answer
  const auto old = record_made_ago(session.options().settings.devices.front(), 48h);
  HistoryStore(session.db()).add_record(old);
  const std::string round_time = kelvra::record::time_text(
      kelvra::record::from_bytes(old.bytes.data(), old.bytes.size())->round_time);
  session.options().services = {&mqtt, &http};
  session.start();
  ASSERT_TRUE(subscriber.wait_for(kState, 1)) << session.output();
  const Json::Value status = session.ask(bench_testing::request("status"))["devices"][0];
  const Json::Value api =
      parse_json(web_testing::exchange(http.port(), "GET", "/api/v1/devices/power1/record").body);
  const std::string metrics = web_testing::exchange(http.port(), "GET", "/metrics").body;
  session.stop();

  const double two_days = 48 * 3600;
  const Json::Value state = parse_json(subscriber.on(kState).back().payload);
  EXPECT_EQ(state["source"].asString(), "restored");
  EXPECT_EQ(state["round_time"].asString(), round_time);
  EXPECT_EQ(state["time_ms"].asInt64(), old.time_ms);
  EXPECT_GE(state["age_s"].asDouble(), two_days);
  EXPECT_EQ(status["record_time"].asString(), round_time);
  EXPECT_GE(status["data_age_s"].asDouble(), two_days);
  EXPECT_EQ(api["time_ms"].asInt64(), old.time_ms);
  const std::string age_sample = "kelvra_data_age_seconds{device=\"power1\"} ";
  const auto at = metrics.find(age_sample);
  ASSERT_NE(at, std::string::npos) << metrics;
  EXPECT_GE(std::stod(metrics.substr(at + age_sample.size())), two_days);
  const auto rows = HistoryStore(session.db()).records({});
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_TRUE(rows[1].restored);
  EXPECT_EQ(rows[1].bytes, old.bytes);
}

// The positions of the state messages this subscriber saw sent (not kept from before), with
// whether each was sent as replayed.
std::vector<std::pair<std::int64_t, bool>> sent_states(Subscriber& subscriber) {
  std::vector<std::pair<std::int64_t, bool>> states;
  for (const Message& message : subscriber.on(kState)) {
    if (message.retained) continue;
    const Json::Value state = parse_json(message.payload);
    states.emplace_back(state["position"].asInt64(), state["replayed"].asBool());
  }
  return states;
}

// A run of `rounds` rounds on `db` publishing to `url`.
void run_rounds(const std::string& db, const std::string& url, int rounds) {
  kelvra::run::MqttSettings settings;
  kelvra::run::parse_mqtt_url("url", url, settings);
  settings.site = "site1";
  settings.full_state = std::chrono::seconds(0);
  kelvra::northbound::MqttService mqtt(settings, "1.0.0");
  BenchSession session;
  session.options().db_path = db;
  session.options().services = {&mqtt};
  session.options().rounds = rounds;
  session.run_to_end();
}

TEST(ReplayTruth, RoundsStoredWhileTheBrokerWasNeverReachedFollowInOrder) {
  TempDir dir;
  const std::string db = dir.file("history.db");
  run_rounds(db, "mqtt://127.0.0.1:" + std::to_string(free_port()), 2);
  std::vector<std::int64_t> stored;
  for (const auto& row : HistoryStore(db).records({})) stored.push_back(row.id);
  ASSERT_EQ(stored.size(), 2u);

  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), kState);
  run_rounds(db, broker.url(), 2);
  ASSERT_TRUE(subscriber.wait_for(kState, 4));
  const auto states = sent_states(subscriber);
  ASSERT_GE(states.size(), 4u);
  for (std::size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(states[i], std::make_pair(stored[i], true)) << i;
  }
}

TEST(ReplayTruth, CursorThatCannotBeReadIsReadAgainNotTakenAsNone) {
  TempDir dir;
  const std::string db = dir.file("history.db");
  Broker broker(dir.file(""));
  run_rounds(db, broker.url(), 2);
  const std::int64_t acknowledged = HistoryStore(db).get_cursor("mqtt:site1/power1");
  ASSERT_GT(acknowledged, 0);

  Subscriber subscriber(broker.port(), kState);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other,
                         "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                         "SELECT count(*) FROM records",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  kelvra::northbound::MqttService mqtt(site1(broker), "1.0.0");
  BenchSession session;
  session.options().db_path = db;
  session.options().services = {&mqtt};
  session.start();
  std::this_thread::sleep_for(2s);
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  ASSERT_TRUE(subscriber.wait_for(kState, 3)) << session.output();
  session.stop();

  const auto states = sent_states(subscriber);
  ASSERT_FALSE(states.empty());
  for (const auto& [position, replayed] : states) {
    EXPECT_GT(position, acknowledged) << "sent again";
  }
  EXPECT_TRUE(std::is_sorted(states.begin(), states.end()));
}

}  // namespace
