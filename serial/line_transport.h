// What carries a line's bytes: a serial port, or a TCP connection to a serial device server. The
// link drives it on the io_context's thread; each call's handler comes later on that thread,
// never from inside the call, and never after close().
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>

#include "serial/port_address.h"
#include "serial/port_options.h"

namespace kelvra::serial {

class LineTransport {
 public:
  // Empty reason: opened.
  using Opened = std::function<void(std::string reason)>;
  // Empty reason: `data` (the line's bytes, never empty) was read.
  using Read = std::function<void(std::string reason, std::string_view data)>;
  using Written = std::function<void(std::string reason)>;

  virtual ~LineTransport() = default;
  virtual void open(Opened done) = 0;
  // Drops what is in flight; no handler of it is called.
  virtual void close() = 0;
  // One read at a time.
  virtual void read(Read done) = 0;
  // One write at a time; `wire` is the line's bytes.
  virtual void write(std::string wire, Written done) = 0;
  // Drops input not read yet, where the carrier can (what came before a command is not its
  // answer).
  virtual void discard_input() = 0;
};

// The carrier `address` names, set to `serial` where the carrier sets the line's format.
std::unique_ptr<LineTransport> make_transport(boost::asio::io_context& io,
                                              const PortAddress& address, SerialOptions serial);

}  // namespace kelvra::serial
