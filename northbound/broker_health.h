// The health of one broker connection as a lost/restored pair: one line when it is lost, a
// reminder at most every ten minutes while it stays down, one line when it is back; and the
// wait before the next attempt, doubling from one second to a minute.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "hostkit/link_health.h"

namespace kelvra::northbound {

enum class BrokerState { kIdle, kConnecting, kUp, kDown };

enum class BrokerInput {
  kAttempt,    // a connection attempt began
  kConnected,  // the broker accepted the session
  kFailed,     // the attempt failed, the broker refused or an open session ended
};

struct BrokerStep {
  std::optional<std::string> line;                    // what to say, if anything
  std::optional<std::chrono::milliseconds> retry_in;  // after kFailed: when to try again
};

class BrokerHealth {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirstRetry{1000};
  static constexpr std::chrono::milliseconds kLongestRetry{60000};
  static constexpr std::chrono::minutes kReminder{10};

  // `broker` names it in every line ("mqtt://10.0.0.5:1883").
  explicit BrokerHealth(std::string broker) : broker_(std::move(broker)) {}

  // The one transition function; `reason` is the failure's words for kFailed.
  BrokerStep on(BrokerInput input, Clock::time_point now, const std::string& reason = "");
  BrokerState state() const { return state_; }
  // Failed attempts since the broker was last up.
  std::uint32_t failures() const { return failures_; }

 private:
  std::string broker_;
  BrokerState state_ = BrokerState::kIdle;
  std::uint32_t failures_ = 0;
  hostkit::LinkHealth link_{kReminder};
};

}  // namespace kelvra::northbound
