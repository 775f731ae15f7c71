#include "web/http_server.h"

#include <deque>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>

#include <json/writer.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "events/event_json.h"
#include "hostkit/accept_pacing.h"
#include "hostkit/json_output.h"
#include "hostkit/listen_address.h"
#include "hostkit/session_set.h"
#include "station/station.h"
#include "web/request_params.h"

namespace kelvra::web {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr std::size_t kMaxTokenBytes = 4096;
constexpr const char* kStreamPath = "/api/v1/events";

std::string path_of(beast::string_view target) {
  const std::string text(target);
  return text.substr(0, text.find('?'));
}

}  // namespace

void parse_listen_address(const std::string& text, HttpOptions& options) {
  const hostkit::ListenAddress listen = hostkit::parse_listen_address(text);
  options.address = listen.address;
  options.port = listen.port;
}

std::string read_token_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw run::RunError(path + ": cannot be read");
  std::string token(kMaxTokenBytes + 1, '\0');
  file.read(token.data(), static_cast<std::streamsize>(token.size()));
  token.resize(static_cast<std::size_t>(file.gcount()));
  if (token.size() > kMaxTokenBytes) {
    throw run::RunError(path + ": longer than 4096 bytes");
  }
  if (!token.empty() && token.back() == '\n') token.pop_back();
  if (!token.empty() && token.back() == '\r') token.pop_back();
  if (token.empty()) throw run::RunError(path + ": empty");
  for (const char c : token) {
    if (c <= ' ' || c == 0x7f) {
      throw run::RunError(path +
                          ": the token must be one line of printable characters without spaces");
    }
  }
  return token;
}

struct HttpServer::Shared {
  Shared(asio::io_context& io, HttpOptions given)
      : acceptor(io), accept_retry(io), keepalive(io), options(std::move(given)) {}

  tcp::acceptor acceptor;
  asio::steady_timer accept_retry;
  hostkit::AcceptPacing accept_pacing;
  asio::steady_timer keepalive;
  HttpOptions options;
  std::unique_ptr<Api> api;
  ServerCounters counters;
  hostkit::SessionSet<Session> sessions;
  bool stopped = false;
};

