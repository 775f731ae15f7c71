// A line carried by a local serial port, set to the line's format when opened.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include <boost/asio/serial_port.hpp>

#include "serial/line_transport.h"

namespace kelvra::serial {

class SerialTransport final : public LineTransport {
 public:
  SerialTransport(boost::asio::io_context& io, std::string path, SerialOptions serial);

  void open(Opened done) override;
  void close() override;
  void read(Read done) override;
  void write(std::string wire, Written done) override;
  void discard_input() override;

 private:
  std::string path_;
  SerialOptions serial_;
  boost::asio::serial_port port_;
  std::array<std::uint8_t, 512> read_buffer_{};
  std::string write_buffer_;  // the wire of the write in flight
  // Bumped on close, so that handlers of an earlier port that fire late are dropped.
  std::uint64_t generation_ = 0;
};

}  // namespace kelvra::serial
