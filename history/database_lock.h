// One writer per history database: an exclusive flock on "DB.lock" held for a run's life.
//
// The lock is on a file of its own, not on the database: SQLite locks the database with POSIX
// record locks, which any close() of another descriptor of that file in the process drops, and
// which some file systems (NFS) also use to emulate flock. A file of its own cannot disturb
// SQLite's locking, outlives the database being deleted or replaced under the run, and is never
// touched by the read-only tools. The kernel releases it when the holder dies, even by SIGKILL;
// the file is left in place, since removing it would race with the next run opening it.
#pragma once

#include <sys/types.h>
#include <optional>
#include <stdexcept>
#include <string>

namespace kelvra::history {

// Another process holds the database's lock; `holder` is the pid it wrote, 0 when unreadable.
class DatabaseInUse : public std::runtime_error {
 public:
  DatabaseInUse(const std::string& db_path, pid_t holder);
  pid_t holder() const { return holder_; }

 private:
  pid_t holder_;
};

class DatabaseLock {
 public:
  // Takes the lock of `db_path` without waiting and writes this process's pid into it; throws
  // DatabaseInUse when another holder has it. A lock file that cannot be created (a missing
  // directory, a read-only file system) leaves the lock untaken: see untaken_reason().
  explicit DatabaseLock(const std::string& db_path);
  ~DatabaseLock();
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;

  // Why the lock could not be taken, or nullopt while it is held.
  const std::optional<std::string>& untaken_reason() const { return untaken_; }

 private:
  int fd_ = -1;
  std::optional<std::string> untaken_;
};

// "DB.lock".
std::string lock_file_path(const std::string& db_path);

// Which file a path names: its device and inode.
struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};
// nullopt when nothing is at the path.
std::optional<FileIdentity> file_identity(const std::string& path);

}  // namespace kelvra::history