// One connection: requests answered in turn; or, once it asked for the event stream, a queue of
// events written as the client takes them.
class HttpServer::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::shared_ptr<Shared> shared)
      : stream_(std::move(socket)),
        shared_(std::move(shared)),
        buffer_(shared_->options.limits.header_bytes + shared_->options.limits.body_bytes) {
    boost::system::error_code error;
    const tcp::endpoint peer = stream_.socket().remote_endpoint(error);
    origin_ = "http " + (error ? std::string("unknown")
                               : peer.address().to_string() + ":" + std::to_string(peer.port()));
  }

  void begin() {
    shared_->sessions.add(*this);
    ++shared_->counters.clients;
    read();
  }

  // Answers 503 and closes: the server has as many clients as it takes.
  void refuse(unsigned status, const std::string& text) {
    shared_->sessions.add(*this);
    ++shared_->counters.clients;
    ++shared_->counters.refused_clients;
    HttpAnswer answer = error_answer(status, text);
    write(answer, false);
  }

  void push(const std::shared_ptr<const std::string>& event) {
    if (!streaming_ || closed_) return;
    if (queued_bytes_ + event->size() > shared_->options.limits.stream_queue_bytes) {
      ++shared_->counters.dropped_streams;
      close();
      return;
    }
    queued_bytes_ += event->size();
    queue_.push_back(event);
    if (queue_.size() == 1) write_event();
  }

  bool streaming() const { return streaming_; }

  void close() {
    if (closed_) return;
    closed_ = true;
    shared_->sessions.remove(*this);
    --(streaming_ ? shared_->counters.stream_clients : shared_->counters.clients);
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

 private:
  const HttpLimits& limits() const { return shared_->options.limits; }

  void read() {
    parser_.emplace();
    parser_->header_limit(limits().header_bytes);
    parser_->body_limit(limits().body_bytes);
    if (buffer_.size() > 0) {
      read_rest();
      return;
    }
    // Idle until the request's first bytes; from then on the request has its own, shorter time.
    stream_.expires_after(limits().idle_timeout);
    stream_.async_read_some(buffer_.prepare(limits().header_bytes),
                            [self = shared_from_this()](beast::error_code error, std::size_t size) {
                              if (error) {
                                self->on_read(error);
                                return;
                              }
                              self->buffer_.commit(size);
                              self->read_rest();
                            });
  }

  void read_rest() {
    stream_.expires_after(limits().request_timeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                       self->on_read(error);
                     });
  }

  void on_read(beast::error_code error) {
    if (closed_) return;
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
      write(error_answer(431, "request headers larger than " +
                                  std::to_string(limits().header_bytes) + " bytes"),
            false);
      return;
    }
    if (error == http::error::body_limit) {
      write(error_answer(
                413, "request body larger than " + std::to_string(limits().body_bytes) + " bytes"),
            false);
      return;
    }
    if (error == http::error::end_of_stream || error == beast::error::timeout ||
        error == asio::error::operation_aborted || error == asio::error::connection_reset ||
        error == asio::error::eof) {
      close();
      return;
    }
    if (error) {
      write(error_answer(400, "malformed request: " + error.message()), false);
      return;
    }
    const http::request<http::string_body>& request = parser_->get();
    ++shared_->counters.requests;
    keep_alive_ = request.keep_alive();
    const std::string host(request[http::field::host]);
    if (!host_is_ours(host, shared_->options.names)) {
      write(error_answer(421, "Host \"" + host.substr(0, 64) +
                                  "\" is not a name of this server (--http-name adds one)"),
            false);
      return;
    }
    if (path_of(request.target()) == kStreamPath && request.method() == http::verb::get) {
      become_stream(request);
      return;
    }
    HttpRequest asked;
    // HEAD is answered as GET is, without the body.
    head_ = request.method() == http::verb::head;
    asked.method = head_ ? "GET" : std::string(request.method_string());
    asked.target = std::string(request.target());
    asked.authorization = std::string(request[http::field::authorization]);
    asked.body = request.body();
    asked.origin = origin_;
    shared_->api->answer(asked, shared_->counters, [self = shared_from_this()](HttpAnswer answer) {
      if (!self->closed_) self->write(answer, self->keep_alive_);
    });
  }

  void write(const HttpAnswer& answer, bool keep_alive) {
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(answer.status), 11);
    response->set(http::field::server, "kelvra-host");
    response->set(http::field::content_type, answer.content_type);
    response->set(http::field::cache_control, "no-store");
    response->set("X-Content-Type-Options", "nosniff");
    if (!answer.allow.empty()) response->set(http::field::allow, answer.allow);
    if (answer.authenticate) response->set(http::field::www_authenticate, "Bearer");
    response->keep_alive(keep_alive);
    if (head_) {
      response->content_length(answer.body.size());
    } else {
      response->body() = answer.body;
      response->prepare_payload();
    }
    stream_.expires_after(limits().write_timeout);
    http::async_write(
        stream_, *response,
        [self = shared_from_this(), response, keep_alive](beast::error_code error, std::size_t) {
          if (self->closed_) return;
          if (error || !keep_alive) {
            self->close();
            return;
          }
          self->read();
        });
  }

  void become_stream(const http::request<http::string_body>& request) {
    const std::string query(request.target());
    if (query.find('?') != std::string::npos) {
      write(error_answer(400, "the event stream takes no parameters"), false);
      return;
    }
    if (shared_->counters.stream_clients >= limits().stream_clients) {
      ++shared_->counters.refused_clients;
      write(error_answer(
                503, "event stream full: " + std::to_string(limits().stream_clients) + " clients"),
            false);
      return;
    }
    --shared_->counters.clients;
    ++shared_->counters.stream_clients;
    streaming_ = true;
    stream_.expires_never();
    beast::error_code ignored;
    stream_.socket().set_option(asio::socket_base::send_buffer_size(limits().stream_socket_buffer),
                                ignored);
    header_.emplace(http::status::ok, 11);
    header_->set(http::field::server, "kelvra-host");
    header_->set(http::field::content_type, "text/event-stream");
    header_->set(http::field::cache_control, "no-store");
    header_->keep_alive(false);
    std::string greeting = "retry: 2000\n\n";
    push(std::make_shared<const std::string>(std::move(greeting)));
    // Anything the client sends now, or its closing, ends the stream.
    stream_.socket().async_read_some(
        asio::buffer(discard_),
        [self = shared_from_this()](beast::error_code, std::size_t) { self->close(); });
  }

  void write_event() {
    stream_.expires_after(limits().write_timeout);
    if (header_) {
      // The header first, once; the body has no length and ends when the stream does.
      auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*header_);
      http::async_write_header(
          stream_, *serializer,
          [self = shared_from_this(), serializer](beast::error_code error, std::size_t) {
            if (self->closed_) return;
            self->header_.reset();
            if (error) {
              self->close();
              return;
            }
            self->write_event();
          });
      return;
    }
    asio::async_write(stream_, asio::buffer(*queue_.front()),
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        if (self->closed_) return;
                        if (error) {
                          // A client that took nothing for the write timeout is dropped.
                          if (error == beast::error::timeout)
                            ++self->shared_->counters.dropped_streams;
                          self->close();
                          return;
                        }
                        self->queued_bytes_ -= self->queue_.front()->size();
                        self->queue_.pop_front();
                        if (self->queue_.empty()) {
                          self->stream_.expires_never();
                        } else {
                          self->write_event();
                        }
                      });
  }

  beast::tcp_stream stream_;
  std::shared_ptr<Shared> shared_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::response<http::empty_body>> header_;
  std::string origin_;
  bool keep_alive_ = false;
  bool head_ = false;  // the request in hand is HEAD: its answer goes without its body
  bool streaming_ = false;
  bool closed_ = false;
  std::deque<std::shared_ptr<const std::string>> queue_;
  std::size_t queued_bytes_ = 0;
  char discard_[64];
};

