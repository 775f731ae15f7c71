// Topics, payloads, control requests, broker settings and the broker link's health, without a
// broker.
#include <mosquitto.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "events/alarm_identity.h"
#include "northbound/broker_health.h"
#include "northbound/mqtt_messages.h"
#include "northbound/mqtt_reason.h"
#include "record/kelvra_419_fields.h"
#include "run/settings.h"

namespace {

using namespace std::chrono_literals;
using kelvra::northbound::BrokerHealth;
using kelvra::northbound::BrokerInput;
using kelvra::northbound::BrokerState;

TEST(MqttTopics, AlarmKeysRepeatedPerInputGetTheInputNumber) {
  struct Case {
    std::string key;
    std::string text;
    std::string topic_key;
  };
  const Case cases[] = {
      {"p40_44_0",
       "\xE7\xAC\xAC"
       "1\xE8\xB7\xAF",
       "p40_44_0_1"},
      {"p40_44_2",
       "\xE7\xAC\xAC"
       "12\xE8\xB7\xAF",
       "p40_44_2_12"},
      {"KELVRA_DC_3", "\xE5\x85\xB6", "KELVRA_DC_3"},
      {"220600140010", "001#48V", "220600140010"},
      // The mark without a number after it is no input number.
      {"p40_44_1", "\xE7\xAC\xAC\xE8\xB7\xAF", "p40_44_1"},
      {"p40_44_1", "", "p40_44_1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kelvra::events::alarm_key(c.key, c.text), c.topic_key) << c.key;
  }
}

TEST(MqttTopics, DiscoveryIdsKeepOnlyTopicSafeCharacters) {
  EXPECT_EQ(kelvra::northbound::discovery_id("kelvra_site 1_power.1"), "kelvra_site_1_power_1");
  EXPECT_EQ(kelvra::northbound::discovery_id("a-b_C9"), "a-b_C9");
  EXPECT_EQ(kelvra::northbound::discovery_topic("ha", "s/1", "p"), "ha/device/kelvra_s_1_p/config");
}

TEST(MqttControl, RequestsAreReadStrictly) {
  struct Case {
    std::string payload;
    std::string error_part;  // empty: accepted
  };
  const std::vector<Case> cases = {
      {R"({"code": 320, "argument": "419500201001"})", ""},
      {R"({"code": 0})", ""},
      {R"({"code": 310, "argument": "{\"signal_id\": \"006201\"}", "id": 7})", ""},
      {R"({"argument": "x"})", "\"code\" must be an integer"},
      {R"({"code": 1.5})", "\"code\" must be an integer"},
      {R"({"code": 4294967296})", "\"code\" must be an integer"},
      {R"({"code": 320, "argument": 5})", "\"argument\" must be a text"},
      {R"({"code": 320, "argument": ")" + std::string(1025, 'a') + R"("})",
       "\"argument\" must be a text"},
      {R"({"code": 320, "device": "other"})", "\"device\": unknown member"},
      {R"({"code": 320, "id": [1]})", "\"id\" must be a text or an integer"},
      {R"({"code": 320, "code": 300})", "not valid JSON"},
      {R"({"code": 320} {"code": 300})", "not valid JSON"},
      {R"([320])", "expected a JSON object"},
      {R"({"code": 320, "id": {"a": {"b": {"c": {"d": 1}}}}})", "nested deeper than 3"},
      {"", "not valid JSON"},
      {std::string(5000, ' '), "larger than 4096 bytes"},
  };
  for (const Case& c : cases) {
    const auto parsed = kelvra::northbound::parse_control_payload(c.payload, "power1");
    if (c.error_part.empty()) {
      ASSERT_TRUE(parsed.request) << c.payload << ": " << parsed.error;
      EXPECT_EQ((*parsed.request)["command"], "control");
      EXPECT_EQ((*parsed.request)["device"], "power1");
      EXPECT_TRUE((*parsed.request)["argument"].isString());
    } else {
      EXPECT_FALSE(parsed.request) << c.payload;
      EXPECT_NE(parsed.error.find(c.error_part), std::string::npos)
          << c.payload.substr(0, 80) << " gave " << parsed.error;
    }
  }
  const auto with_id =
      kelvra::northbound::parse_control_payload(R"({"code": 1, "id": "q9"})", "power2");
  EXPECT_EQ(with_id.id, "q9");
  EXPECT_EQ((*with_id.request)["code"], 1);
}

TEST(MqttSettings, UrlsGiveHostPortAndTls) {
  struct Case {
    std::string url;
    std::string host;
    int port;
    bool tls;
  };
  const Case good[] = {
      {"mqtt://broker", "broker", 1883, false},
      {"mqtts://broker.example", "broker.example", 8883, true},
      {"mqtt://127.0.0.1:1884", "127.0.0.1", 1884, false},
      {"mqtt://127.0.0.1:1884/", "127.0.0.1", 1884, false},
      {"mqtts://[::1]:9000", "::1", 9000, true},
      {"mqtt://[::1]", "::1", 1883, false},
  };
  for (const Case& c : good) {
    kelvra::run::MqttSettings mqtt;
    kelvra::run::parse_mqtt_url("url", c.url, mqtt);
    EXPECT_EQ(mqtt.host, c.host) << c.url;
    EXPECT_EQ(mqtt.port, c.port) << c.url;
    EXPECT_EQ(mqtt.tls, c.tls) << c.url;
  }
  const char* const bad[] = {"",
                             "broker:1883",
                             "http://broker",
                             "mqtt://",
                             "mqtt://:1883",
                             "mqtt://broker:",
                             "mqtt://broker:0",
                             "mqtt://broker:65536",
                             "mqtt://broker:12ab",
                             "mqtt://user@broker",
                             "mqtt://broker/topic",
                             "mqtt://[::1",
                             "mqtt://[::1]x"};
  for (const char* url : bad) {
    kelvra::run::MqttSettings mqtt;
    try {
      kelvra::run::parse_mqtt_url("mqtt.url", url, mqtt);
      ADD_FAILURE() << url << " accepted";
    } catch (const kelvra::station::SettingsError& error) {
      EXPECT_EQ(std::string(error.what()).rfind("mqtt.url", 0), 0u) << error.what();
    }
  }
}

Json::Value deadband(const char* field, double value) {
  Json::Value deadbands(Json::objectValue);
  deadbands[field] = value;
  return deadbands;
}

Json::Value settings_with_mqtt(const Json::Value& mqtt) {
  Json::Value root(Json::objectValue);
  root["mqtt"] = mqtt;
  return root;
}

TEST(MqttSettings, TheObjectIsCheckedMemberByMember) {
  Json::Value full(Json::objectValue);
  full["url"] = "mqtts://central:8884";
  full["client_id"] = "north-1";
  full["username"] = "site1";
  full["password_file"] = "/etc/kelvra/mqtt.pw";
  full["ca_file"] = "/etc/kelvra/ca.crt";
  full["prefix"] = "fleet";
  full["site"] = "hill-7";
  full["qos"] = 2;
  full["keepalive_s"] = 15;
  full["discovery_prefix"] = "ha";
  full["control"] = true;
  full["full_state_s"] = 0;
  full["deadbands"]["ac.channel[1].f"] = 0.02;
  const auto settings = kelvra::run::parse_settings(settings_with_mqtt(full));
  EXPECT_EQ(settings.mqtt.host, "central");
  EXPECT_EQ(settings.mqtt.port, 8884);
  EXPECT_TRUE(settings.mqtt.tls);
  EXPECT_EQ(settings.mqtt.prefix, "fleet");
  EXPECT_EQ(settings.mqtt.site, "hill-7");
  EXPECT_EQ(settings.mqtt.qos, 2);
  EXPECT_EQ(settings.mqtt.keepalive, 15s);
  EXPECT_EQ(settings.mqtt.discovery_prefix, "ha");
  EXPECT_TRUE(settings.mqtt.control);
  EXPECT_EQ(settings.mqtt.full_state, 0s);
  EXPECT_EQ(settings.mqtt.deadbands, (kelvra::run::Deadbands{{"ac.channel[1].f", 0.02}}));
  // The device's own settings do not see the object.
  EXPECT_FALSE(settings.devices[0].device_json.isMember("mqtt"));
  EXPECT_TRUE(kelvra::run::parse_settings(Json::Value(Json::objectValue)).mqtt.url.empty());

  struct Case {
    const char* member;
    Json::Value value;
    const char* error;
  };
  const Case cases[] = {
      {"url", Json::Value(), "mqtt.url: missing"},
      {"url", 1883, "mqtt.url: expected a text"},
      {"qos", 0, "mqtt.qos: expected a number from 1 to 2"},
      {"qos", 3, "mqtt.qos: expected a number from 1 to 2"},
      {"keepalive_s", 1, "mqtt.keepalive_s: expected a number from 5 to 3600"},
      {"site", "a/b", "mqtt.site: expected a topic level"},
      {"prefix", "", "mqtt.prefix: expected a topic level"},
      {"discovery_prefix", "ha/#", "mqtt.discovery_prefix: expected a topic level"},
      {"site", std::string("a\0b", 3), R"(mqtt.site: expected a topic level, got "a\u0000b": it)"},
      {"control", "yes", "mqtt.control: expected true or false"},
      {"password", "secret", "mqtt.password: unknown member"},
      {"cert_file", "/c.crt", "mqtt.cert_file: a client certificate needs both"},
      {"full_state_s", 86401, "mqtt.full_state_s: expected a number from 0 to 86400"},
      {"deadbands", deadband("dc.volts", 1), "mqtt.deadbands.dc.volts: unknown field"},
      {"deadbands", deadband("dc.m_count", 1), "mqtt.deadbands.dc.m_count: not a reading"},
      {"deadbands", deadband("dc.out_v", -0.1), "mqtt.deadbands.dc.out_v: expected a number"},
  };
  for (const Case& c : cases) {
    Json::Value mqtt(Json::objectValue);
    mqtt["url"] = "mqtts://central";
    if (c.value.isNull()) {
      mqtt.removeMember(c.member);
    } else {
      mqtt[c.member] = c.value;
    }
    try {
      kelvra::run::parse_settings(settings_with_mqtt(mqtt));
      ADD_FAILURE() << c.member << " accepted";
    } catch (const kelvra::station::SettingsError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.error, 0), 0u) << error.what();
    }
  }
  Json::Value plain(Json::objectValue);
  plain["url"] = "mqtt://central";
  plain["ca_file"] = "/ca.crt";
  EXPECT_THROW(kelvra::run::parse_settings(settings_with_mqtt(plain)),
               kelvra::station::SettingsError);
  EXPECT_THROW(kelvra::run::parse_settings(settings_with_mqtt("mqtt://central")),
               kelvra::station::SettingsError);
}

