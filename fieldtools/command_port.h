// A serial line for one command at a time, waited on synchronously: what `scan` and `send` use.
// The line is a serial device or a serial device server over TCP (serial/port_address.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/asio/io_context.hpp>
#include <memory>

#include "frame-codec/frame_codec.h"
#include "frame-codec/frame_trace.h"
#include "serial/line_transport.h"

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
  // A TCP server's name lookup and connect together.
  static constexpr std::chrono::milliseconds kOpenTimeout{6000};

  // Opens `path` at 8N1 without flow control; throws PortError. `trace` may be null.
  CommandPort(std::string path, unsigned baud, frame::FrameTrace* trace);

  // Opens the line again at another `baud` (a raw TCP server keeps its own).
  void set_baud(unsigned baud);
  // Writes `command` after dropping unread input and waits at most `timeout` for its answer.
  Exchange exchange(const frame::Frame& command, std::chrono::milliseconds timeout);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  frame::FrameTrace* trace_;
  void start_read();

  serial::PortAddress address_;
  boost::asio::io_context io_;
  std::unique_ptr<serial::LineTransport> transport_;
  std::unique_ptr<serial::LineTransport> retired_transport_;  // closed by the last set_baud
  unsigned baud_ = 0;                                         // the transport's
  frame::Decoder decoder_;
  bool reading_ = false;  // a read is outstanding; it may outlast the exchange that started it
  std::size_t bytes_read_ = 0;  // in this exchange
  std::string read_error_;
  std::string write_error_;
  const frame::Frame* command_ = nullptr;  // the one being answered
  std::optional<frame::Frame> answer_;
};

}  // namespace kelvra::fieldtools
