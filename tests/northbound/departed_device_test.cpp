// A device that left the settings: everything the broker retains for it is emptied, said once.
#include "broker_fixture.h"
#include "history/history_store.h"
#include "record/kelvra_419_fields.h"
#include "tests/northbound/mqtt_bench.h"

namespace {

using namespace broker_testing;
using bench_testing::TempDir;
using kelvra::history::HistoryStore;
using mqtt_bench::MqttBench;
using mqtt_bench::settings_for;

const std::string kDiscovery = "homeassistant/device/kelvra_site1_power1/config";

TEST(MqttBroker, ADeviceThatLeftTheSettingsLeavesNothingRetained) {
  TempDir dir;
  const std::string db = dir.file("site.db");
  {
    // A device of an earlier run's settings, announced on the broker then.
    HistoryStore earlier(db);
    kelvra::history::StoredRecord gone_record;
    gone_record.device = "power9";
    gone_record.data_id = 9;
    gone_record.bytes.assign(kelvra::record::kRecordSize, 0);
    earlier.add_record(gone_record);
    earlier.set_cursor("mqtt:site1/power9", 1);
  }
  Broker broker(dir.file(""));
  const std::string gone = "homeassistant/device/kelvra_site1_power9/config";
  const std::string gone_base = "kelvra/site1/power9/";
  Subscriber subscriber(broker.port(), "#");
  // What that run left retained on the broker.
  for (const std::string& topic : {gone, gone_base + "status", gone_base + "state",
                                   gone_base + "alarm/PowerOff", gone_base + "alarm/p40_44_1_2"}) {
    subscriber.publish(topic, "{}", true);
    ASSERT_TRUE(subscriber.wait_for(topic, 1)) << topic;
  }
  MqttBench bench(settings_for(broker.url()), db);
  bench.session.start();
  ASSERT_TRUE(subscriber.wait_until_last(gone_base + "alarm/p40_44_1_2", ""));
  ASSERT_TRUE(subscriber.wait_for(kDiscovery, 1));
  bench.session.stop();
  EXPECT_EQ(subscriber.on(gone).back().payload, "");
  HistoryStore history(db);
  EXPECT_EQ(history.get_cursor("mqtt:site1/power9"), 0);
  EXPECT_GT(history.get_cursor("mqtt:site1/power1"), 0);
  const std::string output = bench.session.output();
  EXPECT_EQ(occurrences(output, "device power9 left the settings"), 1u) << output;

  // Nothing of it is handed to a later subscriber; the kept device's topics still are.
  Subscriber later(broker.port(), "#");
  ASSERT_TRUE(later.wait_for(kDiscovery, 1));
  std::this_thread::sleep_for(200ms);
  for (const Message& message : later.messages()) {
    EXPECT_TRUE(message.topic != gone && message.topic.rfind(gone_base, 0) != 0) << message.topic;
  }
}

}  // namespace
