#include "history/file_access.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace kelvra::history {
namespace {

const char* const kSidecars[] = {"-wal", "-shm"};

// Exists, and writing it is refused by its permissions (not by a read-only file system).
bool refused_by_permissions(const std::string& path) {
  return ::access(path.c_str(), W_OK) != 0 && errno == EACCES;
}

}  // namespace

std::optional<std::string> unwritable_file(const std::string& db_path) {
  std::string directory = std::filesystem::path(db_path).parent_path().string();
  if (directory.empty()) directory = ".";
  for (const std::string& path :
       {directory, db_path, db_path + kSidecars[0], db_path + kSidecars[1]}) {
    if (refused_by_permissions(path)) return path;
  }
  return std::nullopt;
}

std::optional<std::string> match_database_mode(const std::string& db_path) {
  struct stat database {};
  if (::stat(db_path.c_str(), &database) != 0 || ::access(db_path.c_str(), W_OK) != 0) {
    return std::nullopt;
  }
  std::string changed;
  for (const char* sidecar : kSidecars) {
    const std::string path = db_path + sidecar;
    if (!refused_by_permissions(path)) continue;
    if (::chmod(path.c_str(), database.st_mode & 07777) != 0) continue;
    changed += (changed.empty() ? "" : " and ") + path;
  }
  if (changed.empty()) return std::nullopt;
  return changed + " made writable like the database (left read-only while it was)";
}

}  // namespace kelvra::history