HttpServer::HttpServer(HttpOptions options) : options_(std::move(options)) {}

HttpServer::~HttpServer() {
  stop();
}

void HttpServer::start(run::RunContext& run) {
  run_ = &run;
  shared_ = std::make_shared<Shared>(run.io, options_);
  const std::string& token = options_.token;
  shared_->api = std::make_unique<Api>(run, token, options_.api);
  const std::string where = "--http " + options_.address + ":" + std::to_string(options_.port);
  try {
    const tcp::endpoint endpoint(asio::ip::make_address(options_.address), options_.port);
    shared_->acceptor.open(endpoint.protocol());
    shared_->acceptor.set_option(asio::socket_base::reuse_address(true));
    shared_->acceptor.bind(endpoint);
    shared_->acceptor.listen(asio::socket_base::max_listen_connections);
  } catch (const boost::system::system_error& error) {
    throw run::RunError(where + ": " + error.code().message());
  }
  run.events.subscribe(*this);
  run.console.note(
      "kelvra-host",
      "dashboard on http://" +
          (options_.address.find(':') != std::string::npos ? "[" + options_.address + "]"
                                                           : options_.address) +
          ":" + std::to_string(port()) + "/" + (token.empty() ? "" : ", control over HTTP on"));
  accept();
  keepalive();
}

void HttpServer::stop() {
  if (!shared_) return;
  shared_->stopped = true;
  run_->events.unsubscribe(*this);
  beast::error_code ignored;
  shared_->acceptor.close(ignored);
  shared_->accept_retry.cancel();
  shared_->keepalive.cancel();
  shared_->sessions.close_all();
  // The loop's objects must not outlive the loop: what a handler still holds goes with it.
  shared_.reset();
}

unsigned short HttpServer::port() const {
  if (!shared_) return options_.port;
  beast::error_code error;
  const tcp::endpoint local = shared_->acceptor.local_endpoint(error);
  return error ? options_.port : local.port();
}

void HttpServer::accept() {
  Shared& owner = *shared_;
  hostkit::accept_paced(
      owner.acceptor, owner.accept_retry, owner.accept_pacing, run_->clock,
      [shared = shared_](tcp::socket socket) {
        if (shared->stopped) return;
        auto session = std::make_shared<Session>(std::move(socket), shared);
        if (shared->counters.clients >= shared->options.limits.clients) {
          session->refuse(503,
                          "too many clients: " + std::to_string(shared->options.limits.clients));
        } else {
          session->begin();
        }
      },
      [run = run_](const std::string& text) { run->console.note("kelvra-host", text); },
      "HTTP on port " + std::to_string(port()));
}

void HttpServer::keepalive() {
  shared_->keepalive.expires_after(options_.limits.keepalive);
  shared_->keepalive.async_wait([this, shared = shared_](beast::error_code error) {
    if (error || shared->stopped) return;
    const auto comment = std::make_shared<const std::string>(": keepalive\n\n");
    shared->sessions.for_each([&](Session& session) {
      if (session.streaming()) session.push(comment);
    });
    keepalive();
  });
}

void HttpServer::broadcast(const char* kind, const Json::Value& data) {
  const auto event = std::make_shared<const std::string>(
      std::string("event: ") + kind + "\ndata: " + hostkit::json_text(data) + "\n\n");
  shared_->sessions.for_each([&](Session& session) {
    if (session.streaming()) session.push(event);
  });
}

void HttpServer::round_completed(const station::Station& station) {
  if (shared_->counters.stream_clients == 0) return;
  broadcast("round", shared_->api->round_json(station));
}

void HttpServer::alarm_event(const events::AlarmEvent& event) {
  shared_->api->alarm_seen(event);
  broadcast("alarm", events::event_json(event));
}

void HttpServer::comm_event(const events::CommEvent& event) {
  broadcast("link", events::event_json(event));
}

void HttpServer::control_event(const events::ControlEvent& event) {
  broadcast("control", events::event_json(event));
}

}  // namespace kelvra::web
