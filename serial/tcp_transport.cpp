#include "serial/tcp_transport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace kelvra::serial {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// A dead server is noticed within 10 s idle + 3 probes 5 s apart, without any traffic.
void keep_alive(tcp::socket& socket) {
  boost::system::error_code ignored;
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  socket.set_option(tcp::no_delay(true), ignored);
  const int fd = socket.native_handle();
  const int idle_s = 10;
  const int interval_s = 5;
  const int probes = 3;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

telnet::LineFormat format_of(const SerialOptions& serial) {
  telnet::LineFormat format;
  format.baud = serial.baud;
  format.data_bits = static_cast<std::uint8_t>(serial.data_bits);
  format.parity = serial.parity == Parity::kOdd    ? telnet::Parity::kOdd
                  : serial.parity == Parity::kEven ? telnet::Parity::kEven
                                                   : telnet::Parity::kNone;
  format.stop_bits = static_cast<std::uint8_t>(serial.stop_bits);
  return format;
}

}  // namespace

TcpTransport::TcpTransport(asio::io_context& io, PortAddress address, SerialOptions serial)
    : address_(std::move(address)),
      serial_(serial),
      socket_(io),
      connect_timer_(io),
      lookups_(io) {}

void TcpTransport::open(Opened done) {
  boost::system::error_code not_numeric;
  asio::ip::make_address(address_.host, not_numeric);
  if (!not_numeric) {
    asio::post(socket_.get_executor(),
               [this, done = std::move(done), generation = generation_]() mutable {
                 if (generation == generation_) connect(address_.host, std::move(done));
               });
    return;
  }
  lookups_.lookup(address_.host, std::to_string(address_.tcp_port),
                  [this, done = std::move(done),
                   generation = generation_](hostkit::LookupResult found) mutable {
                    if (generation != generation_) return;
                    if (!found.found() || found.addresses.empty()) {
                      done(address_.host + ": " + (found.found() ? "no address" : found.reason));
                      return;
                    }
                    connect(found.addresses.front(), std::move(done));
                  });
}

void TcpTransport::connect(const std::string& address, Opened done) {
  const tcp::endpoint endpoint(asio::ip::make_address(address), address_.tcp_port);
  connecting_ = true;
  connect_timer_.expires_after(kConnectTimeout);
  connect_timer_.async_wait([this, generation = generation_](const boost::system::error_code& e) {
    if (e || generation != generation_ || !connecting_) return;
    boost::system::error_code ignored;
    socket_.close(ignored);  // the connect ends with operation_aborted
  });
  socket_.async_connect(endpoint, [this, done = std::move(done), generation = generation_](
                                      const boost::system::error_code& error) mutable {
    if (generation != generation_) return;
    connecting_ = false;
    const bool timed_out = connect_timer_.cancel() == 0;
    if (error) {
      boost::system::error_code ignored;
      socket_.close(ignored);
      done(timed_out ? "no connection within " + std::to_string(kConnectTimeout.count()) + " ms"
                     : error.message());
      return;
    }
    connected(std::move(done));
  });
}

void TcpTransport::connected(Opened done) {
  keep_alive(socket_);
  if (address_.kind == PortAddress::Kind::kComPortTelnet) {
    telnet_.emplace(format_of(serial_));
    send(telnet_->opening(), nullptr);
  }
  done({});
}

void TcpTransport::close() {
  ++generation_;
  connecting_ = false;
  connect_timer_.cancel();
  boost::system::error_code ignored;
  socket_.close(ignored);
  outgoing_.clear();
  telnet_.reset();
}

void TcpTransport::read(Read done) {
  read_more(std::move(done));
}

void TcpTransport::read_more(Read done) {
  socket_.async_read_some(asio::buffer(read_buffer_), [this, done = std::move(done),
                                                       generation = generation_](
                                                          const boost::system::error_code& error,
                                                          std::size_t size) mutable {
    if (generation != generation_) return;
    if (error) {
      done(error == asio::error::eof ? "the server closed the connection" : error.message(), {});
      return;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(read_buffer_.data()), size);
    if (!telnet_) {
      done({}, bytes);
      return;
    }
    telnet::Received received = telnet_->receive(bytes);
    if (!received.reply.empty()) send(std::move(received.reply), nullptr);
    if (received.data.empty()) {
      read_more(std::move(done));  // Telnet talk only: nothing for the line yet
      return;
    }
    done({}, received.data);
  });
}

void TcpTransport::write(std::string wire, Written done) {
  send(telnet_ ? telnet::ComPortSession::escape(wire) : std::move(wire), std::move(done));
}

void TcpTransport::send(std::string bytes, Written done) {
  outgoing_.push_back(Outgoing{std::move(bytes), std::move(done)});
  if (outgoing_.size() == 1) send_next();
}

void TcpTransport::send_next() {
  asio::async_write(
      socket_, asio::buffer(outgoing_.front().bytes),
      [this, generation = generation_](const boost::system::error_code& error, std::size_t) {
        if (generation != generation_) return;
        Written done = std::move(outgoing_.front().done);
        outgoing_.pop_front();
        if (done) done(error ? error.message() : std::string());
        if (generation == generation_ && !error && !outgoing_.empty()) send_next();
      });
}

}  // namespace kelvra::serial
