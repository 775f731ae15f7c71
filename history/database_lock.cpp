#include "history/database_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelvra::history {
namespace {

// The pid a holder wrote into the lock file; 0 when there is none.
pid_t holder_pid(int fd) {
  char text[32] = {};
  const ssize_t got = pread(fd, text, sizeof text - 1, 0);
  if (got <= 0) return 0;
  return static_cast<pid_t>(std::strtol(text, nullptr, 10));
}

}  // namespace

DatabaseInUse::DatabaseInUse(const std::string& db_path, pid_t holder)
    : std::runtime_error(db_path + ": in use by another kelvra-host run (" +
                         (holder > 0 ? "pid " + std::to_string(holder) : "pid unknown") +
                         ", holding " + lock_file_path(db_path) + ")"),
      holder_(holder) {}

std::string lock_file_path(const std::string& db_path) {
  return db_path + ".lock";
}

DatabaseLock::DatabaseLock(const std::string& db_path) {
  const std::string path = lock_file_path(db_path);
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    untaken_ = path + ": " + std::strerror(errno);
    return;
  }
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    const pid_t holder = error == EWOULDBLOCK ? holder_pid(fd_) : 0;
    ::close(fd_);
    fd_ = -1;
    if (error == EWOULDBLOCK) throw DatabaseInUse(db_path, holder);
    untaken_ = path + ": " + std::strerror(error);
    return;
  }
  // Held from here on; a pid that cannot be written only leaves the next run less to say.
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd_, 0) == 0) {
    [[maybe_unused]] const ssize_t written = pwrite(fd_, pid.data(), pid.size(), 0);
  }
}

std::optional<FileIdentity> file_identity(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileIdentity{status.st_dev, status.st_ino};
}

DatabaseLock::~DatabaseLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace kelvra::history