TEST(BrokerHealth, LossAndReturnAreSaidOnceWithBackoffBetween) {
  BrokerHealth health("mqtt://b:1883");
  const auto t0 = BrokerHealth::Clock::time_point{} + 1h;
  struct Step {
    BrokerInput input;
    std::chrono::seconds at;
    const char* line_part;  // nullptr: silent
    std::optional<std::chrono::milliseconds> retry;
    BrokerState state;
  };
  const Step steps[] = {
      {BrokerInput::kAttempt, 0s, nullptr, std::nullopt, BrokerState::kConnecting},
      {BrokerInput::kConnected, 0s, "connected to broker mqtt://b:1883", std::nullopt,
       BrokerState::kUp},
      {BrokerInput::kConnected, 1s, nullptr, std::nullopt, BrokerState::kUp},
      {BrokerInput::kFailed, 10s, "broker mqtt://b:1883 lost: gone", 1000ms, BrokerState::kDown},
      {BrokerInput::kAttempt, 11s, nullptr, std::nullopt, BrokerState::kConnecting},
      {BrokerInput::kFailed, 11s, nullptr, 2000ms, BrokerState::kDown},
      {BrokerInput::kFailed, 13s, nullptr, 4000ms, BrokerState::kDown},
      {BrokerInput::kFailed, 17s, nullptr, 8000ms, BrokerState::kDown},
      {BrokerInput::kFailed, 25s, nullptr, 16000ms, BrokerState::kDown},
      {BrokerInput::kFailed, 41s, nullptr, 32000ms, BrokerState::kDown},
      {BrokerInput::kFailed, 73s, nullptr, 60000ms, BrokerState::kDown},
      {BrokerInput::kFailed, 133s, nullptr, 60000ms, BrokerState::kDown},
      // Ten minutes after the loss was said, one reminder.
      {BrokerInput::kFailed, 610s, "still unreachable: gone (9 attempts)", 60000ms,
       BrokerState::kDown},
      {BrokerInput::kFailed, 670s, nullptr, 60000ms, BrokerState::kDown},
      {BrokerInput::kAttempt, 730s, nullptr, std::nullopt, BrokerState::kConnecting},
      {BrokerInput::kConnected, 730s, "broker mqtt://b:1883 back after 720 s", std::nullopt,
       BrokerState::kUp},
      // The next loss starts from the first wait again.
      {BrokerInput::kFailed, 800s, "lost: gone", 1000ms, BrokerState::kDown},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const Step& step = steps[i];
    const auto result = health.on(step.input, t0 + step.at, "gone");
    if (step.line_part == nullptr) {
      EXPECT_FALSE(result.line) << i << ": " << result.line.value_or("");
    } else {
      ASSERT_TRUE(result.line) << i;
      EXPECT_NE(result.line->find(step.line_part), std::string::npos) << i << ": " << *result.line;
    }
    EXPECT_EQ(result.retry_in, step.retry) << i;
    EXPECT_EQ(health.state(), step.state) << i;
  }
}

