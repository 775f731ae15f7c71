// The HTTP server inside a bench run against the simulator: every endpoint's answers, its
// refusals and its bounds, over real loopback connections.
#include <sys/socket.h>

#include <thread>

#include <json/reader.h>

#include "tests/line/bench_fixture.h"
#include "tests/web/http_client.h"
#include "web/http_server.h"

namespace {

using namespace bench_testing;
using namespace web_testing;
using kelvra::history::HistoryStore;

Json::Value parsed(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors)) << text;
  return value;
}

// A bench run with the HTTP server on a free loopback port.
class HttpRun {
 public:
  explicit HttpRun(kelvra::web::HttpOptions options = {},
                   kelvra::sim::SimulatorConfig config =
                       quiet_simulator(*kelvra::sim::builtin_scenario("normal")))
      : session_(std::move(config)), server_(with_any_port(std::move(options))) {
    session_.options().services.push_back(&server_);
    session_.options().duration = 60s;
    session_.start();
    EXPECT_TRUE(session_.wait_for_records(1)) << session_.output();
    port_ = server_.port();
  }
  ~HttpRun() { session_.stop(); }

  unsigned short port() const { return port_; }
  BenchSession& session() { return session_; }
  Reply get(const std::string& target) { return exchange(port_, "GET", target); }

 private:
  static kelvra::web::HttpOptions with_any_port(kelvra::web::HttpOptions options) {
    options.port = 0;
    return options;
  }
  BenchSession session_;
  kelvra::web::HttpServer server_;
  unsigned short port_ = 0;
};

struct EndpointCase {
  const char* method;
  const char* target;
  unsigned status;
  const char* contains;  // in the body
};

TEST(HttpApi, EndpointsAnswerWithFittingStatus) {
  HttpRun run;
  const EndpointCase cases[] = {
      {"GET", "/api/v1/devices", 200, "\"name\":\"power1\""},
      {"GET", "/api/v1/devices", 200, "\"source\":\"live\""},
      {"GET", "/api/v1/devices/power1", 200, "\"link\":\"up\""},
      {"GET", "/api/v1/devices/power1/record", 200,
       "{\"label\":\"DC output "
       "voltage\",\"name\":\"dc.out_v\",\"part\":\"dc1\",\"reading\":true,\"unit\":\"V\",\"value\":"
       "53.5}"},
      {"GET", "/api/v1/devices/power1/record", 200,
       "{\"label\":\"AC input 1 "
       "frequency\",\"name\":\"ac.channel[0].f\",\"part\":\"ac1\",\"reading\":true,\"unit\":\"Hz\","
       "\"value\":50.0}"},
      {"GET", "/api/v1/devices/nobody", 404, "no device named \\\"nobody\\\""},
      {"GET", "/api/v1/devices/power1/fuel", 404, "no API resource"},
      {"GET", "/api/v1/devices?verbose=1", 400, "unknown parameter \\\"verbose\\\""},
      {"POST", "/api/v1/devices", 405, "use GET"},
      {"DELETE", "/api/v1/devices/power1", 405, "use GET"},
      {"GET", "/api/v1/devices/power1/query?key=out_v", 200, "\"value\":53.5"},
      {"GET", "/api/v1/devices/power1/query?key=OUT_V", 422, "\"ok\":false"},
      {"GET", "/api/v1/devices/power1/query", 400, "\\\"key\\\" is missing"},
      {"GET", "/api/v1/history/records?device=power1&limit=2", 200, "\"data_id\":1"},
      {"GET", "/api/v1/history/records?limit=0", 400, "out of range (1 to 1000)"},
      {"GET", "/api/v1/history/records?limit=1001", 400, "out of range (1 to 1000)"},
      {"GET", "/api/v1/history/records?limit=-3", 400, "expected a whole number"},
      {"GET", "/api/v1/history/records?limit=1&limit=2", 400, "given twice"},
      {"GET", "/api/v1/history/records?device=nobody", 404, "no device named"},
      {"GET", "/api/v1/history/records?since=2026-13-01", 400, "parameter \\\"since\\\""},
      {"GET", "/api/v1/history/records?since=2000&until=1000", 400, "must lie before"},
      {"GET", "/api/v1/history/events", 200, "\"events\":["},
      {"GET", "/api/v1/history/events?kind=link", 200, "\"events\":["},
      {"GET", "/api/v1/history/events?kind=weather", 400, "not alarm, link or control"},
      {"GET", "/api/v1/history/series?device=power1&field=dc.out_v", 200, "\"unit\":\"V\""},
      {"GET", "/api/v1/history/series?device=power1&field=dc.out_v", 200,
       "\"label\":\"DC output voltage\""},
      {"GET", "/api/v1/history/records?device=power1&format=csv", 200,
       ",dc.out_v (V),dc.out_i (A),"},
      {"GET", "/api/v1/history/records?format=xml", 400, "is not csv"},
      {"GET", "/api/v1/history/series?device=power1&field=data_id", 400, "is not a reading"},
      {"GET", "/api/v1/history/series?device=power1", 400, "\\\"field\\\" is missing"},
      {"GET", "/api/v1/history/series?field=dc.out_v", 400, "\\\"device\\\" is missing"},
      {"GET", "/api/v1/history/series?device=x&field=dc.out_v", 404, "no device named"},
      {"GET", "/api/v1/history/series?device=power1&field=dc.out_v&step=999", 400, "out of range"},
      {"GET",
       "/api/v1/history/series?device=power1&field=dc.out_v&since=0&until=86400000&step=1000", 400,
       "more than 2000 points"},
      {"GET", "/api/v1/history/series?device=power1&field=dc.out_v&step=3600001", 400,
       "longer than an hour must be whole minutes"},
      {"GET", "/api/v1/history/nothing", 404, "no API resource"},
      {"GET", "/api/v1/events?since=1", 400, "takes no parameters"},
      {"POST", "/api/v1/events", 405, "event stream"},
      {"GET", "/api/v2/devices", 404, "nothing at /api/v2/devices"},
      {"GET", "/etc/passwd", 404, "nothing at /etc/passwd"},
      {"GET", "/api/v1/devices/%zz", 400, "bad percent escape"},
      {"POST", "/metrics", 405, "use GET"},
      {"POST", "/api/v1/devices/power1/control", 403, "without a token file"},
      {"GET", "/api/v1/devices/power1/control", 405, "use POST"},
  };
  for (const EndpointCase& each : cases) {
    Reply reply = exchange(run.port(), each.method, each.target);
    EXPECT_EQ(reply.status, each.status) << each.method << " " << each.target << ": " << reply.body;
    EXPECT_NE(reply.body.find(each.contains), std::string::npos)
        << each.method << " " << each.target << ": " << reply.body;
    if (reply.status >= 400) {
      EXPECT_EQ(reply.headers["Content-Type"], "application/json") << each.target;
      EXPECT_EQ(parsed(reply.body)["status"].asUInt(), each.status) << each.target;
    }
    if (reply.status == 405) {
      EXPECT_FALSE(reply.headers["Allow"].empty()) << each.target;
    }
  }
}

