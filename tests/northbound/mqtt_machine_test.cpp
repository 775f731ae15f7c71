#include "northbound/mqtt_machine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kelvra::northbound::Keep;
using kelvra::northbound::MachineOptions;
using kelvra::northbound::MachineTime;
using kelvra::northbound::MessageId;
using kelvra::northbound::MqttAction;
using kelvra::northbound::MqttInput;
using kelvra::northbound::MqttMachine;
using kelvra::northbound::MqttState;
using Kind = MqttInput::Kind;

const MachineTime kT0 = MachineTime{} + std::chrono::hours(1);
const std::string kKept = "; rounds are kept in history and sent when it is back";

MqttInput input(Kind kind, std::string reason = {}) {
  MqttInput made{kind};
  made.reason = std::move(reason);
  return made;
}

MqttInput resolved(std::vector<std::string> addresses) {
  MqttInput made{Kind::kResolved};
  made.addresses = std::move(addresses);
  return made;
}

MqttInput message(Kind kind, MessageId id, Keep keep = Keep::kUntilSent) {
  MqttInput made{kind};
  made.message.id = id;
  made.message.keep = keep;
  return made;
}

// One action as a row names it; deadlines in ms after kT0.
std::string text_of(const MqttAction& action) {
  using A = MqttAction::Kind;
  const std::string id = std::to_string(action.message.id);
  switch (action.kind) {
    case A::kResolve:
      return "resolve " + action.text;
    case A::kCancelResolve:
      return "cancel resolve";
    case A::kConnect:
      return "connect " + action.text;
    case A::kCloseSession:
      return action.graceful ? "close graceful" : "close";
    case A::kPublish:
      return "publish " + id;
    case A::kDelivered:
      return "delivered " + id;
    case A::kArmTimer:
      return "timer +" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            action.deadline - kT0)
                                            .count());
    case A::kCancelTimer:
      return "cancel timer";
    case A::kUp:
      return "up";
    case A::kDown:
      return "down";
    case A::kSay:
      return "say " + action.text;
    case A::kDropOldest:
      return "drop " + id;
  }
  return "?";
}

struct Row {
  MqttState from;
  MqttInput input;
  int at_ms;
  MqttState to;
  std::vector<std::string> actions;
};

void play(const MachineOptions& options, const std::vector<Row>& rows) {
  MqttMachine machine(options);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    ASSERT_EQ(machine.state(), row.from) << "row " << i;
    std::vector<std::string> actions;
    for (const MqttAction& action :
         machine.step(row.input, kT0 + std::chrono::milliseconds(row.at_ms))) {
      actions.push_back(text_of(action));
    }
    EXPECT_EQ(actions, row.actions) << "row " << i;
    EXPECT_EQ(machine.state(), row.to) << "row " << i;
  }
}

