#include "fieldtools/command_port.h"

#include <termios.h>

#include <boost/asio/write.hpp>

namespace kelvra::fieldtools {
namespace {

namespace asio = boost::asio;

bool same_frame(const frame::Frame& a, const frame::Frame& b) {
  return a.ver == b.ver && a.address == b.address && a.cid1 == b.cid1 && a.code == b.code &&
         a.info == b.info;
}

}  // namespace

CommandPort::CommandPort(std::string path, unsigned baud, frame::FrameTrace* trace)
    : path_(std::move(path)),
      trace_(trace),
      port_(io_),
      decoder_(
          [this](const frame::Frame& frame) {
            const bool echo = command_ != nullptr && same_frame(frame, *command_);
            const bool taken = command_ != nullptr && !echo && !answer_;
            if (trace_) {
              trace_->read(path_, frame, decoder_.frame_digits(),
                           echo    ? frame::FrameVerdict::kEcho
                           : taken ? frame::FrameVerdict::kTaken
                                   : frame::FrameVerdict::kUnexpected);
            }
            if (taken) answer_ = frame;
          },
          [this](frame::DecodeError error, const frame::Frame* header) {
            if (trace_) trace_->bad_input(path_, error, header, decoder_.frame_digits());
          }) {
  boost::system::error_code error;
  port_.open(path_, error);
  if (error) throw PortError(path_ + ": cannot open: " + error.message());
  port_.set_option(asio::serial_port_base::character_size(8), error);
  if (!error) port_.set_option(asio::serial_port_base::parity(), error);
  if (!error) port_.set_option(asio::serial_port_base::stop_bits(), error);
  if (!error) port_.set_option(asio::serial_port_base::flow_control(), error);
  if (error) throw PortError(path_ + ": cannot set up: " + error.message());
  set_baud(baud);
}

void CommandPort::set_baud(unsigned baud) {
  boost::system::error_code error;
  port_.set_option(asio::serial_port_base::baud_rate(baud), error);
  if (error)
    throw PortError(path_ + ": cannot set " + std::to_string(baud) + " baud: " + error.message());
}

Exchange CommandPort::exchange(const frame::Frame& command, std::chrono::milliseconds timeout) {
  Exchange result;
  if (decoder_.in_frame()) decoder_.abandon();
  tcflush(port_.native_handle(), TCIFLUSH);
  decoder_.expect_address(command.address);
  answer_.reset();
  command_ = &command;
  const std::string wire = frame::encode(command);
  if (trace_) trace_->written(path_, wire, &command);
  const auto written = std::chrono::steady_clock::now();
  boost::system::error_code error;
  asio::write(port_, asio::buffer(wire), error);
  if (error) throw PortError(path_ + ": write failed: " + error.message());

  const auto deadline = written + timeout;
  while (!answer_ && std::chrono::steady_clock::now() < deadline) {
    bool done = false;
    std::size_t size = 0;
    port_.async_read_some(asio::buffer(buffer_),
                          [&](const boost::system::error_code& read_error, std::size_t count) {
                            done = true;
                            error = read_error;
                            size = count;
                          });
    io_.restart();
    io_.run_for(deadline - std::chrono::steady_clock::now());
    if (!done) {
      port_.cancel();
      io_.restart();
      io_.run();
      if (error || size == 0) break;  // bytes that came with the cancel are still taken
    }
    if (error) throw PortError(path_ + ": read failed: " + error.message());
    result.bytes_received += size;
    decoder_.feed(buffer_.data(), size);
  }
  if (answer_) {
    result.round_trip = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - written);
  }
  result.answer = std::move(answer_);
  command_ = nullptr;
  return result;
}

}  // namespace kelvra::fieldtools