TEST(HttpApi, PageAndItsFilesAreServedFromTheProgram) {
  HttpRun run;
  const struct {
    const char* target;
    const char* type;
    const char* contains;
  } files[] = {
      {"/", "text/html; charset=utf-8", "<script src=\"/dashboard.js\">"},
      {"/index.html", "text/html; charset=utf-8", "/uPlot.iife.min.js"},
      {"/dashboard.js", "text/javascript; charset=utf-8", "new EventSource(\"/api/v1/events\")"},
      {"/dashboard.css", "text/css; charset=utf-8", ".grid"},
      {"/uPlot.iife.min.js", "text/javascript; charset=utf-8", "uPlot"},
      {"/uPlot.min.css", "text/css; charset=utf-8", ".uplot"},
  };
  for (const auto& file : files) {
    Reply reply = run.get(file.target);
    EXPECT_EQ(reply.status, 200u) << file.target;
    EXPECT_EQ(reply.headers["Content-Type"], file.type) << file.target;
    EXPECT_NE(reply.body.find(file.contains), std::string::npos) << file.target;
    Reply head = exchange(run.port(), "HEAD", file.target);
    EXPECT_EQ(head.status, 200u) << file.target;
    EXPECT_EQ(head.headers["Content-Length"], std::to_string(reply.body.size())) << file.target;
    EXPECT_EQ(head.body, "") << file.target;
  }
  // A name that may resolve anywhere is no name of this server: DNS rebinding stops here.
  const Reply rebound =
      exchange_raw(run.port(), "GET /api/v1/devices HTTP/1.1\r\nHost: attacker.example\r\n\r\n");
  EXPECT_EQ(rebound.status, 421u) << rebound.body;
}

