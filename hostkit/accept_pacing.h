// A listening socket that keeps accepting when accepting fails, as when the process has run out
// of descriptors: each retry waits, 100 ms doubling up to 1 s, instead of retrying at once or
// giving up; the failure is said once and the recovery once.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "hostkit/link_health.h"
#include "hostkit/turn_clock.h"

namespace kelvra::hostkit {

class AcceptPacing {
 public:
  using Clock = LinkHealth::Clock;
  static constexpr std::chrono::milliseconds kFirstWait{100};
  static constexpr std::chrono::milliseconds kLongestWait{1000};
  static constexpr std::chrono::milliseconds kReminder{60000};

  struct Verdict {
    LinkHealth::Verdict health;         // what to say: the failure, a reminder, the recovery
    std::chrono::milliseconds wait{0};  // before the next accept
  };

  // The one transition: an accept ended with `error` (none: a connection was taken).
  Verdict step(const boost::system::error_code& error, Clock::time_point now);

 private:
  LinkHealth health_{kReminder};
  std::chrono::milliseconds wait_{0};
};

// The words of a verdict for the listener `what` ("HTTP on port 8080"); empty when there is
// nothing to say.
std::string accept_pacing_text(const std::string& what, const LinkHealth::Verdict& verdict,
                               const boost::system::error_code& error);

// Accepts on `acceptor` until it is closed, handing each socket to `take`; after a failure waits
// on `timer` as `pacing` says and tells `say` what there is to say about the listener `what`. The
// acceptor, the timer, the pacing and the clock must outlive the accepting: `take` may hold what
// owns them.
template <typename Acceptor, typename Take>
void accept_paced(Acceptor& acceptor, boost::asio::steady_timer& timer, AcceptPacing& pacing,
                  const TurnClock& clock, Take take,
                  std::function<void(const std::string& text)> say, std::string what) {
  if (!acceptor.is_open()) return;
  acceptor.async_accept(
      [&acceptor, &timer, &pacing, &clock, take = std::move(take), say = std::move(say),
       what = std::move(what)](const boost::system::error_code& error,
                               typename Acceptor::protocol_type::socket socket) mutable {
        if (error == boost::asio::error::operation_aborted || !acceptor.is_open()) return;
        const AcceptPacing::Verdict verdict = pacing.step(error, clock.steady());
        if (verdict.health.say != LinkHealth::Say::kNothing) {
          say(accept_pacing_text(what, verdict.health, error));
        }
        if (!error) take(std::move(socket));
        if (verdict.wait.count() == 0) {
          accept_paced(acceptor, timer, pacing, clock, std::move(take), std::move(say),
                       std::move(what));
          return;
        }
        timer.expires_after(verdict.wait);
        timer.async_wait([&acceptor, &timer, &pacing, &clock, take = std::move(take),
                          say = std::move(say),
                          what = std::move(what)](const boost::system::error_code& waited) mutable {
          if (waited) return;
          accept_paced(acceptor, timer, pacing, clock, std::move(take), std::move(say),
                       std::move(what));
        });
      });
}

}  // namespace kelvra::hostkit
