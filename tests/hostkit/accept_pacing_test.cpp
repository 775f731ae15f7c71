// Accepting through failures over a fake clock: waits growing to a bound, the failure said once,
// reminders at most once a minute, the recovery said once and the waits started over.
#include <gtest/gtest.h>

#include "hostkit/accept_pacing.h"

namespace {

using namespace std::chrono_literals;
using kelvra::hostkit::AcceptPacing;
using kelvra::hostkit::LinkHealth;

TEST(FaultAcceptPacing, WaitsGrowToOneSecondAndTheShortageIsSaidOnce) {
  const boost::system::error_code none;
  const auto emfile = make_error_code(boost::system::errc::too_many_files_open);
  struct Row {
    std::chrono::milliseconds at;
    boost::system::error_code error;
    std::chrono::milliseconds wait;
    const char* said;
  };
  const Row rows[] = {
      {0ms, none, 0ms, ""},
      {10ms, emfile, 100ms,
       "HTTP on port 8080: cannot accept connections: out of file descriptors (Too many open "
       "files); retrying up to every 1000 ms"},
      {110ms, emfile, 200ms, ""},
      {310ms, emfile, 400ms, ""},
      {710ms, emfile, 800ms, ""},
      {1510ms, emfile, 1000ms, ""},
      {2510ms, emfile, 1000ms, ""},
      {60010ms, emfile, 1000ms,
       "HTTP on port 8080: still cannot accept connections after 60 s: out of file descriptors "
       "(Too many open files)"},
      {61010ms, emfile, 1000ms, ""},
      {62010ms, none, 0ms, "HTTP on port 8080: accepting connections again after 62 s"},
      {62020ms, none, 0ms, ""},
      // A new shortage waits from the start again.
      {70000ms, make_error_code(boost::system::errc::not_enough_memory), 100ms,
       "HTTP on port 8080: cannot accept connections: Cannot allocate memory; retrying up to "
       "every 1000 ms"},
  };
  AcceptPacing pacing;
  const auto t0 = AcceptPacing::Clock::time_point{} + 1h;
  for (const Row& row : rows) {
    const AcceptPacing::Verdict verdict = pacing.step(row.error, t0 + row.at);
    EXPECT_EQ(verdict.wait, row.wait) << row.at.count();
    EXPECT_EQ(kelvra::hostkit::accept_pacing_text("HTTP on port 8080", verdict.health, row.error),
              row.said)
        << row.at.count();
  }
}

}  // namespace