TEST(HttpApi, HistoryListsRecordsEventsAndSeriesOfTheRun) {
  HttpRun run;
  ASSERT_TRUE(run.session().wait_for_records(4));
  const Json::Value records = parsed(run.get("/api/v1/history/records?limit=3&device=power1").body);
  ASSERT_EQ(records["records"].size(), 3u);
  EXPECT_TRUE(records["truncated"].asBool());
  EXPECT_EQ(records["records"][2]["record"]["dc"]["out_v"].asDouble(), 53.5);
  EXPECT_LT(records["records"][0]["time"].asString(), records["records"][2]["time"].asString());

  const Json::Value series = parsed(
      run.get("/api/v1/history/series?device=power1&field=ac.channel[1].b&step=3600000").body);
  ASSERT_GE(series["points"].size(), 1u) << series.toStyledString();
  std::uint64_t count = 0;
  for (const Json::Value& point : series["points"]) {
    EXPECT_EQ(point["min"].asDouble(), 230);
    EXPECT_EQ(point["mean"].asDouble(), 230);
    EXPECT_EQ(point["max"].asDouble(), 230);
    EXPECT_EQ(point["time"].asInt64() % 3600000, 0);  // buckets start at whole UTC hours
    count += point["count"].asUInt64();
  }
  EXPECT_GE(count, 4u);
  EXPECT_EQ(series["unit"].asString(), "V");
  // A span that ended before the run has no points.
  const Json::Value before = parsed(
      run.get("/api/v1/history/series?device=power1&field=dc.out_v&since=1000&until=2000").body);
  EXPECT_EQ(before["points"].size(), 0u);
}

// A listing of one row per answer and a series of one step per answer, followed through their
// continuations, give what one whole answer and the history file itself hold.
TEST(HttpApi, BoundedHistoryAnswersContinueToTheWholeAnswer) {
  kelvra::web::HttpOptions options;
  options.api.series_rows = 1;
  HttpRun run(options);
  ASSERT_TRUE(run.session().wait_for_records(4));
  const std::int64_t until = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
  std::this_thread::sleep_for(300ms);  // the rows before `until` are committed
  const std::string span = "since=0&until=" + std::to_string(until);
  const Json::Value whole = parsed(run.get("/api/v1/history/records?limit=1000&" + span).body);
  ASSERT_GE(whole["records"].size(), 4u);
  ASSERT_FALSE(whole["truncated"].asBool());
  std::vector<Json::Value> paged;  // newest first
  std::string target = "/api/v1/history/records?limit=1&" + span;
  for (;;) {
    const Json::Value page = parsed(run.get(target).body);
    ASSERT_EQ(page["records"].size(), 1u) << page.toStyledString();
    paged.push_back(page["records"][0]);
    ASSERT_LE(paged.size(), whole["records"].size());
    if (!page["truncated"].asBool()) break;
    target =
        "/api/v1/history/records?limit=1&" + span + "&before=" + page["next_before"].asString();
  }
  ASSERT_EQ(paged.size(), whole["records"].size());
  for (Json::ArrayIndex i = 0; i < whole["records"].size(); ++i) {
    EXPECT_EQ(paged[paged.size() - 1 - i], whole["records"][i]) << i;
  }

  const std::int64_t since = until - 600000;
  const std::string series =
      "/api/v1/history/series?device=power1&field=dc.out_v&step=1000&until=" +
      std::to_string(until) + "&since=";
  std::vector<kelvra::history::SeriesPoint> points;
  int parts = 0;
  for (std::int64_t from = since;; ++parts) {
    const Json::Value part = parsed(run.get(series + std::to_string(from)).body);
    for (const Json::Value& point : part["points"]) {
      points.push_back({point["time"].asInt64(), point["min"].asDouble(), point["mean"].asDouble(),
                        point["max"].asDouble(), point["count"].asUInt()});
    }
    if (!part.isMember("next_since")) break;
    ASSERT_GT(part["next_since"].asInt64(), from);
    from = part["next_since"].asInt64();
  }
  EXPECT_GE(parts, 3);
  kelvra::history::HistoryReader history(run.session().db());
  EXPECT_EQ(points, history.series("power1", "dc.out_v", since, until, 1000));
}

