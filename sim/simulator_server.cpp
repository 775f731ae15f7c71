#include "sim/simulator_server.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "hostkit/serial_rates.h"

namespace kelvra::sim {
namespace {

constexpr int kIdlePollMs = 20;  // how often the timeline advances while the line is quiet

std::runtime_error system_error(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

void make_raw(int fd, speed_t speed) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) throw system_error("tcgetattr");
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  if (speed != B0) {
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
  }
  if (tcsetattr(fd, TCSANOW, &settings) != 0) throw system_error("tcsetattr");
}

speed_t speed_of(unsigned baud) {
  const std::optional<speed_t> speed = kelvra::hostkit::serial_speed(baud);
  if (!speed) throw std::runtime_error("unsupported baud rate " + std::to_string(baud));
  return *speed;
}

SimulatorConfig for_line(SimulatorConfig config, const ServerOptions& options) {
  // A real serial line already took the command's time to deliver it.
  if (!options.serial_port.empty()) config.pacing.count_command_bytes = false;
  return config;
}

}  // namespace

SimulatorServer::SimulatorServer(SimulatorConfig config, ServerOptions options, LogSink log)
    : options_(std::move(options)),
      baud_(config.pacing.baud),
      log_(log),
      simulator_(for_line(std::move(config), options_), std::move(log)) {}

SimulatorServer::~SimulatorServer() {
  stop();
}

void SimulatorServer::start() {
  if (thread_.joinable()) return;
  try {
    if (pipe(wake_pipe_) != 0) throw system_error("pipe");
    if (options_.serial_port.empty()) {
      open_pseudo_terminal();
    } else {
      open_serial_port();
    }
    if (!options_.link_path.empty()) {
      unlink(options_.link_path.c_str());
      if (symlink(device_path_.c_str(), options_.link_path.c_str()) != 0) {
        throw system_error("symlink " + options_.link_path);
      }
    }
  } catch (...) {
    close_all();
    throw;
  }
  stopping_ = false;
  thread_ = std::thread([this] { serve(); });
}

void SimulatorServer::open_pseudo_terminal() {
  line_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (line_fd_ < 0) throw system_error("posix_openpt");
  if (grantpt(line_fd_) != 0 || unlockpt(line_fd_) != 0) throw system_error("grantpt/unlockpt");
  const char* slave = ptsname(line_fd_);
  if (!slave) throw system_error("ptsname");
  device_path_ = slave;
  held_slave_fd_ = open(slave, O_RDWR | O_NOCTTY);
  if (held_slave_fd_ < 0) throw system_error("open " + device_path_);
  // Raw on the slave side too, so nothing is echoed or translated before the host sets it up.
  make_raw(held_slave_fd_, speed_of(9600));
  make_raw(line_fd_, B0);
}

void SimulatorServer::open_serial_port() {
  device_path_ = options_.serial_port;
  line_fd_ = open(device_path_.c_str(), O_RDWR | O_NOCTTY);
  if (line_fd_ < 0) throw system_error("open " + device_path_);
  make_raw(line_fd_, speed_of(baud_));
}

void SimulatorServer::stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    const char wake = 1;
    if (write(wake_pipe_[1], &wake, 1) < 0 && log_) log_("cannot wake the serving thread");
    thread_.join();
  }
  close_all();
}

void SimulatorServer::close_all() {
  for (int* fd : {&line_fd_, &held_slave_fd_, &wake_pipe_[0], &wake_pipe_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!options_.link_path.empty()) unlink(options_.link_path.c_str());
}

bool SimulatorServer::wait_unless_stopping(int timeout_ms) {
  pollfd wake{wake_pipe_[0], POLLIN, 0};
  poll(&wake, 1, timeout_ms);
  return !stopping_;
}

void SimulatorServer::write_all(const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(line_fd_, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (log_) log_(std::string("write failed: ") + std::strerror(errno));
      return;
    }
    written += static_cast<std::size_t>(n);
  }
}

void SimulatorServer::serve() {
  const auto started = std::chrono::steady_clock::now();
  std::uint8_t buffer[512];
  while (!stopping_) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    with_simulator([&](Simulator& sim) { sim.advance(elapsed); });

    pollfd fds[2] = {{line_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, kIdlePollMs) <= 0 || !(fds[0].revents & POLLIN)) {
      if (fds[0].revents & (POLLHUP | POLLERR)) wait_unless_stopping(kIdlePollMs);
      continue;
    }
    const ssize_t n = read(line_fd_, buffer, sizeof buffer);
    if (n <= 0) {
      wait_unless_stopping(kIdlePollMs);
      continue;
    }
    const auto received = std::chrono::steady_clock::now();
    const auto answers = with_simulator(
        [&](Simulator& sim) { return sim.receive(buffer, static_cast<std::size_t>(n)); });
    for (const TimedAnswer& answer : answers) {
      const auto due = received + answer.delay;
      const auto remaining =
          std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
      if (remaining.count() > 0 && !wait_unless_stopping(static_cast<int>(remaining.count()))) {
        return;
      }
      write_all(answer.bytes);
    }
  }
}

}  // namespace kelvra::sim
