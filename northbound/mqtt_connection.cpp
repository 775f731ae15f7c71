#include "northbound/mqtt_connection.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include <boost/asio/post.hpp>

#include "northbound/mqtt_reason.h"

namespace kelvra::northbound {
namespace {

namespace asio = boost::asio;

constexpr auto kHousekeeping = std::chrono::seconds(1);

void initialise_library() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string error_text(int rc) {
  return mqtt_error_text(rc, errno);
}

MachineOptions machine_options(const ConnectionOptions& options) {
  MachineOptions machine;
  machine.broker = options.broker;
  machine.host = options.host;
  machine.tls = options.tls;
  machine.resolve_timeout = options.resolve_timeout;
  machine.outbox_bound = options.outbox_bound;
  return machine;
}

}  // namespace

MqttConnection::MqttConnection(asio::io_context& io, ConnectionOptions options,
                               ConnectionHandlers handlers, const hostkit::TurnClock& clock)
    : io_(io),
      options_(std::move(options)),
      handlers_(std::move(handlers)),
      clock_(clock),
      machine_(machine_options(options_)),
      socket_(io),
      lookups_(io),
      timer_(io),
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
  feed(MqttInput{MqttInput::Kind::kStart});
  housekeeping();
}

void MqttConnection::stop() {
  misc_timer_.cancel();
  feed(MqttInput{MqttInput::Kind::kStop});
}

MessageId MqttConnection::publish(const std::string& topic, const std::string& payload, int qos,
                                  bool retain, Keep keep) {
  MqttInput input{MqttInput::Kind::kQueued};
  input.message = OutMessage{++last_id_, topic, payload, qos, retain, keep};
  feed(std::move(input));
  return last_id_;
}

void MqttConnection::subscribe(const std::string& pattern, int qos) {
  if (!up() || session_ == nullptr) return;
  if (mosquitto_subscribe(session_, nullptr, pattern.c_str(), qos) == MOSQ_ERR_SUCCESS) {
    wait_writable();
  }
}

void MqttConnection::feed(MqttInput input) {
  inbox_.feed(std::move(input), [this](MqttInput next) {
    for (MqttAction& action : machine_.step(std::move(next), clock_.steady())) {
      carry_out(action);
    }
  });
}

void MqttConnection::feed_session_ended(std::string reason) {
  MqttInput input{MqttInput::Kind::kSessionEnded};
  input.reason = std::move(reason);
  feed(std::move(input));
}

void MqttConnection::carry_out(MqttAction& action) {
  switch (action.kind) {
    case MqttAction::Kind::kResolve:
      resolve(action.text);
      break;
    case MqttAction::Kind::kCancelResolve:
      ++generation_;  // the lookup's answer, when it comes, is not taken
      break;
    case MqttAction::Kind::kConnect:
      connect(action.text);
      break;
    case MqttAction::Kind::kCloseSession:
      close_session(action.graceful);
      break;
    case MqttAction::Kind::kPublish:
      publish_now(action.message);
      break;
    case MqttAction::Kind::kDelivered:
      if (handlers_.delivered) handlers_.delivered(action.message.id);
      break;
    case MqttAction::Kind::kArmTimer:
      arm_timer(action.deadline);
      break;
    case MqttAction::Kind::kCancelTimer:
      timer_.cancel();
      break;
    case MqttAction::Kind::kUp:
      if (handlers_.up) handlers_.up();
      break;
    case MqttAction::Kind::kDown:
      if (handlers_.down) handlers_.down();
      break;
    case MqttAction::Kind::kSay:
      if (handlers_.say) handlers_.say(action.text);
      break;
    case MqttAction::Kind::kDropOldest:
      break;  // the machine said so once; the caller keeps nothing by id
  }
}

template <class Work>
void MqttConnection::later_in_session(Work work) {
  asio::post(io_, [this, generation = generation_, alive = std::weak_ptr<int>(alive_),
                   work = std::move(work)]() mutable {
    if (!alive.expired() && generation == generation_ && session_ != nullptr) work();
  });
}

void MqttConnection::resolve(const std::string& host) {
  lookups_.lookup(host, std::to_string(options_.port),
                  [this, generation = generation_](hostkit::LookupResult found) {
                    if (generation != generation_) return;
                    MqttInput input{found.found() ? MqttInput::Kind::kResolved
                                                  : MqttInput::Kind::kResolveFailed};
                    input.reason = std::move(found.reason);
                    input.addresses = std::move(found.addresses);
                    feed(std::move(input));
                  });
}

