// Standard output that nobody reads: a run's HTTP keeps answering and SIGTERM ends it; lines that
// do not fit are counted and the count said once the reader is back.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "station/console_output.h"
#include "tests/line/bench_fixture.h"
#include "tests/web/http_client.h"

namespace {

using namespace web_testing;

// A loopback port nobody listens on at the moment of asking.
unsigned short free_port() {
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return probe.local_endpoint().port();
}

// Everything the FIFO holds now.
std::string drain(int fd) {
  std::string text;
  char buffer[65536];
  for (ssize_t got = read(fd, buffer, sizeof buffer); got > 0;
       got = read(fd, buffer, sizeof buffer)) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// The exit status of `pid` within `limit`; -1 when it has not ended.
int exit_within(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(20ms);
  }
  return -1;
}

TEST(FaultConsole, AStalledReaderOfStandardOutputStopsNothing) {
  bench_testing::TempDir dir;
  const std::string fifo = dir.file("out");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const unsigned short port = free_port();
  const std::string db = dir.file("h.db");
  const std::string listen = "127.0.0.1:" + std::to_string(port);
  const pid_t host = fork();
  ASSERT_GE(host, 0);
  if (host == 0) {
    const int out = open(fifo.c_str(), O_WRONLY);
    dup2(out, 1);
    execl(KELVRA_HOST_PATH, "kelvra-host", "run", "--db", db.c_str(), "--http", listen.c_str(),
          "--no-pace", "--poll-interval", "100", static_cast<char*>(nullptr));
    _exit(127);
  }
  // The smallest pipe, filled: from now on nobody takes what the host writes.
  for (int i = 0; i < 50 && fcntl(reader, F_SETPIPE_SZ, 4096) < 0; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  const int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  const std::string block(4096, '.');
  while (write(filler, block.data(), block.size()) > 0) {
  }
  close(filler);
  std::this_thread::sleep_for(4s);
  EXPECT_EQ(exchange(port, "GET", "/api/v1/devices").status, 200u);
  // Stalled again, SIGTERM still ends the run.
  kill(host, SIGTERM);
  const int code = exit_within(host, 10s);
  if (code == -1) {
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
  }
  EXPECT_EQ(code, 0);
  close(reader);
}

TEST(FaultConsole, LinesThatDoNotFitAreCountedAndTheCountSaidWhenReadAgain) {
  bench_testing::TempDir dir;
  const std::string fifo = dir.file("out");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, 4096), 4096);
  std::FILE* out = std::fopen(fifo.c_str(), "w");
  ASSERT_NE(out, nullptr);
  {
    // Room for two lines waiting beside what the pipe takes.
    kelvra::station::ConsoleOutput output(out, 300);
    const std::string line(100, 'x');
    for (int i = 0; i < 50; ++i) output.put(line);
    const std::string taken = drain(reader);
    const std::size_t in_pipe = taken.size() / 101;
    std::string whole_lines;
    for (std::size_t i = 0; i < in_pipe; ++i) whole_lines += line + "\n";
    EXPECT_EQ(taken, whole_lines);
    output.flush();
    std::string expected;
    for (int i = 0; i < 2; ++i) expected += line + "\n";
    expected += std::to_string(50 - in_pipe - 2) + " lines dropped: output not read\n";
    EXPECT_EQ(drain(reader), expected);
    EXPECT_GT(50 - in_pipe - 2, 0u);
  }
  std::fclose(out);
  close(reader);
}

}  // namespace
