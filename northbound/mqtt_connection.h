// One MQTT client session driven from the run's event loop: MqttMachine decides, libmosquitto
// does the protocol, the loop waits on its socket and calls its read, write and housekeeping
// steps. Nothing blocks and no thread of the library's own runs. A lost session is replaced by a
// fresh one after the machine's backoff, so nothing handed to a dead session is sent twice.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "hostkit/machine_inbox.h"
#include "hostkit/name_lookup.h"
#include "hostkit/turn_clock.h"
#include "northbound/mqtt_machine.h"

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
  // Messages kept while no session is up; the oldest goes when one more comes.
  std::size_t outbox_bound = 256;
};

struct ConnectionHandlers {
  std::function<void()> up;    // the broker accepted a new session
  std::function<void()> down;  // the session ended; nothing is acknowledged any more
  std::function<void(MessageId id)> delivered;  // the broker acknowledged the publication
  // `retained`: the broker's stored copy, handed over on subscribing, not a live publication.
  std::function<void(const std::string& topic, const std::string& payload, bool retained)> message;
  std::function<void(const std::string& line)> say;
};

class MqttConnection {
 public:
  // Throws MqttSetupError when the options cannot make a session (checked by a first one).
  MqttConnection(boost::asio::io_context& io, ConnectionOptions options,
                 ConnectionHandlers handlers, const hostkit::TurnClock& clock);
  ~MqttConnection();
  MqttConnection(const MqttConnection&) = delete;
  MqttConnection& operator=(const MqttConnection&) = delete;

  void start();
  // Disconnects cleanly (the will is not sent) and stops trying; the outbox is dropped.
  void stop();

  bool up() const { return machine_.state() == MqttState::kConnected; }
  // Handed to the session at once when it is up, else kept in the outbox until one is; the id
  // comes back through `delivered` once the broker acknowledged it. Never waits.
  MessageId publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                    Keep keep = Keep::kUntilSent);
  void subscribe(const std::string& pattern, int qos);

 private:
  static void on_connect(mosquitto*, void* self, int rc);
  static void on_disconnect(mosquitto*, void* self, int rc);
  static void on_publish(mosquitto*, void* self, int mid);
  static void on_message(mosquitto*, void* self, const mosquitto_message* message);

  // Inputs that arrive while actions are carried out wait their turn, so that the machine never
  // steps inside its own step.
  void feed(MqttInput input);
  void feed_session_ended(std::string reason);
  void carry_out(MqttAction& action);
  // What the library reports from inside its own calls is taken up on a later turn of the loop,
  // so that the session is never destroyed under its own stack; dropped once that session ended.
  template <class Work>
  void later_in_session(Work work);
  mosquitto* make_session();
  // Resolves on the resolver's own thread; the answer comes back as an input.
  void resolve(const std::string& host);
  void connect(const std::string& host);
  void publish_now(const OutMessage& message);
  void close_session(bool graceful);
  void arm_timer(MachineTime deadline);
  void wait_readable();
  void wait_writable();
  void housekeeping();
  void check(int rc, const char* what);

  boost::asio::io_context& io_;
  ConnectionOptions options_;
  ConnectionHandlers handlers_;
  const hostkit::TurnClock& clock_;  // the loop turn's time
  MqttMachine machine_;
  mosquitto* session_ = nullptr;
  // A duplicate of the session's socket, so the loop's registration never outlives the library's.
  boost::asio::posix::stream_descriptor socket_;
  hostkit::NameLookups lookups_;  // answers dropped once this connection is gone
  boost::asio::steady_timer timer_;
  boost::asio::steady_timer misc_timer_;
  // Expires with the connection, for handlers that may complete after it is gone.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::map<int, MessageId> ids_;  // the session's message ids to ours
  MessageId last_id_ = 0;
  hostkit::MachineInbox<MqttInput> inbox_;
  bool writing_ = false;
  std::uint64_t generation_ = 0;  // handlers of an ended session or resolve ignore themselves
};

}  // namespace kelvra::northbound