TEST(HttpApi, ControlNeedsTheConfiguredBearerToken) {
  kelvra::web::HttpOptions options;
  options.token = "s3cret-token";
  HttpRun run(options);
  const std::string path = "/api/v1/devices/power1/control";
  const std::string good = R"({"code": 320, "argument": "419500201001"})";
  const struct {
    const char* authorization;
    std::string body;
    unsigned status;
    const char* contains;
  } cases[] = {
      {"", good, 401, "Bearer TOKEN"},
      {"Basic czNjcmV0", good, 401, "Bearer TOKEN"},
      {"Bearer s3cret-tokem", good, 403, "not the one configured"},
      {"Bearer s3cret-token-longer", good, 403, "not the one configured"},
      {"Bearer s3cret-token", "{\"code\": 320", 400, "not valid JSON"},
      {"Bearer s3cret-token", "[320]", 400, "expected a JSON object"},
      {"Bearer s3cret-token", R"({"code": "320"})", 400, "\\\"code\\\" must be an integer"},
      {"Bearer s3cret-token", R"({"code": 320, "argument": 7})", 400, "must be a text"},
      {"Bearer s3cret-token", R"({"code": 320, "force": true})", 400,
       "\\\"force\\\": unknown member"},
      {"Bearer s3cret-token", R"({"code": 300, "argument": "zz"})", 409, "takes its bytes in hex"},
      {"Bearer s3cret-token",
       R"({"code": 310, "argument": "{\"signal_id\":\"006201\",\"SetValue\":\"70\"}"})", 409,
       "lies outside 40 to 60 V: nothing was sent (forcing is only possible on the host itself"},
      {"Bearer s3cret-token", good, 200, "\"readback\":1"},
      {"bEARER s3cret-token", good, 200, "\"readback\":1"},
  };
  std::size_t control_rows = 0;
  for (const auto& each : cases) {
    const std::string header =
        *each.authorization ? std::string("Authorization: ") + each.authorization + "\r\n" : "";
    Reply reply = exchange(run.port(), "POST", path, each.body, header);
    EXPECT_EQ(reply.status, each.status)
        << each.authorization << " " << each.body << ": " << reply.body;
    EXPECT_NE(reply.body.find(each.contains), std::string::npos) << reply.body;
    if (each.status == 401) {
      EXPECT_EQ(reply.headers["WWW-Authenticate"], "Bearer");
    }
    // Refused by the device check: one row; carried out: stored as sent, then with its outcome.
    if (each.status == 409) ++control_rows;
    if (each.status == 200) control_rows += 2;
  }
  // Only requests past the token and the body's check are control events, with their origin.
  // History commits in batches: wait for the one that holds the last request.
  std::vector<kelvra::events::ControlEvent> stored;
  for (int tries = 0; tries < 100 && stored.size() < control_rows; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stored = HistoryStore(run.session().db()).control_events({});
  }
  ASSERT_EQ(stored.size(), control_rows);
  EXPECT_EQ(stored[0].verdict, "refused");
  EXPECT_EQ(stored[1].verdict, "refused");
  EXPECT_EQ(stored[2].verdict, "sent");
  EXPECT_EQ(stored[3].verdict, "passed");
  EXPECT_EQ(stored[3].readback, "1");
  for (const auto& event : stored)
    EXPECT_EQ(event.origin.rfind("http 127.0.0.1:", 0), 0u) << event.origin;
}

TEST(HttpApi, OversizedRequestsAreRefused) {
  kelvra::web::HttpOptions options;
  options.token = "t";
  HttpRun run(options);
  const Reply headers = exchange(run.port(), "GET", "/api/v1/devices", "",
                                 "X-Filler: " + std::string(9000, 'x') + "\r\n");
  EXPECT_EQ(headers.status, 431u) << headers.body;
  const Reply body = exchange(run.port(), "POST", "/api/v1/devices/power1/control",
                              std::string(17 * 1024, ' '), "Authorization: Bearer t\r\n");
  EXPECT_EQ(body.status, 413u) << body.body;
  const Reply garbage = exchange_raw(run.port(), "NOT HTTP AT ALL\r\n\r\n");
  EXPECT_EQ(garbage.status, 400u) << garbage.body;
  const Reply long_value = run.get("/api/v1/history/records?since=" + std::string(300, '1'));
  EXPECT_EQ(long_value.status, 400u);
  EXPECT_NE(long_value.body.find("longer than 256 bytes"), std::string::npos);
}

// A connection that was accepted and then sends nothing, or reads nothing.
tcp::socket connect_socket(asio::io_context& io, unsigned short port) {
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  return socket;
}

