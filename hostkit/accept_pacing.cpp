#include "hostkit/accept_pacing.h"

#include <algorithm>

namespace kelvra::hostkit {

AcceptPacing::Verdict AcceptPacing::step(const boost::system::error_code& error,
                                         Clock::time_point now) {
  if (!error) {
    wait_ = std::chrono::milliseconds(0);
    return {health_.step(LinkHealth::Input::kWorking, now), wait_};
  }
  wait_ = wait_.count() == 0 ? kFirstWait : std::min(wait_ * 2, kLongestWait);
  return {health_.step(LinkHealth::Input::kFailed, now), wait_};
}

std::string accept_pacing_text(const std::string& what, const LinkHealth::Verdict& verdict,
                               const boost::system::error_code& error) {
  const std::string down_for = std::to_string(verdict.down_for.count()) + " s";
  const bool out_of_descriptors = error == boost::system::errc::too_many_files_open ||
                                  error == boost::system::errc::too_many_files_open_in_system;
  const std::string reason =
      out_of_descriptors ? "out of file descriptors (" + error.message() + ")" : error.message();
  switch (verdict.say) {
    case LinkHealth::Say::kNothing:
      return "";
    case LinkHealth::Say::kLost:
      return what + ": cannot accept connections: " + reason + "; retrying up to every " +
             std::to_string(AcceptPacing::kLongestWait.count()) + " ms";
    case LinkHealth::Say::kReminder:
      return what + ": still cannot accept connections after " + down_for + ": " + reason;
    case LinkHealth::Say::kBack:
      return what + ": accepting connections again after " + down_for;
  }
  return "";
}

}  // namespace kelvra::hostkit
