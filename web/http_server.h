// The bench host's HTTP server on the run's own loop: the dashboard, the JSON API, the event
// stream and the metrics. Every client is bounded in what it may send, how long it may idle and
// how much may wait to be written to it, so a slow or stalled client never delays polling.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "run/bench_run.h"
#include "station/run_events.h"
#include "web/api.h"

namespace kelvra::web {

struct HttpLimits {
  std::uint32_t header_bytes = 8 * 1024;  // request line and headers
  std::uint64_t body_bytes = 16 * 1024;
  std::size_t clients = 32;                         // connections answering requests
  std::size_t stream_clients = 64;                  // event-stream connections, beside those
  std::chrono::milliseconds idle_timeout{30000};    // waiting for a request's first bytes
  std::chrono::milliseconds request_timeout{5000};  // the rest of a request, once begun
  std::chrono::milliseconds write_timeout{10000};   // one answer or event written
  std::size_t stream_queue_bytes = 256 * 1024;      // events waiting for one stream client
  int stream_socket_buffer = 64 * 1024;             // the kernel's send buffer of a stream
  std::chrono::milliseconds keepalive{15000};       // comment on idle streams
};

struct HttpOptions {
  std::string address = "127.0.0.1";
  unsigned short port = 8080;      // 0: any free port, see HttpServer::port
  std::string token;               // bearer token of control requests; empty: control is off
  std::vector<std::string> names;  // host names answered to, beside addresses and localhost
  HttpLimits limits;
  Api::Limits api;
};

// "ADDR:PORT", "[V6ADDR]:PORT" or "PORT" (on 127.0.0.1) into options; throws
// std::invalid_argument naming what is wrong.
void parse_listen_address(const std::string& text, HttpOptions& options);

// The token in a file of at most 4 KiB: one line of printable characters without spaces, a final
// line feed allowed. Throws run::RunError naming the file.
std::string read_token_file(const std::string& path);

class HttpServer : public run::RunService, public station::RunObserver {
 public:
  explicit HttpServer(HttpOptions options);
  ~HttpServer() override;
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens; throws run::RunError naming the address when it cannot.
  void start(run::RunContext& run) override;
  void stop() override;
  // The port listened on, once started.
  unsigned short port() const;

  void round_completed(const station::Station& station) override;
  void alarm_event(const events::AlarmEvent& event) override;
  void comm_event(const events::CommEvent& event) override;
  void control_event(const events::ControlEvent& event) override;

 private:
  struct Shared;
  class Session;

  void accept();
  void keepalive();
  void broadcast(const char* kind, const Json::Value& data);

  HttpOptions options_;
  run::RunContext* run_ = nullptr;
  std::shared_ptr<Shared> shared_;
};

}  // namespace kelvra::web
