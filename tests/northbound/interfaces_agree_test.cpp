// One run read through every interface at once (console JSON lines, query --all on the control
// socket, the HTTP API, /metrics and MQTT): each must give every reading the same name, unit,
// presence and value, and every alarm the same key.
#include <map>
#include <regex>
#include <set>

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

struct Reading {
  std::string unit;
  double value;
};
using Readings = std::map<std::string, Reading>;

// Readings of a [{"name", "unit", "value"}] list, keeping those with a unit.
Readings from_list(const Json::Value& fields) {
  Readings readings;
  for (const Json::Value& field : fields) {
    if (field["unit"].asString().empty()) continue;
    readings[field["name"].asString()] = {field["unit"].asString(), field["value"].asDouble()};
  }
  return readings;
}

// Readings of a nested record, named and given units by the field table.
Readings from_record(const Json::Value& record, const Json::Value& units = Json::Value()) {
  Readings readings;
  std::function<void(const Json::Value&, const std::string&)> walk = [&](const Json::Value& node,
                                                                         const std::string& at) {
    if (node.isObject()) {
      for (const std::string& name : node.getMemberNames())
        walk(node[name], at.empty() ? name : at + "." + name);
    } else if (node.isArray()) {
      for (Json::ArrayIndex i = 0; i < node.size(); ++i)
        walk(node[i], at + "[" + std::to_string(i) + "]");
    } else if (node.isNumeric()) {
      const std::string unit =
          units.isNull() ? kelvra::record::describe_field(at).unit : units.get(at, "").asString();
      if (!unit.empty()) readings[at] = {unit, node.asDouble()};
    }
  };
  walk(record, "");
  return readings;
}

// Readings of the exposition, named back through the field table's metric columns.
Readings from_metrics(const std::string& text, const Readings& names) {
  Readings readings;
  for (const auto& [name, reading] : names) {
    const auto described = kelvra::record::describe_field(name);
    kelvra::record::FieldValue field{name, 0, {}, "", described.unit, described.spec, "", {}, 0};
    std::string sample = std::string(described.spec->metric) + "{device=\"power1\"";
    for (const auto& [label, value] : kelvra::record::metric_labels(field))
      sample += "," + label + "=\"" + value + "\"";
    sample += "} ";
    const std::size_t at = text.find(sample);
    if (at == std::string::npos) continue;
    readings[name] = {described.unit, std::stod(text.substr(at + sample.size()))};
  }
  return readings;
}

std::set<std::string> metric_alarm_keys(const std::string& text) {
  std::set<std::string> keys;
  const std::regex sample(R"re(kelvra_alarm_active\{device="power1",key="([^"]+)")re");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), sample);
       it != std::sregex_iterator(); ++it)
    keys.insert((*it)[1]);
  return keys;
}

TEST(InterfacesAgree, EveryReadingAndAlarmKeyIsTheSameEverywhere) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), "#");
  kelvra::run::MqttSettings settings;
  kelvra::run::parse_mqtt_url("url", broker.url(), settings);
  settings.site = "site1";
  settings.full_state = std::chrono::seconds(0);
  kelvra::northbound::MqttService mqtt(settings, "1.0.0");
  kelvra::web::HttpOptions http_options;
  http_options.port = 0;
  kelvra::web::HttpServer http(http_options);
  // Every rule reports each round, raised or not, so every alarm key is published from the start.
  BenchSession session(bench_testing::quiet_simulator(*kelvra::sim::builtin_scenario("normal")));
  session.json_output();
  session.options().services = {&mqtt, &http};
  session.options().duration = 60s;
  session.start();
  ASSERT_TRUE(session.wait_for_records(2)) << session.output();
  ASSERT_TRUE(subscriber.wait_for("kelvra/site1/power1/state", 2)) << session.output();

  Json::Value ask = bench_testing::request("query");
  ask["device"] = "power1";
  ask["all"] = true;
  const Readings queried = from_list(session.ask(ask)["fields"]);
  const auto api = web_testing::exchange(http.port(), "GET", "/api/v1/devices/power1/record");
  const std::string metrics = web_testing::exchange(http.port(), "GET", "/metrics").body;
  session.stop();

  ASSERT_FALSE(queried.empty());
  EXPECT_EQ(from_list(parse_json(api.body)["fields"]).size(), queried.size()) << api.body;
  Json::Value round;
  std::istringstream lines(session.output());
  for (std::string line; std::getline(lines, line);) {
    const Json::Value parsed = parse_json(line);
    if (parsed["type"] == "round") round = parsed;
  }
  const Json::Value state = parse_json(subscriber.on("kelvra/site1/power1/state").back().payload);
  const std::map<std::string, Readings> interfaces = {
      {"API", from_list(parse_json(api.body)["fields"])},
      {"console", from_record(round["record"])},
      {"MQTT", from_record(state["record"], state["units"])},
      {"metrics", from_metrics(metrics, queried)},
  };
  for (const auto& [interface, readings] : interfaces) {
    ASSERT_EQ(readings.size(), queried.size()) << interface;
    for (const auto& [name, reading] : queried) {
      ASSERT_EQ(readings.count(name), 1u) << interface << " lacks " << name;
      EXPECT_EQ(readings.at(name).unit, reading.unit) << interface << " " << name;
      EXPECT_DOUBLE_EQ(readings.at(name).value, reading.value) << interface << " " << name;
    }
  }
  // A DC unit that is not fitted is in no interface.
  EXPECT_EQ(queried.count("dc2.out_v"), 0u);

  std::set<std::string> mqtt_keys;
  for (const Message& message : subscriber.messages()) {
    const std::string prefix = "kelvra/site1/power1/alarm/";
    if (message.topic.rfind(prefix, 0) == 0) mqtt_keys.insert(message.topic.substr(prefix.size()));
  }
  EXPECT_FALSE(mqtt_keys.empty());
  EXPECT_EQ(metric_alarm_keys(metrics), mqtt_keys);
}

