// A line carried by a serial device server over TCP: the host name looked up off the loop, the
// connection bounded by a timeout and kept alive, raw or with the Telnet COM-PORT-OPTION layer
// (the line's format asked for, 0xFF escaped both ways, the server's notifications dropped).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "hostkit/name_lookup.h"
#include "serial/line_transport.h"
#include "telnet/com_port_session.h"

namespace kelvra::serial {

class TcpTransport final : public LineTransport {
 public:
  static constexpr std::chrono::milliseconds kConnectTimeout{5000};

  TcpTransport(boost::asio::io_context& io, PortAddress address, SerialOptions serial);

  void open(Opened done) override;
  void close() override;
  void read(Read done) override;
  void write(std::string wire, Written done) override;
  // Bytes already sent by the server still arrive; the line machine counts them as stale.
  void discard_input() override {}

 private:
  struct Outgoing {
    std::string bytes;
    Written done;  // null for Telnet replies
  };
  void connect(const std::string& address, Opened done);
  void connected(Opened done);
  // Sends `bytes` after what is queued.
  void send(std::string bytes, Written done);
  void send_next();
  void read_more(Read done);

  PortAddress address_;
  SerialOptions serial_;
  boost::asio::ip::tcp::socket socket_;
  boost::asio::steady_timer connect_timer_;
  hostkit::NameLookups lookups_;
  std::optional<telnet::ComPortSession> telnet_;  // for rfc2217://, from connect to close
  std::array<std::uint8_t, 512> read_buffer_{};
  std::deque<Outgoing> outgoing_;  // the front is in flight
  bool connecting_ = false;        // a connect is under way; its timer may close the socket
  // Bumped on close, so that handlers of an earlier connection that fire late are dropped.
  std::uint64_t generation_ = 0;
};

}  // namespace kelvra::serial