TEST(MqttMachine, ResolvesConnectsBacksOffAndCarriesItsOutboxOnce) {
  MachineOptions options;
  options.broker = "mqtt://b:1883";
  options.host = "b";
  options.outbox_bound = 2;
  using S = MqttState;
  play(
      options,
      {
          {S::kStopped, input(Kind::kStart), 0, S::kResolving, {"resolve b", "timer +5000"}},
          {S::kResolving, message(Kind::kQueued, 1), 100, S::kResolving, {}},
          {S::kResolving,
           input(Kind::kTimerFired),
           5000,
           S::kBackoff,
           {"cancel resolve",
            "say broker mqtt://b:1883 lost: cannot resolve b: no answer within 5000 ms" + kKept,
            "timer +6000"}},
          // A firing left over from an earlier arming is no deadline.
          {S::kBackoff, input(Kind::kTimerFired), 5999, S::kBackoff, {}},
          {S::kBackoff,
           input(Kind::kTimerFired),
           6000,
           S::kResolving,
           {"resolve b", "timer +11000"}},
          {S::kResolving,
           resolved({"10.0.0.1", "10.0.0.2", "10.0.0.3"}),
           6100,
           S::kConnecting,
           {"cancel timer", "connect 10.0.0.1"}},
          {S::kConnecting,
           input(Kind::kSessionEnded, "connection refused"),
           6200,
           S::kBackoff,
           {"close", "timer +8200"}},
          // The next address before resolving again.
          {S::kBackoff, input(Kind::kTimerFired), 8200, S::kConnecting, {"connect 10.0.0.2"}},
          {S::kConnecting, message(Kind::kQueued, 2, Keep::kSessionOnly), 8300, S::kConnecting, {}},
          {S::kConnecting, message(Kind::kQueued, 3), 8300, S::kConnecting, {}},
          {S::kConnecting,
           message(Kind::kQueued, 4),
           8300,
           S::kConnecting,
           {"say outbox full (2 messages): the oldest are dropped until the broker is back",
            "drop 1"}},
          {S::kConnecting, message(Kind::kQueued, 5), 8300, S::kConnecting, {"drop 3"}},
          {S::kConnecting,
           input(Kind::kAccepted),
           9000,
           S::kConnected,
           {"say broker mqtt://b:1883 back after 4 s; stored rounds follow",
            "say 2 messages dropped while the broker was away", "up", "publish 4", "publish 5"}},
          {S::kConnected,
           message(Kind::kQueued, 6, Keep::kSessionOnly),
           9100,
           S::kConnected,
           {"publish 6"}},
          {S::kConnected, message(Kind::kAcknowledged, 5), 9200, S::kConnected, {"delivered 5"}},
          {S::kConnected, message(Kind::kAcknowledged, 5), 9200, S::kConnected, {}},
          {S::kConnected,
           input(Kind::kSessionEnded, "connection ended: gone"),
           10000,
           S::kBackoff,
           {"close", "down", "say broker mqtt://b:1883 lost: connection ended: gone" + kKept,
            "timer +11000"}},
          // What the ended session held is not acknowledged any more.
          {S::kBackoff, message(Kind::kAcknowledged, 4), 10100, S::kBackoff, {}},
          // Once up, the name is resolved afresh rather than the address left over tried.
          {S::kBackoff,
           input(Kind::kTimerFired),
           11000,
           S::kResolving,
           {"resolve b", "timer +16000"}},
          {S::kResolving,
           resolved({"10.0.0.9"}),
           11100,
           S::kConnecting,
           {"cancel timer", "connect 10.0.0.9"}},
          {S::kConnecting,
           input(Kind::kAccepted),
           11200,
           S::kConnected,
           {"say broker mqtt://b:1883 back after 1 s; stored rounds follow", "up"}},
          {S::kConnected,
           input(Kind::kStop),
           12000,
           S::kStopped,
           {"cancel timer", "close graceful", "down"}},
          {S::kStopped, message(Kind::kQueued, 7), 12100, S::kStopped, {}},
          {S::kStopped, input(Kind::kSessionEnded, "late"), 12100, S::kStopped, {}},
      });
}

TEST(MqttMachine, WithTlsTheNameIsConnectedToAndAFailedLookupIsAFailedAttempt) {
  MachineOptions options;
  options.broker = "mqtts://b:8883";
  options.host = "b";
  options.tls = true;
  using S = MqttState;
  play(options,
       {
           {S::kStopped, input(Kind::kStart), 0, S::kResolving, {"resolve b", "timer +5000"}},
           {S::kResolving,
            input(Kind::kResolveFailed, "Host not found"),
            300,
            S::kBackoff,
            {"say broker mqtts://b:8883 lost: cannot resolve b: Host not found" + kKept,
             "timer +1300"}},
           {S::kBackoff,
            input(Kind::kTimerFired),
            1300,
            S::kResolving,
            {"resolve b", "timer +6300"}},
           {S::kResolving,
            resolved({"10.0.0.1"}),
            1400,
            S::kConnecting,
            {"cancel timer", "connect b"}},
           {S::kConnecting, input(Kind::kStop), 1500, S::kStopped, {"cancel timer", "close"}},
       });
}

}  // namespace