void MqttConnection::connect(const std::string& host) {
  try {
    session_ = make_session();
  } catch (const MqttSetupError& error) {
    // A TLS file gone since the start: this attempt failed, the next may work.
    feed_session_ended(error.what());
    return;
  }
  ++generation_;
  writing_ = false;
  const int rc = mosquitto_connect_async(session_, host.c_str(), options_.port,
                                         static_cast<int>(options_.keepalive.count()));
  if (rc != MOSQ_ERR_SUCCESS) {
    feed_session_ended(error_text(rc));
    return;
  }
  const int fd = mosquitto_socket(session_);
  const int own = fd < 0 ? -1 : dup(fd);
  if (own < 0) {
    feed_session_ended("no socket");
    return;
  }
  socket_.assign(own);
  wait_readable();
  wait_writable();
}

void MqttConnection::publish_now(const OutMessage& message) {
  if (session_ == nullptr) return;
  int mid = 0;
  const int rc = mosquitto_publish(session_, &mid, message.topic.c_str(),
                                   static_cast<int>(message.payload.size()), message.payload.data(),
                                   message.qos, message.retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    feed_session_ended("publish: " + error_text(rc));
    return;
  }
  ids_[mid] = message.id;
  wait_writable();
}

void MqttConnection::close_session(bool graceful) {
  ++generation_;
  if (session_ != nullptr && graceful) {
    mosquitto_disconnect(session_);
    mosquitto_loop_write(session_, 1);  // the DISCONNECT, so the broker keeps the will back
  }
  boost::system::error_code ignored;
  if (socket_.is_open()) socket_.close(ignored);
  writing_ = false;
  ids_.clear();
  if (session_ != nullptr) {
    mosquitto* ended = session_;
    session_ = nullptr;
    mosquitto_destroy(ended);
  }
}

void MqttConnection::arm_timer(MachineTime deadline) {
  timer_.expires_at(deadline);
  timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) feed(MqttInput{MqttInput::Kind::kTimerFired});
  });
}

void MqttConnection::wait_readable() {
  socket_.async_wait(asio::posix::descriptor_base::wait_read,
                     [this, generation = generation_](const boost::system::error_code& error) {
                       if (error || generation != generation_ || session_ == nullptr) return;
                       check(mosquitto_loop_read(session_, 1), "read");
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
                       check(mosquitto_loop_write(session_, 1), "write");
                       if (generation != generation_) return;
                       wait_writable();
                     });
}

void MqttConnection::housekeeping() {
  if (machine_.state() == MqttState::kStopped) return;
  if (session_ != nullptr && socket_.is_open()) {
    const std::uint64_t generation = generation_;
    check(mosquitto_loop_misc(session_), "keep-alive");
    if (generation == generation_) wait_writable();
  }
  misc_timer_.expires_after(kHousekeeping);
  misc_timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) housekeeping();
  });
}

void MqttConnection::check(int rc, const char* what) {
  if (rc == MOSQ_ERR_SUCCESS || session_ == nullptr) return;
  if (rc == MOSQ_ERR_CONN_REFUSED) return;  // on_connect said why
  feed_session_ended(std::string(what) + ": " + error_text(rc));
}

void MqttConnection::on_connect(mosquitto*, void* self, int rc) {
  auto& connection = *static_cast<MqttConnection*>(self);
  connection.later_in_session([&connection, rc] {
    if (rc == 0) {
      connection.feed(MqttInput{MqttInput::Kind::kAccepted});
    } else {
      connection.feed_session_ended(std::string("refused: ") + mosquitto_connack_string(rc));
    }
  });
}

void MqttConnection::on_disconnect(mosquitto*, void* self, int rc) {
  auto& connection = *static_cast<MqttConnection*>(self);
  std::string reason = rc == 0 ? "disconnected" : "connection ended: " + error_text(rc);
  connection.later_in_session([&connection, reason = std::move(reason)]() mutable {
    connection.feed_session_ended(std::move(reason));
  });
}

void MqttConnection::on_publish(mosquitto*, void* self, int mid) {
  auto& connection = *static_cast<MqttConnection*>(self);
  connection.later_in_session([&connection, mid] {
    const auto sent = connection.ids_.find(mid);
    if (sent == connection.ids_.end()) return;
    MqttInput input{MqttInput::Kind::kAcknowledged};
    input.message.id = sent->second;
    connection.ids_.erase(sent);
    connection.feed(std::move(input));
  });
}

void MqttConnection::on_message(mosquitto*, void* self, const mosquitto_message* message) {
  auto& connection = *static_cast<MqttConnection*>(self);
  if (!connection.handlers_.message || message->topic == nullptr) return;
  const auto* bytes = static_cast<const char*>(message->payload);
  // A request received is answered even when its session ends meanwhile: the answer waits in the
  // outbox.
  asio::post(connection.io_,
             [&connection, alive = std::weak_ptr<int>(connection.alive_),
              topic = std::string(message->topic),
              payload = std::string(bytes, bytes + (bytes ? message->payloadlen : 0)),
              retained = message->retain] {
               if (!alive.expired()) connection.handlers_.message(topic, payload, retained);
             });
}

}  // namespace kelvra::northbound
