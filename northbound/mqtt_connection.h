// One MQTT client session driven from the run's event loop: libmosquitto does the protocol, the
// loop waits on its socket and calls its read, write and housekeeping steps. Nothing blocks and
// no thread of the library's own runs. A lost session is replaced by a fresh one after the
// backoff of BrokerHealth, so nothing queued in a dead session is sent twice.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "northbound/broker_health.h"

struct mosquitto;
struct mosquitto_message;

namespace kelvra::northbound {

// A session that cannot be set up at all (TLS files, options); the message names what.
class MqttSetupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ConnectionOptions {
  std::string broker;  // the URL, for lines
  std::string host;
  int port = 1883;
  bool tls = false;
  std::string ca_file;  // empty with tls: the system's certificates
  std::string cert_file;
  std::string key_file;
  std::string username;
  std::string password;
  std::string client_id;
  std::chrono::seconds keepalive{30};
  // A host name not resolved within this fails the attempt.
  std::chrono::milliseconds resolve_timeout{5000};
  std::string will_topic;  // retained, QoS 1
  std::string will_payload;
};

struct ConnectionHandlers {
  std::function<void()> up;                // the broker accepted a new session
  std::function<void()> down;              // the session ended; nothing is acknowledged any more
  std::function<void(int mid)> delivered;  // the broker acknowledged the publication
  // `retained`: the broker's stored copy, handed over on subscribing, not a live publication.
  std::function<void(const std::string& topic, const std::string& payload, bool retained)> message;
  std::function<void(const std::string& line)> say;
};

class MqttConnection {
 public:
  // Throws MqttSetupError when the options cannot make a session (checked by a first one).
  MqttConnection(boost::asio::io_context& io, ConnectionOptions options,
                 ConnectionHandlers handlers);
  ~MqttConnection();
  MqttConnection(const MqttConnection&) = delete;
  MqttConnection& operator=(const MqttConnection&) = delete;

  void start();
  // Disconnects cleanly (the will is not sent) and stops trying.
  void stop();

  bool up() const { return up_; }
  // The message id, or nullopt when no session is up; never waits.
  std::optional<int> publish(const std::string& topic, const std::string& payload, int qos,
                             bool retain);
  void subscribe(const std::string& pattern, int qos);
  const BrokerHealth& health() const { return health_; }

 private:
  static void on_connect(mosquitto*, void* self, int rc);
  static void on_disconnect(mosquitto*, void* self, int rc);
  static void on_publish(mosquitto*, void* self, int mid);
  static void on_message(mosquitto*, void* self, const mosquitto_message* message);

  mosquitto* make_session();
  // Resolves the host on the resolver's own thread, then connects; a name that does not resolve
  // within the resolve timeout is a failed attempt.
  void attempt();
  void resolved(const boost::asio::ip::tcp::resolver::results_type& addresses);
  void connect(const std::string& host);
  void wait_readable();
  void wait_writable();
  void housekeeping();
  // Ends the session (whatever state it is in) and schedules the next attempt.
  void fail(const std::string& reason);
  void close_session();
  void step(int rc, const char* what);

  boost::asio::io_context& io_;
  ConnectionOptions options_;
  ConnectionHandlers handlers_;
  BrokerHealth health_;
  mosquitto* session_ = nullptr;
  // A duplicate of the session's socket, so the loop's registration never outlives the library's.
  boost::asio::posix::stream_descriptor socket_;
  boost::asio::ip::tcp::resolver resolver_;
  boost::asio::steady_timer resolve_timer_;
  // Resolved addresses not tried yet: a failed attempt goes on with the next before resolving
  // again.
  std::vector<std::string> addresses_;
  // Expires with the connection, for resolver handlers that may complete after it is gone.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  boost::asio::steady_timer retry_timer_;
  boost::asio::steady_timer misc_timer_;
  bool writing_ = false;
  bool up_ = false;
  bool stopped_ = true;
  std::uint64_t generation_ = 0;  // handlers of an ended session ignore themselves
};

}  // namespace kelvra::northbound
