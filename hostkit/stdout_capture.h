#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

namespace kelvra::hostkit {

// Takes over standard output (fd 1) for a plug-in's diagnostic lines while the program keeps its
// own output on a duplicate of the original descriptor. The lines land in an in-memory file, not
// a pipe, so a talkative plug-in can never block on a full buffer; the file is emptied each time
// it has been read to its end, so it holds at most what was written since. One instance at a
// time; take_lines runs on the thread the plug-in writes from.
class StdoutCapture {
 public:
  // Flushes stdio and std::cout, then points fd 1 at the capture file; throws std::system_error.
  StdoutCapture();
  // Flushes what the plug-in wrote and gives fd 1 back to the original standard output.
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // The original standard output, for the program's own output; owned by this object.
  int original_fd() const { return original_fd_; }

  // Flushes printf's and std::cout's buffers and returns the lines written since the last call,
  // without their newlines. A last line without newline is kept back unless include_partial.
  std::vector<std::string> take_lines(bool include_partial = false);

  // Bytes the capture file holds now.
  std::size_t held_bytes() const;

 private:
  int original_fd_ = -1;
  int capture_fd_ = -1;
  off_t read_offset_ = 0;
  std::string pending_;
};

}  // namespace kelvra::hostkit
