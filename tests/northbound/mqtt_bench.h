// A bench run with the northbound on a broker of the test's own, for the northbound's tests.
#pragma once

#include <string>

#include "northbound/mqtt_service.h"
#include "run/settings.h"
#include "tests/line/bench_fixture.h"

namespace mqtt_bench {

using namespace std::chrono_literals;
using bench_testing::BenchSession;
using kelvra::northbound::MqttService;
using kelvra::run::MqttSettings;

inline const std::string kBase = "kelvra/site1/power1";

inline MqttSettings settings_for(const std::string& url) {
  MqttSettings settings;
  kelvra::run::parse_mqtt_url("url", url, settings);
  settings.site = "site1";
  settings.keepalive = std::chrono::seconds(5);
  settings.full_state = 0s;  // the whole state every round
  return settings;
}

// A bench run with the northbound; the service outlives the run that uses it.
struct MqttBench {
  explicit MqttBench(const MqttSettings& settings, const std::string& db = "")
      : service(settings, "1.0.0") {
    session.options().services.push_back(&service);
    session.options().duration = 120s;
    for (auto& device : session.options().settings.devices) device.poll_interval = 200ms;
    if (!db.empty()) session.options().db_path = db;
  }
  MqttService service;
  BenchSession session;
};

}  // namespace mqtt_bench
