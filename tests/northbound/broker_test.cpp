// The northbound against a real broker: discovery, state, last will, outages, a host restart,
// a bridge, TLS, passwords and control.
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "broker_fixture.h"
#include "northbound/mqtt_messages.h"
#include "northbound/mqtt_service.h"
#include "record/kelvra_419_fields.h"
#include "run/decode_input.h"
#include "tests/line/bench_fixture.h"
#include "tests/northbound/mqtt_bench.h"

namespace {

using namespace broker_testing;
using bench_testing::BenchSession;
using bench_testing::TempDir;
using kelvra::history::HistoryStore;
using kelvra::northbound::MqttService;
using kelvra::run::MqttSettings;
using mqtt_bench::kBase;
using mqtt_bench::MqttBench;
using mqtt_bench::settings_for;

const std::string kDiscovery = "homeassistant/device/kelvra_site1_power1/config";

std::vector<std::int64_t> positions_of(const std::vector<Message>& states) {
  std::vector<std::int64_t> positions;
  for (const Message& state : states)
    positions.push_back(parse_json(state.payload)["position"].asInt64());
  return positions;
}

// The value at a dotted field path ("ac.channel[0].a") of the record JSON; null when absent.
Json::Value at_path(const Json::Value& record, const std::string& path) {
  Json::Value value = record;
  std::size_t start = 0;
  while (start < path.size() && !value.isNull()) {
    const std::size_t end = path.find_first_of(".[", start);
    const std::string name = path.substr(start, end - start);
    if (!name.empty()) value = value.isObject() ? value[name] : Json::Value();
    if (end == std::string::npos) break;
    if (path[end] == '[') {
      const std::size_t close = path.find(']', end);
      const auto index =
          static_cast<Json::ArrayIndex>(std::stoul(path.substr(end + 1, close - end - 1)));
      value = value.isArray() && index < value.size() ? value[index] : Json::Value();
      start = close + 1;
      if (start < path.size() && path[start] == '.') ++start;
    } else {
      start = end + 1;
    }
  }
  return value;
}

TEST(MqttBroker, DiscoveryFollowsTheRulesAndStateCarriesTheDecodedRecord) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), "#");
  MqttBench bench(settings_for(broker.url()));
  bench.session.start();
  ASSERT_TRUE(subscriber.wait_for(kBase + "/state", 3)) << bench.session.output();
  bench.session.stop();

  const auto discoveries = subscriber.on(kDiscovery);
  ASSERT_FALSE(discoveries.empty());
  for (const Message& message : discoveries) {
    EXPECT_FALSE(parse_json(message.payload)["cmps"].empty()) << "announced empty";
  }
  const Json::Value discovery = parse_json(discoveries.back().payload);
  EXPECT_EQ(discovery["dev"]["ids"][0].asString(), "kelvra_site1_power1");
  EXPECT_FALSE(discovery["dev"]["name"].asString().empty());
  EXPECT_FALSE(discovery["dev"]["mdl"].asString().empty());
  EXPECT_EQ(discovery["dev"]["sw"].asString(), "1.0.0");
  EXPECT_EQ(discovery["o"]["name"].asString(), "kelvra-host");

  std::set<std::string> topics;
  for (const Message& message : subscriber.messages()) topics.insert(message.topic);
  ASSERT_EQ(discovery["availability"].size(), 2u);
  for (const Json::Value& availability : discovery["availability"]) {
    const std::string topic = availability["topic"].asString();
    ASSERT_TRUE(topics.count(topic)) << topic;
    const auto received = subscriber.on(topic);
    EXPECT_EQ(received.front().payload, availability["payload_available"].asString()) << topic;
  }

  const Json::Value state = parse_json(subscriber.on(kBase + "/state").back().payload);
  const std::map<std::string, std::string> unit_of_class = {
      {"voltage", "V"}, {"frequency", "Hz"}, {"current", "A"}};
  std::set<std::string> unique_ids;
  std::size_t sensors = 0;
  std::size_t problems = 0;
  for (const std::string& id : discovery["cmps"].getMemberNames()) {
    const Json::Value& component = discovery["cmps"][id];
    const std::string unique_id = component["unique_id"].asString();
    EXPECT_FALSE(unique_id.empty()) << id;
    EXPECT_TRUE(unique_ids.insert(unique_id).second) << "repeated unique_id " << unique_id;
    const std::string topic = component["state_topic"].asString();
    EXPECT_TRUE(topics.count(topic)) << id << ": no message on " << topic;
    if (component["p"] == "sensor") {
      ++sensors;
      const std::string device_class = component["device_class"].asString();
      ASSERT_TRUE(unit_of_class.count(device_class)) << id << " " << device_class;
      EXPECT_EQ(component["unit_of_measurement"].asString(), unit_of_class.at(device_class)) << id;
      EXPECT_EQ(component["state_class"], "measurement") << id;
      // The template names a field that the state carries, with that unit.
      std::string field = component["value_template"].asString();
      ASSERT_EQ(field.rfind("{{ value_json.record.", 0), 0u) << field;
      field = field.substr(21, field.size() - 21 - 3);
      EXPECT_TRUE(at_path(state["record"], field).isNumeric()) << field;
      EXPECT_EQ(state["units"][field].asString(), component["unit_of_measurement"].asString())
          << field;
    } else {
      ASSERT_EQ(component["p"], "binary_sensor") << id;
      ++problems;
      EXPECT_EQ(component["device_class"], "problem") << id;
      EXPECT_EQ(component["payload_on"], "ON");
      EXPECT_EQ(component["payload_off"], "OFF");
    }
  }
  // 2 inputs x (3 phases + frequency), DC voltage and current, 3 battery currents, the shelf's
  // output voltage, 6 rectifiers.
  EXPECT_EQ(sensors, 8u + 2u + 3u + 1u + 6u);
  // 3 per AC input, 11 of the DC unit, the supply-loss rule of the default settings.
  EXPECT_EQ(problems, 6u + 11u + 1u);

  // Every state is the stored round it names, its record exactly as decode --json lists it.
  HistoryStore history(bench.session.db());
  std::map<std::int64_t, kelvra::history::StoredRecord> rows;
  for (auto& row : history.records({})) rows[row.id] = row;
  // A round stored before the first session was up is sent from history, marked replayed; once
  // live, every state is.
  bool live = false;
  for (const Message& message : subscriber.on(kBase + "/state")) {
    const Json::Value payload = parse_json(message.payload);
    const auto row = rows.find(payload["position"].asInt64());
    ASSERT_NE(row, rows.end()) << message.payload;
    const auto record =
        kelvra::record::from_bytes(row->second.bytes.data(), row->second.bytes.size());
    ASSERT_TRUE(record);
    EXPECT_EQ(payload["record"], parse_json(kelvra::run::decode_listing(*record, true)));
    EXPECT_EQ(payload["round_time"].asString(), kelvra::record::time_text(record->round_time));
    EXPECT_EQ(payload["site"], "site1");
    if (live) {
      EXPECT_EQ(payload["replayed"], false) << message.payload;
    }
    live = live || !payload["replayed"].asBool();
    EXPECT_GE(payload["age_s"].asDouble(), 0.0);
  }
  EXPECT_TRUE(live);
  EXPECT_TRUE(subscriber.wait_until_last(kBase + "/status", "offline"));

  // Discovery, state, status and link are kept by the broker for whoever subscribes later.
  Subscriber later(broker.port(), "#");
  for (const std::string& topic :
       {kDiscovery, kBase + "/state", kBase + "/status", kBase + "/link"}) {
    ASSERT_TRUE(later.wait_for(topic, 1)) << topic;
    EXPECT_TRUE(later.on(topic).front().retained) << topic;
  }
  EXPECT_EQ(later.on(kBase + "/state").front().payload,
            subscriber.on(kBase + "/state").back().payload);
}

