#include "serial/serial_transport.h"

#include <termios.h>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace kelvra::serial {
namespace {

namespace asio = boost::asio;

asio::serial_port_base::parity parity_of(Parity parity) {
  switch (parity) {
    case Parity::kOdd:
      return asio::serial_port_base::parity(asio::serial_port_base::parity::odd);
    case Parity::kEven:
      return asio::serial_port_base::parity(asio::serial_port_base::parity::even);
    case Parity::kNone:
      break;
  }
  return asio::serial_port_base::parity(asio::serial_port_base::parity::none);
}

}  // namespace

SerialTransport::SerialTransport(asio::io_context& io, std::string path, SerialOptions serial)
    : path_(std::move(path)), serial_(serial), port_(io) {}

void SerialTransport::open(Opened done) {
  boost::system::error_code error;
  port_.open(path_, error);
  if (!error) port_.set_option(asio::serial_port_base::baud_rate(serial_.baud), error);
  if (!error) port_.set_option(asio::serial_port_base::character_size(serial_.data_bits), error);
  if (!error) port_.set_option(parity_of(serial_.parity), error);
  if (!error) {
    port_.set_option(asio::serial_port_base::stop_bits(
                         serial_.stop_bits == 2 ? asio::serial_port_base::stop_bits::two
                                                : asio::serial_port_base::stop_bits::one),
                     error);
  }
  if (!error) {
    port_.set_option(
        asio::serial_port_base::flow_control(asio::serial_port_base::flow_control::none), error);
  }
  if (error) {
    boost::system::error_code ignored;
    port_.close(ignored);
  }
  asio::post(port_.get_executor(), [this, done = std::move(done), generation = generation_,
                                    reason = error ? error.message() : std::string()] {
    if (generation == generation_) done(reason);
  });
}

void SerialTransport::close() {
  ++generation_;
  boost::system::error_code ignored;
  port_.close(ignored);
}

void SerialTransport::read(Read done) {
  port_.async_read_some(
      asio::buffer(read_buffer_), [this, done = std::move(done), generation = generation_](
                                      const boost::system::error_code& error, std::size_t size) {
        if (generation != generation_) return;
        if (error) {
          done(error.message(), {});
          return;
        }
        done({}, std::string_view(reinterpret_cast<const char*>(read_buffer_.data()), size));
      });
}

void SerialTransport::write(std::string wire, Written done) {
  write_buffer_ = std::move(wire);
  asio::async_write(port_, asio::buffer(write_buffer_),
                    [this, done = std::move(done), generation = generation_](
                        const boost::system::error_code& error, std::size_t) {
                      if (generation == generation_) done(error ? error.message() : std::string());
                    });
}

void SerialTransport::discard_input() {
  tcflush(port_.native_handle(), TCIFLUSH);
}

}  // namespace kelvra::serial
