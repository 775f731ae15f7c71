#include "northbound/broker_health.h"

#include <algorithm>

namespace kelvra::northbound {
namespace {

using LinkInput = hostkit::LinkHealth::Input;
using Say = hostkit::LinkHealth::Say;

}  // namespace

BrokerStep BrokerHealth::on(BrokerInput input, Clock::time_point now, const std::string& reason) {
  BrokerStep step;
  switch (input) {
    case BrokerInput::kAttempt:
      if (state_ == BrokerState::kIdle || state_ == BrokerState::kDown) {
        state_ = BrokerState::kConnecting;
      }
      return step;
    case BrokerInput::kConnected: {
      if (state_ == BrokerState::kUp) return step;
      state_ = BrokerState::kUp;
      const hostkit::LinkHealth::Verdict verdict = link_.step(LinkInput::kWorking, now);
      if (verdict.say == Say::kBack) {
        step.line = "broker " + broker_ + " back after " +
                    std::to_string(verdict.down_for.count()) + " s; stored rounds follow";
      } else if (failures_ == 0) {
        step.line = "connected to broker " + broker_;
      }
      failures_ = 0;
      return step;
    }
    case BrokerInput::kFailed: {
      if (state_ == BrokerState::kIdle) return step;
      state_ = BrokerState::kDown;
      ++failures_;
      const auto doublings = std::min<std::uint32_t>(failures_ - 1, 16);
      step.retry_in = std::min<std::chrono::milliseconds>(
          kLongestRetry, std::chrono::milliseconds(kFirstRetry.count() << doublings));
      const hostkit::LinkHealth::Say say = link_.step(LinkInput::kFailed, now).say;
      if (say == Say::kLost) {
        step.line = "broker " + broker_ + " lost: " + reason +
                    "; rounds are kept in history and sent when it is back";
      } else if (say == Say::kReminder) {
        step.line = "broker " + broker_ + " still unreachable: " + reason + " (" +
                    std::to_string(failures_) + " attempts)";
      }
      return step;
    }
  }
  return step;
}

}  // namespace kelvra::northbound