// A live record no longer fed is "stale" in every interface, whether the line went down or the
// equipment stopped answering while the line stays up.
TEST(InterfacesAgree, DataNoLongerFedIsStaleEverywhere) {
  struct Case {
    const char* what;
    std::function<void(BenchSession&)> silence;
    const char* until;  // the status member that turns true once it took effect
  } cases[] = {
      {"line down", [](BenchSession& session) { session.simulator().stop(); }, "link_down"},
      {"no answer",
       [](BenchSession& session) {
         session.simulator().with_simulator([](kelvra::sim::Simulator& sim) {
           sim.faults().set_rate(kelvra::sim::FaultKind::kNoAnswer, 1.0);
         });
       },
       "comm_lost"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Broker broker(dir.file(""));
    Subscriber subscriber(broker.port(), "kelvra/site1/power1/link");
    kelvra::run::MqttSettings settings;
    kelvra::run::parse_mqtt_url("url", broker.url(), settings);
    settings.site = "site1";
    kelvra::northbound::MqttService mqtt(settings, "1.0.0");
    kelvra::web::HttpOptions http_options;
    http_options.port = 0;
    kelvra::web::HttpServer http(http_options);
    BenchSession session;
    for (auto& device : session.options().settings.devices) device.comm_lost_after = 800ms;
    session.options().services = {&mqtt, &http};
    session.start();
    ASSERT_TRUE(session.wait_for_records(2)) << c.what << session.output();
    c.silence(session);
    Json::Value status;
    ASSERT_TRUE(wait_until(
        [&] {
          status = session.ask(bench_testing::request("status"))["devices"][0];
          status["link_down"] = status["link"] == "down";
          return status[c.until].asBool();
        },
        10s))
        << c.what << session.output();
    const Json::Value api =
        parse_json(web_testing::exchange(http.port(), "GET", "/api/v1/devices/power1").body);
    const std::string metrics = web_testing::exchange(http.port(), "GET", "/metrics").body;
    const bool link_down_told =
        subscriber.wait_for("kelvra/site1/power1/link", 1) &&
        wait_until(
            [&] { return subscriber.on("kelvra/site1/power1/link").back().payload == "down"; }, 5s);
    session.stop();

    EXPECT_EQ(status["source"].asString(), "stale") << c.what;
    EXPECT_TRUE(status["stale"].asBool()) << c.what;
    EXPECT_EQ(status["data"].asString().rfind("stale, record of ", 0), 0u)
        << c.what << ": " << status["data"].asString();
    EXPECT_EQ(api["source"].asString(), "stale") << c.what;
    EXPECT_TRUE(api["stale"].asBool()) << c.what;
    for (const char* sample : {"kelvra_data_source{device=\"power1\",source=\"stale\"} 1\n",
                               "kelvra_data_source{device=\"power1\",source=\"live\"} 0\n"}) {
      EXPECT_NE(metrics.find(sample), std::string::npos) << c.what << ": " << sample;
    }
    EXPECT_TRUE(link_down_told) << c.what;
  }
}

}  // namespace