TEST(MqttBroker, HomeAssistantComingOnlineGetsDiscoveryAgain) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), "#");
  MqttBench bench(settings_for(broker.url()));
  bench.session.start();
  ASSERT_TRUE(subscriber.wait_for(kBase + "/state", 1));
  const std::size_t before = subscriber.on(kDiscovery).size();
  subscriber.publish("homeassistant/status", "offline");
  subscriber.publish("homeassistant/status", "online");
  EXPECT_TRUE(subscriber.wait_for(kDiscovery, before + 1));
  bench.session.stop();
  EXPECT_EQ(subscriber.on(kDiscovery).size(), before + 1);
}

// Every round of history from the first one received to the last arrives once, in order, without
// a gap (rounds committed as the run ends wait for the next run, from the acknowledged position).
void expect_every_round_once(const std::vector<Message>& states, const std::string& db) {
  const auto positions = positions_of(states);
  ASSERT_FALSE(positions.empty());
  HistoryStore history(db);
  std::vector<std::int64_t> stored;
  for (const auto& row : history.records({})) {
    if (row.id >= positions.front() && row.id <= positions.back()) stored.push_back(row.id);
  }
  EXPECT_EQ(positions, stored);
}

TEST(MqttBroker, RoundsDuringABrokerOutageFollowInOrderOnceWhenItIsBack) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), kBase + "/#");
  MqttBench bench(settings_for(broker.url()));
  bench.session.start();
  ASSERT_TRUE(subscriber.wait_for(kBase + "/state", 3));
  broker.stop();
  const auto stopped = HistoryStore(bench.session.db()).records({}).size();
  // An event stored meanwhile follows too, in its place among the rounds.
  Json::Value control = bench_testing::request("control");
  control["code"] = 320;
  control["argument"] = "419500201001";
  EXPECT_TRUE(bench.session.ask(control)["ok"].asBool());
  // Rounds go on and are stored while the broker is away; two rounds, so the outage ends before
  // the host's third attempt (1, 3 and 7 s after the loss) rather than its fourth (15 s).
  ASSERT_TRUE(bench.session.wait_for_records(stopped + 2));
  const int subscriptions = subscriber.subscriptions();
  const auto restarted = HistoryStore(bench.session.db()).records({}).size();
  ASSERT_GT(restarted, stopped + 1);
  broker.start();
  ASSERT_TRUE(wait_until([&] { return subscriber.subscriptions() > subscriptions; }, 10s));
  ASSERT_TRUE(wait_until(
      [&] {
        const auto states = subscriber.on(kBase + "/state");
        return !states.empty() && parse_json(states.back().payload)["replayed"] == false &&
               positions_of(states).size() > restarted + 1;
      },
      60s))
      << bench.session.output();
  bench.session.stop();

  const auto states = subscriber.on(kBase + "/state");
  expect_every_round_once(states, bench.session.db());
  std::size_t replayed = 0;
  for (const Message& state : states) replayed += parse_json(state.payload)["replayed"].asBool();
  // The control request: stored as sent, then with its outcome.
  const auto events = subscriber.on(kBase + "/event");
  ASSERT_EQ(events.size(), 2u);
  const auto positions = positions_of(states);
  const char* verdicts[] = {"sent", "passed"};
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Json::Value event = parse_json(events[i].payload);
    EXPECT_EQ(event["type"], "control");
    EXPECT_EQ(event["verdict"], verdicts[i]);
    EXPECT_EQ(event["replayed"], true);
    EXPECT_GT(event["position"].asInt64(), positions.front());
    EXPECT_LT(event["position"].asInt64(), positions.back());
  }
  // Those stored while the broker was away (and until the host reached it again) are marked.
  EXPECT_GE(replayed, restarted - stopped);
  EXPECT_LE(replayed, positions_of(states).size() - 3);
  const std::string output = bench.session.output();
  std::size_t lost = 0;
  for (auto at = output.find(" lost: "); at != std::string::npos;
       at = output.find(" lost: ", at + 1))
    ++lost;
  EXPECT_EQ(lost, 1u) << output;
  EXPECT_NE(output.find("back after"), std::string::npos) << output;
}

