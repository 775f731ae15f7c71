#include "station/console_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kelvra::station {
namespace {

// A non-blocking descriptor of its own for a pipe, FIFO or socket at `fd`; -1 for anything else.
int nonblocking_writer(int fd) {
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) return -1;
  if (!S_ISFIFO(status.st_mode) && !S_ISSOCK(status.st_mode)) return -1;
  // Reopened, a pipe or FIFO gets a description of its own: the flag does not reach others
  // writing to it. A socket cannot be reopened; its duplicate shares the flag.
  int own =
      open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (own < 0) own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return -1;
  if (fcntl(own, F_SETFL, fcntl(own, F_GETFL) | O_NONBLOCK) != 0) {
    close(own);
    return -1;
  }
  return own;
}

}  // namespace

ConsoleOutput::ConsoleOutput(std::FILE* out, std::size_t queue_bytes)
    : out_(out),
      terminal_(isatty(fileno(out)) == 1),
      queue_bytes_(queue_bytes),
      fd_(nonblocking_writer(fileno(out))) {}

ConsoleOutput::~ConsoleOutput() {
  if (fd_ >= 0) close(fd_);
}

void ConsoleOutput::put(const std::string& line) {
  if (fd_ < 0) {
    // One call per line: stdio locks each call against the other threads writing here.
    std::fputs((line + "\n").c_str(), out_);
    if (terminal_) std::fflush(out_);
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  if (queued_.size() + line.size() + 1 > queue_bytes_) {
    ++dropped_;
    return;
  }
  queued_ += line;
  queued_ += '\n';
  write_queued();
}

void ConsoleOutput::flush() {
  if (fd_ < 0) {
    std::fflush(out_);
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  write_queued();
}

void ConsoleOutput::write_queued() {
  for (;;) {
    if (queued_.empty() && dropped_ > 0) {
      queued_ = std::to_string(dropped_) + " lines dropped: output not read\n";
      dropped_ = 0;
    }
    if (queued_.empty()) return;
    const ssize_t written = ::write(fd_, queued_.data(), queued_.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // the reader takes no more now, or is gone
    queued_.erase(0, static_cast<std::size_t>(written));
  }
}

}  // namespace kelvra::station
