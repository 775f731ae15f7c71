// Readings reported by exception against a real broker: a steady plant sends only what moved,
// and an alarm still goes out in the round that raised it.
#include <set>

#include "broker_fixture.h"
#include "sim/simulator.h"
#include "tests/northbound/mqtt_bench.h"

namespace {

using namespace broker_testing;
using bench_testing::TempDir;
using mqtt_bench::kBase;
using mqtt_bench::MqttBench;

TEST(ReportByExceptionBroker, ASteadyPlantSendsOnlyWhatMovedAndAlarmsAtOnce) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), "#");
  auto settings = mqtt_bench::settings_for(broker.url());
  settings.full_state = std::chrono::seconds(600);
  MqttBench bench(settings);
  const std::string volts = kBase + "/reading/dc.out_v";
  bench.session.start();
  ASSERT_TRUE(subscriber.wait_for_payload(volts, "53.5")) << bench.session.output();
  const std::size_t readings_at_start = subscriber.messages().size();
  ASSERT_TRUE(bench.session.wait_for_records(5));  // steady rounds after the whole state

  bench.session.simulator().with_simulator([](kelvra::sim::Simulator& sim) {
    sim.equipment().dc[0].voltage = 54.0f;
    sim.equipment().ac.inputs[0].user_alarms[1] = kelvra::sim::kAcMainsFailed;
  });
  ASSERT_TRUE(subscriber.wait_for_payload(volts, "54")) << bench.session.output();
  bench.session.stop();

  const auto messages = subscriber.messages();
  EXPECT_EQ(subscriber.on(kBase + "/state").size(), 1u);  // the whole state once, at connect
  std::set<std::string> moved;
  std::size_t alarm_at = messages.size();
  std::size_t event_at = messages.size();
  for (std::size_t i = readings_at_start; i < messages.size(); ++i) {
    const Message& message = messages[i];
    if (message.topic.rfind(kBase + "/reading/", 0) == 0) moved.insert(message.topic);
    if (message.topic.rfind(kBase + "/alarm/", 0) == 0 && message.payload == "ON") {
      alarm_at = std::min(alarm_at, i);
    }
    if (message.topic == kBase + "/event") event_at = std::min(event_at, i);
  }
  EXPECT_EQ(moved, std::set<std::string>{volts});
  // The alarm goes out as its round completes, ahead of its event, which waits for the store.
  EXPECT_LT(alarm_at, event_at);
  EXPECT_LT(event_at, messages.size());

  // Home Assistant reads each sensor off its reading topic and expires it after 2.5 × 600 s.
  const auto discoveries = subscriber.on("homeassistant/device/kelvra_site1_power1/config");
  ASSERT_FALSE(discoveries.empty());
  const Json::Value components = parse_json(discoveries.back().payload)["cmps"];
  std::size_t sensors = 0;
  for (const std::string& id : components.getMemberNames()) {
    const Json::Value& sensor = components[id];
    if (sensor["p"] != "sensor") continue;
    ++sensors;
    const std::string topic = sensor["state_topic"].asString();
    EXPECT_EQ(topic.rfind(kBase + "/reading/", 0), 0u) << id;
    EXPECT_FALSE(subscriber.on(topic).empty()) << topic;
    EXPECT_EQ(sensor["expire_after"], 1500) << id;
  }
  EXPECT_EQ(sensors, 20u);
}

}  // namespace
