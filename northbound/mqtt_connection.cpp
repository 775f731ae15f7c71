#include "northbound/mqtt_connection.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include <boost/asio/post.hpp>

namespace kelvra::northbound {
namespace {

namespace asio = boost::asio;

constexpr auto kHousekeeping = std::chrono::seconds(1);

void initialise_library() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string error_text(int rc) {
  if (rc == MOSQ_ERR_ERRNO)
    return mosquitto_strerror(rc) + std::string(": ") + std::strerror(errno);
  return mosquitto_strerror(rc);
}

}  // namespace

MqttConnection::MqttConnection(asio::io_context& io, ConnectionOptions options,
                               ConnectionHandlers handlers)
    : io_(io),
      options_(std::move(options)),
      handlers_(std::move(handlers)),
      health_(options_.broker),
      socket_(io),
      resolver_(io),
      resolve_timer_(io),
      retry_timer_(io),
      misc_timer_(io) {
  initialise_library();
  mosquitto_destroy(make_session());  // refuses bad options and files now rather than later
}

MqttConnection::~MqttConnection() {
  stop();
  alive_.reset();
}

mosquitto* MqttConnection::make_session() {
  mosquitto* session = mosquitto_new(options_.client_id.c_str(), true, this);
  if (session == nullptr)
    throw MqttSetupError("cannot make an MQTT session: " + error_text(MOSQ_ERR_ERRNO));
  const auto check = [&](int rc, const std::string& what) {
    if (rc == MOSQ_ERR_SUCCESS) return;
    mosquitto_destroy(session);
    throw MqttSetupError(what + ": " + error_text(rc));
  };
  check(mosquitto_int_option(session, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311),
        "protocol version");
  if (!options_.username.empty()) {
    check(
        mosquitto_username_pw_set(session, options_.username.c_str(),
                                  options_.password.empty() ? nullptr : options_.password.c_str()),
        "user name");
  }
  if (options_.tls) {
    check(
        mosquitto_tls_set(session, options_.ca_file.empty() ? nullptr : options_.ca_file.c_str(),
                          options_.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
                          options_.cert_file.empty() ? nullptr : options_.cert_file.c_str(),
                          options_.key_file.empty() ? nullptr : options_.key_file.c_str(), nullptr),
        "TLS files (ca_file, cert_file, key_file)");
  }
  if (!options_.will_topic.empty()) {
    check(mosquitto_will_set(session, options_.will_topic.c_str(),
                             static_cast<int>(options_.will_payload.size()),
                             options_.will_payload.data(), 1, true),
          "last will");
  }
  mosquitto_connect_callback_set(session, &MqttConnection::on_connect);
  mosquitto_disconnect_callback_set(session, &MqttConnection::on_disconnect);
  mosquitto_publish_callback_set(session, &MqttConnection::on_publish);
  mosquitto_message_callback_set(session, &MqttConnection::on_message);
  return session;
}

void MqttConnection::start() {
  stopped_ = false;
  attempt();
  housekeeping();
}

void MqttConnection::stop() {
  if (stopped_) return;
  stopped_ = true;
  retry_timer_.cancel();
  misc_timer_.cancel();
  resolve_timer_.cancel();
  resolver_.cancel();
  if (session_ != nullptr && up_) {
    mosquitto_disconnect(session_);
    mosquitto_loop_write(session_, 1);  // the DISCONNECT, so the broker keeps the will back
  }
  close_session();
}

void MqttConnection::attempt() {
  if (stopped_) return;
  health_.on(BrokerInput::kAttempt, BrokerHealth::Clock::now());
  if (!addresses_.empty()) {
    const std::string next = addresses_.front();
    addresses_.erase(addresses_.begin());
    connect(next);
    return;
  }
  const std::uint64_t generation = ++generation_;
  resolve_timer_.expires_after(options_.resolve_timeout);
  resolve_timer_.async_wait([this, generation](const boost::system::error_code& error) {
    if (error || generation != generation_) return;
    resolver_.cancel();
    fail("cannot resolve " + options_.host + ": no answer within " +
         std::to_string(options_.resolve_timeout.count()) + " ms");
  });
  resolver_.async_resolve(options_.host, std::to_string(options_.port),
                          [this, generation, alive = std::weak_ptr<int>(alive_)](
                              const boost::system::error_code& error,
                              const asio::ip::tcp::resolver::results_type& addresses) {
                            if (alive.expired() || error == asio::error::operation_aborted) return;
                            if (generation != generation_ || stopped_) return;
                            resolve_timer_.cancel();
                            if (error) {
                              fail("cannot resolve " + options_.host + ": " + error.message());
                              return;
                            }
                            resolved(addresses);
                          });
}

void MqttConnection::resolved(const asio::ip::tcp::resolver::results_type& addresses) {
  if (options_.tls) {
    // The library checks the broker's certificate against the name it connects to and has no
    // way to connect to an address while checking a name, so with TLS it is given the name and
    // resolves it once more; that follows an answer just received, which the system's resolver
    // usually still holds.
    connect(options_.host);
    return;
  }
  for (const auto& entry : addresses) addresses_.push_back(entry.endpoint().address().to_string());
  if (addresses_.empty()) {
    fail("cannot resolve " + options_.host + ": no address");
    return;
  }
  const std::string first = addresses_.front();
  addresses_.erase(addresses_.begin());
  connect(first);
}

void MqttConnection::connect(const std::string& host) {
  session_ = make_session();
  const int rc = mosquitto_connect_async(session_, host.c_str(), options_.port,
                                         static_cast<int>(options_.keepalive.count()));
  if (rc != MOSQ_ERR_SUCCESS) {
    fail(error_text(rc));
    return;
  }
  const int fd = mosquitto_socket(session_);
  const int own = fd < 0 ? -1 : dup(fd);
  if (own < 0) {
    fail("no socket");
    return;
  }
  socket_.assign(own);
  ++generation_;
  writing_ = false;
  wait_readable();
  wait_writable();
}

void MqttConnection::wait_readable() {
  socket_.async_wait(asio::posix::descriptor_base::wait_read,
                     [this, generation = generation_](const boost::system::error_code& error) {
                       if (error || generation != generation_ || session_ == nullptr) return;
                       step(mosquitto_loop_read(session_, 1), "read");
                       if (generation != generation_) return;
                       wait_readable();
                       wait_writable();
                     });
}

void MqttConnection::wait_writable() {
  if (writing_ || session_ == nullptr || !mosquitto_want_write(session_)) return;
  writing_ = true;
  socket_.async_wait(asio::posix::descriptor_base::wait_write,
                     [this, generation = generation_](const boost::system::error_code& error) {
                       if (error || generation != generation_ || session_ == nullptr) return;
                       writing_ = false;
                       step(mosquitto_loop_write(session_, 1), "write");
                       if (generation != generation_) return;
                       wait_writable();
                     });
}

void MqttConnection::housekeeping() {
  if (stopped_) return;
  if (session_ != nullptr && socket_.is_open()) {
    const std::uint64_t generation = generation_;
    step(mosquitto_loop_misc(session_), "keep-alive");
    if (generation == generation_) wait_writable();
  }
  misc_timer_.expires_after(kHousekeeping);
  misc_timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) housekeeping();
  });
}

