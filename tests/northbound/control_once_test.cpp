// Control over MQTT is carried out at most once: a retained request is refused and cleared from
// the broker, and a request id seen before is answered as a duplicate, also after a restart.
#include "broker_fixture.h"
#include "tests/northbound/mqtt_bench.h"

namespace {

using namespace broker_testing;
using bench_testing::TempDir;
using mqtt_bench::kBase;
using mqtt_bench::MqttBench;

const std::string kControl = kBase + "/cmd/control";
const std::string kResult = kBase + "/cmd/result";

TEST(MqttControl, RetainedRequestsAreClearedAndAnIdIsCarriedOutOnce) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), "#");
  auto settings = mqtt_bench::settings_for(broker.url());
  settings.control = true;
  const std::string db = dir.file("site.db");
  const std::string request = R"({"code": 320, "argument": "419500201001", "id": "r1"})";
  // Left retained on the broker before the host starts.
  subscriber.publish(kControl, R"({"code": 320, "argument": "419500201001", "id": "old"})", true);
  ASSERT_TRUE(subscriber.wait_for(kControl, 1));
  {
    MqttBench bench(settings, db);
    bench.session.start();
    ASSERT_TRUE(subscriber.wait_for(kResult, 1)) << bench.session.output();
    ASSERT_TRUE(subscriber.wait_until_last(kControl, ""));
    // Given the same id twice: carried out once.
    for (std::size_t results = 2; results <= 3; ++results) {
      subscriber.publish(kControl, request);
      ASSERT_TRUE(subscriber.wait_for(kResult, results)) << bench.session.output();
    }
    bench.session.stop();
    EXPECT_EQ(occurrences(bench.session.output(), "retained control request"), 1u)
        << bench.session.output();
  }
  {
    // A state of the new session follows its subscriptions.
    const std::size_t states = subscriber.on(kBase + "/state").size();
    MqttBench restarted(settings, db);
    restarted.session.start();
    ASSERT_TRUE(subscriber.wait_for(kBase + "/state", states + 1));
    subscriber.publish(kControl, request);
    ASSERT_TRUE(subscriber.wait_for(kResult, 4)) << restarted.session.output();
    restarted.session.stop();
  }
  struct Expected {
    bool ok;
    const char* id;
    const char* error_part;
  };
  const Expected expected[] = {
      {false, "old", "retained control requests are not carried out"},
      {true, "r1", ""},
      {false, "r1", "request id \"r1\" was carried out at "},
      {false, "r1", "request id \"r1\" was carried out at "},
  };
  const auto results = subscriber.on(kResult);
  ASSERT_EQ(results.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const Json::Value result = parse_json(results[i].payload);
    EXPECT_EQ(result["ok"].asBool(), expected[i].ok) << results[i].payload;
    EXPECT_EQ(result["id"].asString(), expected[i].id) << results[i].payload;
    EXPECT_NE(result["error"].asString().find(expected[i].error_part), std::string::npos)
        << results[i].payload;
    EXPECT_EQ(result["duplicate"].asBool(), i >= 2) << results[i].payload;
  }
  // One command reached the equipment: stored as sent and with its outcome, nothing else.
  const auto events = kelvra::history::HistoryStore(db).control_events({});
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].verdict, "sent");
  EXPECT_EQ(events[1].verdict, "passed");
}

}  // namespace