TEST(MqttBroker, RoundsStoredWhileBrokerAndHostWereDownFollowAfterTheHostRestarts) {
  TempDir dir;
  const std::string db = dir.file("site.db");
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), kBase + "/state");
  {
    MqttBench first(settings_for(broker.url()), db);
    first.session.start();
    ASSERT_TRUE(subscriber.wait_for(kBase + "/state", 1));
    broker.stop();
    // The first host stores a round while the broker is away.
    const auto at_stop = kelvra::history::HistoryReader(db).records({}).size();
    ASSERT_TRUE(first.session.wait_for_records(at_stop + 1));
  }
  const auto after_first = HistoryStore(db).records({}).size();
  MqttBench second(settings_for(broker.url()), db);
  second.session.start();
  // The second host finds the broker away before it comes back.
  ASSERT_TRUE(wait_until(
      [&] { return second.session.output().find(" lost: ") != std::string::npos; }, 20s));
  const int subscriptions = subscriber.subscriptions();
  broker.start();
  ASSERT_TRUE(wait_until([&] { return subscriber.subscriptions() > subscriptions; }, 10s));
  // Every round of both runs has followed once a live one comes after the replayed ones.
  ASSERT_TRUE(wait_until(
      [&] {
        const auto states = subscriber.on(kBase + "/state");
        return positions_of(states).size() > after_first &&
               parse_json(states.back().payload)["replayed"] == false;
      },
      60s))
      << second.session.output();
  second.session.stop();
  expect_every_round_once(subscriber.on(kBase + "/state"), db);
}

