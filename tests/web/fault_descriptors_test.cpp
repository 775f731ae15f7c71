// A run that runs out of file descriptors: the control socket and HTTP keep accepting once
// descriptors are back, without spinning meanwhile, and the run says the shortage once.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <algorithm>
#include <cstring>

#include "tests/line/bench_fixture.h"
#include "tests/web/http_client.h"
#include "web/http_server.h"

namespace {

using namespace bench_testing;
using namespace web_testing;

// Every descriptor this process may still open, taken under a lowered limit and given back.
class DescriptorsTaken {
 public:
  DescriptorsTaken() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 4096);
    setrlimit(RLIMIT_NOFILE, &lowered);
    for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0;
         fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) {
      held_.push_back(fd);
    }
  }
  ~DescriptorsTaken() {
    for (const int fd : held_) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  DescriptorsTaken(const DescriptorsTaken&) = delete;
  DescriptorsTaken& operator=(const DescriptorsTaken&) = delete;

 private:
  rlimit saved_{};
  std::vector<int> held_;
};

std::chrono::milliseconds process_cpu_time() {
  timespec used{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
  return std::chrono::seconds(used.tv_sec) + std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::nanoseconds(used.tv_nsec));
}

std::size_t lines_with(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(FaultDescriptors, ControlSocketAndHttpAcceptAgainAndSayTheShortageOnce) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime opens a pipe to probe memory in its type checks: with every
  // descriptor taken it reports any checked object as corrupt, so the shortage cannot be staged.
  GTEST_SKIP() << "holding every descriptor defeats the sanitizer runtime's own checks";
#endif
  BenchSession session;
  kelvra::web::HttpOptions options;
  options.port = 0;
  kelvra::web::HttpServer server(options);
  session.options().services.push_back(&server);
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();
  const unsigned short port = server.port();

  // Made before the shortage, connected during it: the servers cannot take them then.
  const int http_client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int control_client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in http_address{};
  http_address.sin_family = AF_INET;
  http_address.sin_port = htons(port);
  http_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_un control_address{};
  control_address.sun_family = AF_UNIX;
  const std::string control_path = kelvra::run::control_socket_path(session.db());
  std::strncpy(control_address.sun_path, control_path.c_str(), sizeof control_address.sun_path - 1);
  std::chrono::milliseconds cpu_while_short{0};
  {
    const DescriptorsTaken taken;
    const auto cpu_before = process_cpu_time();
    EXPECT_EQ(
        connect(http_client, reinterpret_cast<const sockaddr*>(&http_address), sizeof http_address),
        0);
    EXPECT_EQ(connect(control_client, reinterpret_cast<const sockaddr*>(&control_address),
                      sizeof control_address),
              0);
    std::this_thread::sleep_for(1500ms);
    cpu_while_short = process_cpu_time() - cpu_before;
  }
  close(http_client);
  close(control_client);
  // Waiting on a timer between attempts, not retrying at once: a second and a half of polling
  // takes a few milliseconds of processor time.
  EXPECT_LT(cpu_while_short, 500ms);
  EXPECT_EQ(exchange(port, "GET", "/api/v1/devices").status, 200u);
  EXPECT_NO_THROW(session.ask(request("status")));
  session.stop();
  const std::string output = session.output();
  EXPECT_EQ(lines_with(output, ": cannot accept connections: out of file descriptors"), 2u)
      << output;
  EXPECT_EQ(
      lines_with(output, "HTTP on port " + std::to_string(port) + ": cannot accept connections"),
      1u);
  EXPECT_EQ(lines_with(output, "control socket " + control_path + ": cannot accept"), 1u);
  EXPECT_EQ(lines_with(output, ": accepting connections again after "), 2u) << output;
}

}  // namespace
