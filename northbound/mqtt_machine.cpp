#include "northbound/mqtt_machine.h"

namespace kelvra::northbound {
namespace {

using Kind = MqttAction::Kind;

}  // namespace

const char* to_string(MqttState state) {
  switch (state) {
    case MqttState::kStopped:
      return "stopped";
    case MqttState::kResolving:
      return "resolving";
    case MqttState::kConnecting:
      return "connecting";
    case MqttState::kConnected:
      return "connected";
    case MqttState::kBackoff:
      return "backoff";
  }
  return "?";
}

MqttMachine::MqttMachine(MachineOptions options)
    : options_(std::move(options)), health_(options_.broker) {}

std::vector<MqttAction> MqttMachine::step(MqttInput input, MachineTime now) {
  actions_.clear();
  now_ = now;
  switch (input.kind) {
    case MqttInput::Kind::kStart:
      start();
      break;
    case MqttInput::Kind::kStop:
      stop();
      break;
    case MqttInput::Kind::kResolved:
      if (state_ == MqttState::kResolving) resolved(std::move(input.addresses));
      break;
    case MqttInput::Kind::kResolveFailed:
      if (state_ == MqttState::kResolving)
        failed("cannot resolve " + options_.host + ": " + input.reason);
      break;
    case MqttInput::Kind::kAccepted:
      if (state_ == MqttState::kConnecting) accepted();
      break;
    case MqttInput::Kind::kSessionEnded:
      if (state_ == MqttState::kConnecting || state_ == MqttState::kConnected) failed(input.reason);
      break;
    case MqttInput::Kind::kAcknowledged:
      acknowledged(input.message.id);
      break;
    case MqttInput::Kind::kTimerFired:
      if (now >= deadline_) timer_fired();
      break;
    case MqttInput::Kind::kQueued:
      queue(std::move(input.message));
      break;
  }
  return std::move(actions_);
}

void MqttMachine::start() {
  if (state_ != MqttState::kStopped) return;
  attempt();
}

void MqttMachine::stop() {
  if (state_ == MqttState::kStopped) return;
  act(Kind::kCancelTimer);
  if (state_ == MqttState::kResolving) act(Kind::kCancelResolve);
  if (state_ == MqttState::kConnecting || state_ == MqttState::kConnected) {
    act(Kind::kCloseSession);
    actions_.back().graceful = state_ == MqttState::kConnected;
  }
  if (state_ == MqttState::kConnected) act(Kind::kDown);
  addresses_.clear();
  outbox_.clear();
  in_flight_.clear();
  state_ = MqttState::kStopped;
}

void MqttMachine::attempt() {
  health_.on(BrokerInput::kAttempt, now_);
  if (!addresses_.empty()) {
    connect_next();
    return;
  }
  state_ = MqttState::kResolving;
  act(Kind::kResolve, options_.host);
  arm_timer(now_ + options_.resolve_timeout);
}

void MqttMachine::resolved(std::vector<std::string> addresses) {
  act(Kind::kCancelTimer);
  if (options_.tls) {
    // The session checks the broker's certificate against the name it connects to and cannot
    // connect to an address while checking a name, so with TLS it is given the name and resolves
    // it once more, just after an answer the system's resolver usually still holds.
    addresses_ = {options_.host};
  } else {
    addresses_.assign(addresses.begin(), addresses.end());
  }
  if (addresses_.empty()) {
    failed("cannot resolve " + options_.host + ": no address");
    return;
  }
  connect_next();
}

void MqttMachine::connect_next() {
  state_ = MqttState::kConnecting;
  act(Kind::kConnect, addresses_.front());
  addresses_.pop_front();
}

void MqttMachine::accepted() {
  state_ = MqttState::kConnected;
  addresses_.clear();
  say(health_.on(BrokerInput::kConnected, now_));
  if (dropped_ > 0) {
    act(Kind::kSay, std::to_string(dropped_) + " messages dropped while the broker was away");
    dropped_ = 0;
  }
  act(Kind::kUp);
  while (!outbox_.empty()) {
    publish(std::move(outbox_.front()));
    outbox_.pop_front();
  }
}

void MqttMachine::failed(const std::string& reason) {
  if (state_ == MqttState::kConnecting || state_ == MqttState::kConnected) {
    act(Kind::kCloseSession);
  }
  if (state_ == MqttState::kConnected) act(Kind::kDown);
  in_flight_.clear();
  state_ = MqttState::kBackoff;
  const BrokerStep next = health_.on(BrokerInput::kFailed, now_, reason);
  say(next);
  arm_timer(now_ + next.retry_in.value_or(BrokerHealth::kFirstRetry));
}

void MqttMachine::timer_fired() {
  if (state_ == MqttState::kBackoff) {
    attempt();
  } else if (state_ == MqttState::kResolving) {
    act(Kind::kCancelResolve);
    failed("cannot resolve " + options_.host + ": no answer within " +
           std::to_string(options_.resolve_timeout.count()) + " ms");
  }
}

void MqttMachine::queue(OutMessage message) {
  if (state_ == MqttState::kStopped) return;
  if (state_ == MqttState::kConnected) {
    publish(std::move(message));
    return;
  }
  if (message.keep == Keep::kSessionOnly) return;
  if (outbox_.size() >= options_.outbox_bound) {
    if (dropped_ == 0) {
      act(Kind::kSay, "outbox full (" + std::to_string(options_.outbox_bound) +
                          " messages): the oldest are dropped until the broker is back");
    }
    act(Kind::kDropOldest);
    actions_.back().message.id = outbox_.front().id;
    outbox_.pop_front();
    ++dropped_;
  }
  outbox_.push_back(std::move(message));
}

void MqttMachine::publish(OutMessage message) {
  in_flight_.insert(message.id);
  act(Kind::kPublish);
  actions_.back().message = std::move(message);
}

void MqttMachine::acknowledged(MessageId id) {
  if (in_flight_.erase(id) == 0) return;  // of an ended session, or unknown
  act(Kind::kDelivered);
  actions_.back().message.id = id;
}

void MqttMachine::arm_timer(MachineTime deadline) {
  deadline_ = deadline;
  act(Kind::kArmTimer);
  actions_.back().deadline = deadline;
}

void MqttMachine::say(const BrokerStep& step) {
  if (step.line) act(Kind::kSay, *step.line);
}

void MqttMachine::act(MqttAction::Kind kind, std::string text) {
  actions_.push_back(MqttAction{kind, std::move(text)});
}

}  // namespace kelvra::northbound