std::string host_settings(const TempDir& dir, const std::string& mqtt) {
  const std::string path = dir.file("settings.json");
  std::ofstream(path) << R"({"appSetting": {"has_ac": "1", "has_dc": "1", "b_mode": "1"},)"
                      << R"( "mqtt": )" << mqtt << "}";
  return path;
}

TEST(MqttBroker, HostKilledLeavesOfflineByItsLastWill) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), kBase + "/status");
  const std::string settings = host_settings(
      dir, R"({"url": ")" + broker.url() + R"(", "site": "site1", "keepalive_s": 5})");
  Child host({KELVRA_HOST_PATH, "run", "--settings", settings, "--db", dir.file("h.db"),
              "--no-pace", "--poll-interval", "200"},
             dir.file("host.log"));
  ASSERT_TRUE(subscriber.wait_for_payload(kBase + "/status", "online"));
  EXPECT_EQ(subscriber.on(kBase + "/status").back().payload, "online");
  host.end(SIGKILL);
  EXPECT_TRUE(subscriber.wait_until_last(kBase + "/status", "offline"));
}

TEST(MqttBroker, ABrokerUrlThatCannotBeIsAUsageError) {
  TempDir dir;
  for (const char* url : {"http://127.0.0.1:1883", "mqtt://127.0.0.1:99999", "mqtt://"}) {
    Child host({KELVRA_HOST_PATH, "run", "--db", dir.file("h.db"), "--mqtt", url},
               dir.file("host.log"));
    EXPECT_EQ(host.wait_exit(20s), 2) << url;
  }
}

TEST(MqttBroker, ABridgedCentralBrokerReceivesTheSitesTopics) {
  TempDir dir;
  Broker central(dir.file(""));
  Broker site(dir.file(""),
              "connection central\naddress 127.0.0.1:" + std::to_string(central.port()) +
                  "\ntopic kelvra/# out 1\ntopic homeassistant/# out 1\n"
                  "cleansession true\nrestart_timeout 1\n");
  Subscriber subscriber(central.port(), "#");
  MqttBench bench(settings_for(site.url()));
  bench.session.start();
  ASSERT_TRUE(subscriber.wait_for(kBase + "/state", 2)) << bench.session.output();
  bench.session.stop();
  EXPECT_TRUE(subscriber.wait_for_payload(kBase + "/status", "online", 1s));
  EXPECT_FALSE(subscriber.on(kDiscovery).empty());
}

// Runs the openssl CLI; false when it fails.
bool openssl(const std::vector<std::string>& args, const TempDir& dir) {
  std::vector<std::string> argv = {"/usr/bin/openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  Child tool(argv, dir.file("openssl.log"));
  return tool.wait_exit(60s) == 0;
}

TEST(MqttBroker, TlsWithTheSitesOwnCertificateAuthority) {
  TempDir dir;
  const auto file = [&](const char* name) { return dir.file(name); };
  ASSERT_TRUE(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                       "/CN=test site CA", "-keyout", file("ca.key"), "-out", file("ca.crt")},
                      dir));
  ASSERT_TRUE(openssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                       file("broker.key"), "-out", file("broker.csr")},
                      dir));
  std::ofstream(file("san.ext")) << "subjectAltName=IP:127.0.0.1\n";
  ASSERT_TRUE(openssl(
      {"x509", "-req", "-in", file("broker.csr"), "-CA", file("ca.crt"), "-CAkey", file("ca.key"),
       "-CAcreateserial", "-days", "2", "-extfile", file("san.ext"), "-out", file("broker.crt")},
      dir));
  Broker broker(dir.file(""), "",
                "allow_anonymous true\ncafile " + file("ca.crt") + "\ncertfile " +
                    file("broker.crt") + "\nkeyfile " + file("broker.key") + "\n");
  Subscriber subscriber(broker.port(), "#", Subscriber::Access{file("ca.crt"), "", ""});
  MqttSettings settings = settings_for(broker.url("mqtts"));
  settings.ca_file = file("ca.crt");
  MqttBench bench(settings);
  bench.session.start();
  EXPECT_TRUE(subscriber.wait_for(kBase + "/state", 2)) << bench.session.output();
  bench.session.stop();

  // A plain connection to the TLS listener never becomes a session.
  MqttBench plain(settings_for(broker.url()));
  plain.session.start();
  EXPECT_TRUE(
      wait_until([&] { return plain.session.output().find(" lost: ") != std::string::npos; }, 20s));
  plain.session.stop();
  EXPECT_EQ(plain.session.output().find("connected to broker"), std::string::npos);
}