void MqttConnection::step(int rc, const char* what) {
  if (rc == MOSQ_ERR_SUCCESS || session_ == nullptr) return;
  if (rc == MOSQ_ERR_CONN_REFUSED) return;  // on_connect said why and ended the session
  fail(std::string(what) + ": " + error_text(rc));
}

void MqttConnection::close_session() {
  ++generation_;
  boost::system::error_code ignored;
  if (socket_.is_open()) socket_.close(ignored);
  writing_ = false;
  if (session_ != nullptr) {
    mosquitto* ended = session_;
    session_ = nullptr;
    mosquitto_destroy(ended);
  }
  if (up_) {
    up_ = false;
    if (handlers_.down) handlers_.down();
  }
}

void MqttConnection::fail(const std::string& reason) {
  if (session_ == nullptr && !up_ && stopped_) return;
  close_session();
  const BrokerStep next = health_.on(BrokerInput::kFailed, BrokerHealth::Clock::now(), reason);
  if (next.line && handlers_.say) handlers_.say(*next.line);
  if (stopped_ || !next.retry_in) return;
  retry_timer_.expires_after(*next.retry_in);
  retry_timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) attempt();
  });
}

std::optional<int> MqttConnection::publish(const std::string& topic, const std::string& payload,
                                           int qos, bool retain) {
  if (!up_ || session_ == nullptr) return std::nullopt;
  int mid = 0;
  const int rc = mosquitto_publish(session_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    asio::post(io_, [this, generation = generation_, rc] {
      if (generation == generation_) fail("publish: " + error_text(rc));
    });
    return std::nullopt;
  }
  wait_writable();
  return mid;
}

void MqttConnection::subscribe(const std::string& pattern, int qos) {
  if (!up_ || session_ == nullptr) return;
  if (mosquitto_subscribe(session_, nullptr, pattern.c_str(), qos) == MOSQ_ERR_SUCCESS) {
    wait_writable();
  }
}

void MqttConnection::on_connect(mosquitto*, void* self, int rc) {
  auto& connection = *static_cast<MqttConnection*>(self);
  if (connection.session_ == nullptr) return;
  if (rc != 0) {
    // Leave the session's own stack before destroying it.
    asio::post(connection.io_, [&connection, generation = connection.generation_, rc] {
      if (generation == connection.generation_) {
        connection.fail(std::string("refused: ") + mosquitto_connack_string(rc));
      }
    });
    return;
  }
  connection.up_ = true;
  connection.addresses_.clear();  // a later loss resolves the name afresh
  const BrokerStep step =
      connection.health_.on(BrokerInput::kConnected, BrokerHealth::Clock::now());
  if (step.line && connection.handlers_.say) connection.handlers_.say(*step.line);
  if (connection.handlers_.up) connection.handlers_.up();
}

void MqttConnection::on_disconnect(mosquitto*, void* self, int rc) {
  auto& connection = *static_cast<MqttConnection*>(self);
  if (connection.stopped_ || connection.session_ == nullptr) return;
  asio::post(connection.io_, [&connection, generation = connection.generation_, rc] {
    if (generation == connection.generation_) {
      connection.fail(rc == 0 ? "disconnected" : "connection ended: " + error_text(rc));
    }
  });
}

void MqttConnection::on_publish(mosquitto*, void* self, int mid) {
  auto& connection = *static_cast<MqttConnection*>(self);
  if (connection.handlers_.delivered) connection.handlers_.delivered(mid);
}

void MqttConnection::on_message(mosquitto*, void* self, const mosquitto_message* message) {
  auto& connection = *static_cast<MqttConnection*>(self);
  if (!connection.handlers_.message || message->topic == nullptr) return;
  const auto* bytes = static_cast<const char*>(message->payload);
  connection.handlers_.message(message->topic,
                               std::string(bytes, bytes + (bytes ? message->payloadlen : 0)),
                               message->retain);
}

}  // namespace kelvra::northbound
