// One broker connection and its outbox as a state machine, without I/O: the broker's name
// resolved (within a deadline), its addresses tried in turn, the session accepted or lost, the
// backoff before the next attempt, and the messages waiting for a session. step() takes what
// happened and returns what to do; MqttConnection carries that out with libmosquitto.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "northbound/broker_health.h"

namespace kelvra::northbound {

using MachineClock = std::chrono::steady_clock;
using MachineTime = MachineClock::time_point;
using MessageId = std::uint64_t;

// What becomes of a message asked for while no session is up.
enum class Keep {
  kUntilSent,    // waits in the outbox for the next session
  kSessionOnly,  // dropped: its sender sends it again itself when a session is up
};

struct OutMessage {
  MessageId id = 0;  // given by the caller, unique for the connection's life
  std::string topic;
  std::string payload;
  int qos = 1;
  bool retain = false;
  Keep keep = Keep::kUntilSent;
};

struct MachineOptions {
  std::string broker;  // the URL, for lines
  std::string host;    // the name to resolve
  bool tls = false;    // connect by name (the certificate is checked against it)
  std::chrono::milliseconds resolve_timeout{5000};
  // Messages kept while no session is up; the oldest goes when one more comes.
  std::size_t outbox_bound = 256;
};

enum class MqttState {
  kStopped,     // not started, or stopped
  kResolving,   // the broker's name is being resolved, until the resolve deadline
  kConnecting,  // a session is connecting to one address, until the broker accepts or it fails
  kConnected,   // the broker accepted the session
  kBackoff,     // the last attempt failed; the next begins when the timer fires
};
const char* to_string(MqttState state);

struct MqttInput {
  enum class Kind {
    kStart,
    kStop,
    kResolved,       // addresses (unused with TLS: the name is connected to)
    kResolveFailed,  // reason
    kAccepted,       // the broker accepted the session (CONNACK 0)
    kSessionEnded,   // reason: connecting failed, the broker refused, or the session broke
    kAcknowledged,   // message: the broker acknowledged the message with that id
    kTimerFired,
    kQueued,  // message
  };
  Kind kind;
  std::string reason{};
  std::vector<std::string> addresses{};
  OutMessage message{};
};

struct MqttAction {
  enum class Kind {
    kResolve,        // text: the name; answered by kResolved or kResolveFailed
    kCancelResolve,  // the resolve under way is abandoned
    kConnect,        // text: the address (or with TLS the name) a new session connects to
    kCloseSession,   // the session ends; graceful: say DISCONNECT first, so the will is kept back
    kPublish,        // message: handed to the session
    kDelivered,      // message.id: the broker acknowledged it
    kArmTimer,       // deadline: the one timer fires then (replacing any earlier arming)
    kCancelTimer,
    kUp,          // the session is up
    kDown,        // the session that was up ended; nothing of it is acknowledged any more
    kSay,         // text: a line (lost, reminder, back, outbox full)
    kDropOldest,  // message.id: the outbox was full, its oldest message is gone
  };
  Kind kind;
  std::string text{};
  OutMessage message{};
  MachineTime deadline{};
  bool graceful = false;
};

class MqttMachine {
 public:
  explicit MqttMachine(MachineOptions options);

  // The one transition function.
  std::vector<MqttAction> step(MqttInput input, MachineTime now);

  MqttState state() const { return state_; }
  std::size_t outbox_size() const { return outbox_.size(); }

 private:
  void start();
  void stop();
  void attempt();
  void resolved(std::vector<std::string> addresses);
  void connect_next();
  void accepted();
  void failed(const std::string& reason);
  void timer_fired();
  void queue(OutMessage message);
  void acknowledged(MessageId id);
  void arm_timer(MachineTime deadline);
  void publish(OutMessage message);
  void say(const BrokerStep& step);
  void act(MqttAction::Kind kind, std::string text = {});

  MachineOptions options_;
  MqttState state_ = MqttState::kStopped;
  BrokerHealth health_;
  // Resolved addresses not tried yet: a failed attempt goes on with the next before resolving
  // again; cleared once a session is up, so a later loss resolves the name afresh.
  std::deque<std::string> addresses_;
  std::deque<OutMessage> outbox_;    // waiting for a session, oldest first
  std::set<MessageId> in_flight_;    // handed to the session that is up, not acknowledged
  std::uint64_t dropped_ = 0;        // outbox messages dropped since the session was last up
  MachineTime deadline_{};           // of the timer armed last; an earlier firing is stale
  std::vector<MqttAction> actions_;  // of the step under way
  MachineTime now_{};                // of the step under way
};

}  // namespace kelvra::northbound