TEST(MqttBroker, AWrongPasswordIsRefusedAndSaidOnce) {
  TempDir dir;
  const std::string passwords = dir.file("passwords");
  Child tool({"/usr/bin/mosquitto_passwd", "-b", "-c", passwords, "site1", "right horse"},
             dir.file("passwd.log"));
  ASSERT_EQ(tool.wait_exit(20s), 0);
  Broker broker(dir.file(""), "", "allow_anonymous false\npassword_file " + passwords + "\n");
  Subscriber subscriber(broker.port(), "#", Subscriber::Access{"", "site1", "right horse"});

  MqttSettings settings = settings_for(broker.url());
  settings.username = "site1";
  settings.password_file = dir.file("wrong");
  std::ofstream(settings.password_file) << "wrong horse\n";
  {
    MqttBench refused(settings);
    refused.session.start();
    ASSERT_TRUE(wait_until(
        [&] { return refused.session.output().find("refused") != std::string::npos; }, 20s));
    // Rounds go on and are stored while the broker refuses.
    ASSERT_TRUE(refused.session.wait_for_records(3));
    refused.session.stop();
    const std::string output = refused.session.output();
    EXPECT_EQ(output.find("refused"), output.rfind("refused")) << output;
    EXPECT_NE(output.find("not authorised"), std::string::npos) << output;
  }
  EXPECT_TRUE(subscriber.on(kBase + "/status").empty());

  std::ofstream(settings.password_file) << "right horse\n";
  MqttBench accepted(settings);
  accepted.session.start();
  EXPECT_TRUE(subscriber.wait_for_payload(kBase + "/status", "online"));
  accepted.session.stop();
}

TEST(MqttBroker, ControlRequestsAreCheckedStoredAndAnswered) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), "#");
  MqttSettings settings = settings_for(broker.url());
  settings.control = true;
  MqttBench bench(settings);
  bench.session.start();
  ASSERT_TRUE(subscriber.wait_for(kBase + "/state", 1));
  struct Case {
    std::string request;
    bool ok;
    std::string error_part;
  };
  const std::vector<Case> cases = {
      {R"({"code": 320, "argument": "419500201001", "id": "r1"})", true, ""},
      {R"({"code": 300, "argument": "zz", "id": "r2"})", false, "hex"},
      {R"({"code": "320", "id": "r3"})", false, "\"code\""},
      {R"({"code": 320, "force": true, "id": "r4"})", false, "\"force\""},
      {R"({"code": 320, "id": "r5")", false, "not valid JSON"},
      {R"({"code": 310, "argument": "{\"signal_id\":\"006201\",\"SetValue\":\"70\"}"})", false,
       "nothing was sent (forcing is only possible on the host itself"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    subscriber.publish(kBase + "/cmd/control", cases[i].request);
    ASSERT_TRUE(subscriber.wait_for(kBase + "/cmd/result", i + 1)) << cases[i].request;
    const Json::Value result = parse_json(subscriber.on(kBase + "/cmd/result")[i].payload);
    EXPECT_EQ(result["ok"].asBool(), cases[i].ok) << cases[i].request;
    if (i + 2 < cases.size()) {
      EXPECT_EQ(result["id"].asString(), "r" + std::to_string(i + 1));
    }
    EXPECT_NE(result["error"].asString().find(cases[i].error_part), std::string::npos)
        << result["error"].asString();
  }
  const auto control_events_sent = [&] {
    std::vector<Json::Value> events;
    for (const Message& message : subscriber.on(kBase + "/event")) {
      const Json::Value event = parse_json(message.payload);
      if (event["type"] == "control") events.push_back(event);
    }
    return events;
  };
  ASSERT_TRUE(wait_until([&] { return control_events_sent().size() == 4; }, 20s));
  bench.session.stop();
  // The request that reached the device was stored as sent and with its outcome, the refused ones
  // once, all with their origin.
  const auto events = HistoryStore(bench.session.db()).control_events({});
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].origin, "mqtt kelvra-site1-power1");
  const char* verdicts[] = {"sent", "passed", "refused", "refused"};
  const auto sent = control_events_sent();
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(events[i].verdict, verdicts[i]);
    EXPECT_EQ(sent[i]["verdict"], verdicts[i]);
    EXPECT_EQ(sent[i]["origin"], "mqtt kelvra-site1-power1");
    if (i > 0) {
      EXPECT_LT(sent[i - 1]["position"].asInt64(), sent[i]["position"].asInt64());
    }
  }
}