// True once the peer closed `socket` (read returns end of stream), within `limit`.
bool closed_by_peer(tcp::socket& socket, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  socket.non_blocking(true);
  char byte[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    boost::system::error_code error;
    socket.read_some(asio::buffer(byte), error);
    if (error == asio::error::eof || error == asio::error::connection_reset) return true;
    if (error && error != asio::error::would_block) return true;
    if (error) std::this_thread::sleep_for(20ms);
  }
  return false;
}

Json::Value metrics_sample(HttpRun& run, const std::string& name) {
  const std::string text = run.get("/metrics").body;
  const std::size_t at = text.find("\n" + name + " ");
  if (at == std::string::npos) return Json::Value();
  return std::stod(text.substr(at + name.size() + 2));
}

TEST(HttpLimits, IdleAndSurplusClientsAreClosedWhilePollingGoesOn) {
  kelvra::web::HttpOptions options;
  options.limits.clients = 3;
  options.limits.stream_clients = 2;
  options.limits.idle_timeout = 500ms;
  options.limits.request_timeout = 100ms;
  HttpRun run(options);
  // Rounds polled before these clients come: more are stored while they come and stay.
  const double rounds = metrics_sample(run, "kelvra_rounds_total{device=\"power1\"}").asDouble();
  asio::io_context io;
  tcp::socket idle = connect_socket(io, run.port());
  EXPECT_TRUE(closed_by_peer(idle, 5s));
  // A request begun and never finished is cut at the request time, well before the idle time.
  tcp::socket slow = connect_socket(io, run.port());
  asio::write(slow, asio::buffer(std::string("GET /api/v1/devices HTTP/1.1\r\nHo")));
  EXPECT_TRUE(closed_by_peer(slow, 400ms));

  // Three held connections fill the bound; the fourth is answered 503 and closed.
  std::vector<tcp::socket> held;
  for (int i = 0; i < 3; ++i) held.push_back(connect_socket(io, run.port()));
  std::this_thread::sleep_for(100ms);
  const Reply surplus = run.get("/api/v1/devices");
  EXPECT_EQ(surplus.status, 503u) << surplus.body;
  EXPECT_NE(surplus.body.find("too many clients: 3"), std::string::npos);
  for (auto& socket : held) EXPECT_TRUE(closed_by_peer(socket, 5s));

  // Event streams have a bound of their own.
  std::vector<tcp::socket> streams;
  const std::string ask =
      "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
  for (int i = 0; i < 2; ++i) {
    streams.push_back(connect_socket(io, run.port()));
    asio::write(streams.back(), asio::buffer(ask));
  }
  std::this_thread::sleep_for(300ms);
  const Reply third = exchange_raw(run.port(), ask);
  EXPECT_EQ(third.status, 503u);
  EXPECT_NE(third.body.find("event stream full: 2 clients"), std::string::npos);
  EXPECT_EQ(metrics_sample(run, "kelvra_http_event_stream_clients").asDouble(), 2);
  EXPECT_GE(metrics_sample(run, "kelvra_http_refused_clients_total").asDouble(), 2);
  ASSERT_TRUE(run.session().wait_for_records(static_cast<std::size_t>(rounds) + 2));
}

TEST(HttpLimits, StalledStreamClientIsDroppedWhilePollingGoesOn) {
  kelvra::web::HttpOptions options;
  options.limits.stream_queue_bytes = 4096;
  options.limits.stream_socket_buffer = 1024;
  // A comment every few milliseconds: the stream's queue fills within a second, not in minutes.
  options.limits.keepalive = 5ms;
  HttpRun run(options);
  asio::io_context io;
  // The smallest receive buffer, and nothing read: the server's writes back up into its queue.
  tcp::socket stalled(io);
  stalled.open(tcp::v4());
  stalled.set_option(asio::socket_base::receive_buffer_size(1024));
  stalled.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), run.port()));
  asio::write(stalled,
              asio::buffer(std::string("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")));
  const auto deadline = std::chrono::steady_clock::now() + 40s;
  double dropped = 0;
  while (std::chrono::steady_clock::now() < deadline && dropped == 0) {
    std::this_thread::sleep_for(200ms);
    dropped = metrics_sample(run, "kelvra_http_dropped_streams_total").asDouble();
  }
  EXPECT_EQ(dropped, 1);
  EXPECT_EQ(metrics_sample(run, "kelvra_http_event_stream_clients").asDouble(), 0);
  const auto rounds = HistoryStore(run.session().db()).records({}).size();
  EXPECT_TRUE(run.session().wait_for_records(rounds + 2));
}

