// A serial port for one command at a time, waited on synchronously: what `scan` and `send` use.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>

#include "frame-codec/frame_codec.h"
#include "frame-codec/frame_trace.h"

namespace kelvra::fieldtools {

// The port could not be opened, set up, written or read; names the port.
class PortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Exchange {
  std::optional<frame::Frame> answer;  // the first frame from the command's address but its echo
  std::chrono::microseconds round_trip{0};  // from the write to the answer's EOI
  std::size_t bytes_received = 0;
};

class CommandPort {
 public:
  // Opens `path` at 8N1 without flow control; throws PortError. `trace` may be null.
  CommandPort(std::string path, unsigned baud, frame::FrameTrace* trace);

  void set_baud(unsigned baud);
  // Writes `command` after dropping unread input and waits at most `timeout` for its answer.
  Exchange exchange(const frame::Frame& command, std::chrono::milliseconds timeout);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  frame::FrameTrace* trace_;
  boost::asio::io_context io_;
  boost::asio::serial_port port_;
  frame::Decoder decoder_;
  std::array<std::uint8_t, 512> buffer_{};
  const frame::Frame* command_ = nullptr;  // the one being answered
  std::optional<frame::Frame> answer_;
};

}  // namespace kelvra::fieldtools
