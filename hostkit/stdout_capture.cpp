#include "hostkit/stdout_capture.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <system_error>

namespace kelvra::hostkit {
namespace {

void flush_standard_output() {
  std::cout.flush();
  std::fflush(stdout);
}

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int open_capture_file() {
  const int fd = memfd_create("kelvra-stdout", MFD_CLOEXEC);
  if (fd >= 0) return fd;
  std::FILE* file = std::tmpfile();
  if (file == nullptr) throw_errno("cannot create the capture file");
  const int copy = dup(fileno(file));
  std::fclose(file);
  if (copy < 0) throw_errno("cannot create the capture file");
  return copy;
}

}  // namespace

StdoutCapture::StdoutCapture() {
  flush_standard_output();
  capture_fd_ = open_capture_file();
  original_fd_ = dup(STDOUT_FILENO);
  if (original_fd_ < 0 || dup2(capture_fd_, STDOUT_FILENO) < 0) {
    const int error = errno;
    if (original_fd_ >= 0) close(original_fd_);
    close(capture_fd_);
    throw std::system_error(error, std::generic_category(), "cannot redirect standard output");
  }
}

StdoutCapture::~StdoutCapture() {
  flush_standard_output();
  dup2(original_fd_, STDOUT_FILENO);
  close(original_fd_);
  close(capture_fd_);
}

std::vector<std::string> StdoutCapture::take_lines(bool include_partial) {
  flush_standard_output();
  // pread leaves the shared file offset alone, so the plug-in's next write still appends.
  char buffer[4096];
  for (;;) {
    const ssize_t got = pread(capture_fd_, buffer, sizeof buffer, read_offset_);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending_.append(buffer, static_cast<std::size_t>(got));
    read_offset_ += got;
  }
  // Read to its end: empty the file and move the offset fd 1 shares back to its start, so that
  // the next write lands at 0 instead of leaving a hole.
  if (read_offset_ > 0 && ftruncate(capture_fd_, 0) == 0) {
    lseek(capture_fd_, 0, SEEK_SET);
    read_offset_ = 0;
  }
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(pending_.substr(start, end - start));
  }
  pending_.erase(0, start);
  if (include_partial && !pending_.empty()) {
    lines.push_back(pending_);
    pending_.clear();
  }
  return lines;
}

std::size_t StdoutCapture::held_bytes() const {
  struct stat file {};
  if (fstat(capture_fd_, &file) != 0) return 0;
  return static_cast<std::size_t>(file.st_size);
}

}  // namespace kelvra::hostkit
