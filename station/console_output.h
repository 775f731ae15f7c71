// Where the console's lines go. To a pipe, a FIFO or a socket they are queued in a bounded buffer
// and written without ever waiting, so a reader that stops reading never stops the run: what does
// not fit is dropped, counted and said once the reader takes lines again. To a terminal, a file or
// a memory stream they go through stdio as they are.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kelvra::station {

class ConsoleOutput {
 public:
  static constexpr std::size_t kQueueBytes = 1024 * 1024;

  explicit ConsoleOutput(std::FILE* out, std::size_t queue_bytes = kQueueBytes);
  ~ConsoleOutput();
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;

  // One whole line, without its line feed; from any thread.
  void put(const std::string& line);
  // Writes what the reader takes now: a terminal's or file's stdio buffer, or the queue.
  void flush();

 private:
  // Writes the queue until the reader takes no more; the lock is held.
  void write_queued();

  std::FILE* out_;
  bool terminal_;
  std::size_t queue_bytes_;
  int fd_ = -1;  // non-blocking: lines are queued; -1: through stdio
  std::mutex mutex_;
  std::string queued_;
  std::uint64_t dropped_ = 0;  // lines not queued since the last note of them
};

}  // namespace kelvra::station
