// Whole-file reads of the files the tools take from their users (settings, scenarios), with a
// size limit so that a wrong or hostile file is refused before it is held in memory.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>

namespace kelvra::hostkit {

// Why a file was not read; the message gives the reason without the path.
class InputFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The bytes of the file at path. Throws InputFileError when it cannot be read or holds more than
// max_bytes; a regular file is measured before reading, anything else stops at max_bytes + 1.
inline std::string read_input_file(const std::string& path, std::size_t max_bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw InputFileError(std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  const std::string too_large = "larger than " + std::to_string(max_bytes) + " bytes";
  struct stat status {};
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
      static_cast<std::size_t>(status.st_size) > max_bytes) {
    throw InputFileError(too_large + " (" + std::to_string(status.st_size) + ")");
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) return content;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw InputFileError(std::strerror(errno));
    }
    if (content.size() + static_cast<std::size_t>(got) > max_bytes) throw InputFileError(too_large);
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace kelvra::hostkit