TEST(MqttBroker, ControlIsOffUnlessEnabled) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), "#");
  MqttBench bench(settings_for(broker.url()));
  bench.session.start();
  ASSERT_TRUE(subscriber.wait_for(kBase + "/state", 1));
  subscriber.publish(kBase + "/cmd/control", R"({"code": 320, "argument": "419500201001"})");
  // Published after the request: once discovery follows it, the host has had whatever the broker
  // gave it of the request; a round later, anything the request would have started is done.
  const std::size_t discoveries = subscriber.on(kDiscovery).size();
  subscriber.publish("homeassistant/status", "online");
  ASSERT_TRUE(subscriber.wait_for(kDiscovery, discoveries + 1));
  const std::size_t states = subscriber.on(kBase + "/state").size();
  ASSERT_TRUE(subscriber.wait_for(kBase + "/state", states + 1));
  bench.session.stop();
  EXPECT_TRUE(subscriber.on(kBase + "/cmd/result").empty());
  EXPECT_TRUE(HistoryStore(bench.session.db()).control_events({}).empty());
}

// A name server that takes every query and never answers, on 127.0.0.1:53; not open when the
// port cannot be had.
class SilentNameServer {
 public:
  SilentNameServer() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    open_ = bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~SilentNameServer() { close(fd_); }
  SilentNameServer(const SilentNameServer&) = delete;
  SilentNameServer& operator=(const SilentNameServer&) = delete;
  bool open() const { return open_; }

 private:
  int fd_;
  bool open_ = false;
};

TEST(FaultBrokerName, ANameTheResolverNeverAnswersDelaysNoRound) {
  TempDir dir;
  const SilentNameServer name_server;
  if (!name_server.open() || Child({"/usr/bin/unshare", "-m", "true"}).wait_exit(5s) != 0) {
    GTEST_SKIP() << "needs 127.0.0.1:53 and a mount namespace of its own (root)";
  }
  const std::string resolv = dir.file("resolv.conf");
  std::ofstream(resolv) << "nameserver 127.0.0.1\noptions timeout:12 attempts:1\n";
  const std::string log = dir.file("host.log");
  // The host sees a resolv.conf of its own: names go to the silent server.
  Child host({"/usr/bin/unshare", "-m", "--", "/bin/sh", "-c",
              "mount --bind \"$0\" /etc/resolv.conf && exec \"$1\" run --db \"$2\" --mqtt "
              "mqtt://broker.invalid:1883 --no-pace --poll-interval 200",
              resolv, KELVRA_HOST_PATH, dir.file("h.db")},
             log);
  const auto log_text = [&log] {
    std::ifstream in(log);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  // Until the lookup has been given up: rounds meanwhile show the cadence kept.
  wait_until([&] { return log_text().find("cannot resolve") != std::string::npos; }, 10s);
  host.end(SIGTERM);
  const std::string output = log_text();
  // The device answers every 2 s: rounds keep that cadence from the start, the attempts to
  // reach the broker beside them.
  std::vector<long> round_ms;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" power1 round ") == std::string::npos || line.size() < 23) continue;
    round_ms.push_back(std::stol(line.substr(11, 2)) * 3600000 +
                       std::stol(line.substr(14, 2)) * 60000 +
                       std::stol(line.substr(17, 2)) * 1000 + std::stol(line.substr(20, 3)));
  }
  EXPECT_GE(round_ms.size(), 3u) << output.substr(0, 3000);
  for (std::size_t i = 1; i < round_ms.size(); ++i) {
    EXPECT_LT(round_ms[i] - round_ms[i - 1], 2100) << output.substr(0, 3000);
  }
  EXPECT_EQ(occurrences(output, "cannot resolve broker.invalid: no answer within 5000 ms"), 1u)
      << output.substr(0, 3000);
}

TEST(FaultBrokerName, ANameThatResolvesStillConnects) {
  TempDir dir;
  Broker broker(dir.file(""));
  Subscriber subscriber(broker.port(), kBase + "/status");
  MqttBench bench(settings_for("mqtt://localhost:" + std::to_string(broker.port())));
  bench.session.start();
  EXPECT_TRUE(subscriber.wait_for_payload(kBase + "/status", "online")) << bench.session.output();
}

}  // namespace