// Reads the stream until `done` holds for the text so far, within `limit`.
std::string read_stream(tcp::socket& socket, const std::function<bool(const std::string&)>& done,
                        std::chrono::milliseconds limit) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  socket.non_blocking(true);
  char chunk[8192];
  while (std::chrono::steady_clock::now() < deadline && !done(text)) {
    boost::system::error_code error;
    const std::size_t got = socket.read_some(asio::buffer(chunk), error);
    if (error == asio::error::would_block) {
      std::this_thread::sleep_for(20ms);
      continue;
    }
    if (error) {
      text += "\n[read: " + error.message() + "]";
      break;
    }
    text.append(chunk, got);
  }
  return text;
}

TEST(HttpEvents, StreamCarriesRoundsAndAlarmRaisesAndClears) {
  HttpRun run({}, quiet_simulator(kelvra::sim::parse_scenario(R"({
    "timeline": [
      {"at": 3, "note": "mains lost", "set": {"ac*.phase_a": 0, "ac*.phase_b": 0, "ac*.phase_c": 0}},
      {"at": 6, "note": "mains back", "set": {"ac*.phase_a": 230, "ac*.phase_b": 230, "ac*.phase_c": 230}}]})",
                                                              "short-mains-failure")));
  asio::io_context io;
  tcp::socket stream = connect_socket(io, run.port());
  asio::write(stream,
              asio::buffer(std::string("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")));
  const std::string raise = "\"raised\":true";
  const std::string cleared = "\"raised\":false";
  const std::string text = read_stream(
      stream,
      [&](const std::string& seen) {
        const std::size_t raised_at = seen.find(raise);
        return raised_at != std::string::npos && seen.find(cleared, raised_at) != std::string::npos;
      },
      20s);
  EXPECT_EQ(text.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << text.substr(0, 200);
  EXPECT_NE(text.find("Content-Type: text/event-stream\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n\r\nretry: 2000\n\n"), std::string::npos);
  const std::size_t round = text.find("event: round\ndata: {");
  const std::size_t raised = text.rfind("event: alarm\ndata: {", text.find(raise));
  const std::size_t clear = text.find(cleared, raised);
  ASSERT_NE(round, std::string::npos) << text.substr(0, 3000);
  ASSERT_NE(raised, std::string::npos) << text.substr(0, 2000);
  ASSERT_NE(clear, std::string::npos);
  EXPECT_LT(raised, clear);
  const std::size_t line_end = text.find('\n', raised + 13);
  const Json::Value alarm = parsed(text.substr(raised + 19, line_end - raised - 19));
  EXPECT_EQ(alarm["text"].asString(), "输入电源中断告警");
  EXPECT_EQ(alarm["key"].asString(), "PowerOff");
  EXPECT_TRUE(alarm["raised"].asBool());
  EXPECT_EQ(alarm["time"].asString().size(), 23u);
  // While raised, the alarm is listed active with its raise time.
}

TEST(HttpMetrics, ExpositionHoldsEveryFamilyWithItsLabels) {
  HttpRun run;
  const std::string text = run.get("/metrics").body;
  for (const char* sample : {
           "kelvra_info{device=\"power1\",device_type=\"kelvra_419\",data_id=\"1\"} 1\n",
           "kelvra_ac_phase_volts{device=\"power1\",input=\"2\",phase=\"c\"} 230\n",
           "kelvra_ac_frequency_hertz{device=\"power1\",input=\"1\"} 50\n",
           "kelvra_rectifier_current_amperes{device=\"power1\",module=\"6\"} ",
           "kelvra_dc_voltage_volts{device=\"power1\",unit=\"1\"} 53.5\n",
           "kelvra_battery_current_amperes{device=\"power1\",unit=\"1\",battery=\"1\"} ",
           "kelvra_alarm_active{device=\"power1\",key=\"PowerOff\",alarm_id=\"419415001\","
           "text=\"输入电源中断告警\",label=\"input power supply interrupted\"} 0\n",
           "kelvra_link_up{device=\"power1\",port=\"",
           "kelvra_data_source{device=\"power1\",source=\"live\"} 1\n",
           "kelvra_history_store_ok 1\n",
           "# TYPE kelvra_rounds_total counter\n",
           "# TYPE kelvra_timeouts_total counter\nkelvra_timeouts_total{device=\"power1\"} 0\n",
       }) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample << "\n" << text;
  }
  EXPECT_EQ(text.find("kelvra_rectifier_current_amperes{device=\"power1\",module=\"7\"}"),
            std::string::npos);
}

}  // namespace