TEST(BrokerHealth, AFirstAttemptThatFailsIsSaidAsALoss) {
  BrokerHealth health("mqtt://b");
  const auto now = BrokerHealth::Clock::now();
  EXPECT_FALSE(health.on(BrokerInput::kFailed, now, "x").line);  // not started: nothing to say
  health.on(BrokerInput::kAttempt, now);
  const auto failed = health.on(BrokerInput::kFailed, now, "refused: not authorised");
  ASSERT_TRUE(failed.line);
  EXPECT_NE(failed.line->find("refused: not authorised"), std::string::npos);
  health.on(BrokerInput::kAttempt, now + 1s);
  const auto up = health.on(BrokerInput::kConnected, now + 1s);
  ASSERT_TRUE(up.line);
  EXPECT_NE(up.line->find("back after"), std::string::npos);
  EXPECT_EQ(health.failures(), 0u);
}

TEST(MqttReason, EveryLinkLossIsSaidInWords) {
  const struct {
    int rc;
    int error_number;
    const char* text;
  } cases[] = {
      {MOSQ_ERR_KEEPALIVE, 0, "no answer from the broker within the keep-alive"},
      {MOSQ_ERR_CONN_LOST, 0, "The connection was lost."},
      {MOSQ_ERR_NO_CONN, 0, "The client is not currently connected."},
      {MOSQ_ERR_ERRNO, ECONNREFUSED, "Connection refused"},
      {MOSQ_ERR_ERRNO, 0, "system error"},
      {MOSQ_ERR_LOOKUP, 0, "the broker's name did not resolve"},
      {MOSQ_ERR_MALFORMED_PACKET, 0, "malformed packet from the broker"},
      {MOSQ_ERR_ADMINISTRATIVE_ACTION, 0, "disconnected by the broker's administrator"},
      {MOSQ_ERR_UNKNOWN, 0, "libmosquitto error 13"},
      {99, 0, "libmosquitto error 99"},
  };
  for (const auto& each : cases) {
    EXPECT_EQ(kelvra::northbound::mqtt_error_text(each.rc, each.error_number), each.text)
        << each.rc;
  }
}

}  // namespace
