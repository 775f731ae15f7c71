#include "fieldtools/command_port.h"

#include "hostkit/input_error.h"

namespace kelvra::fieldtools {
namespace {

bool same_frame(const frame::Frame& a, const frame::Frame& b) {
  return a.ver == b.ver && a.address == b.address && a.cid1 == b.cid1 && a.code == b.code &&
         a.info == b.info;
}

}  // namespace

CommandPort::CommandPort(std::string path, unsigned baud, frame::FrameTrace* trace)
    : path_(std::move(path)),
      trace_(trace),
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
  try {
    address_ = serial::parse_port_address(path_);
  } catch (const hostkit::InputError& error) {
    throw PortError(std::string("--port: ") + error.what());
  }
  set_baud(baud);
}

void CommandPort::set_baud(unsigned baud) {
  if (transport_ && baud == baud_) return;
  if (transport_) {
    // Its cancelled handlers are still queued and read it when they run: it lives until then.
    transport_->close();
    retired_transport_ = std::move(transport_);
  }
  baud_ = baud;
  reading_ = false;
  read_error_.clear();
  write_error_.clear();
  serial::SerialOptions options;
  options.baud = baud;
  transport_ = serial::make_transport(io_, address_, options);
  bool opened = false;
  std::string reason = "no connection within " + std::to_string(kOpenTimeout.count()) + " ms";
  transport_->open([&](std::string failure) {
    opened = true;
    reason = std::move(failure);
  });
  const auto deadline = std::chrono::steady_clock::now() + kOpenTimeout;
  while (!opened && std::chrono::steady_clock::now() < deadline) {
    io_.restart();
    io_.run_one_for(deadline - std::chrono::steady_clock::now());
  }
  if (!opened || !reason.empty()) {
    throw PortError(path_ + ": cannot open at " + std::to_string(baud) + " baud: " + reason);
  }
}

void CommandPort::start_read() {
  reading_ = true;
  transport_->read([this](std::string reason, std::string_view data) {
    reading_ = false;
    if (!reason.empty()) {
      read_error_ = std::move(reason);
      return;
    }
    bytes_read_ += data.size();
    decoder_.feed(data);
  });
}

Exchange CommandPort::exchange(const frame::Frame& command, std::chrono::milliseconds timeout) {
  Exchange result;
  if (decoder_.in_frame()) decoder_.abandon();
  transport_->discard_input();
  decoder_.expect_address(command.address);
  answer_.reset();
  command_ = &command;
  bytes_read_ = 0;
  const std::string wire = frame::encode(command);
  if (trace_) trace_->written(path_, wire, &command);
  const auto written = std::chrono::steady_clock::now();
  transport_->write(wire, [this](std::string reason) { write_error_ = std::move(reason); });
  const auto deadline = written + timeout;
  while (!answer_ && read_error_.empty() && write_error_.empty()) {
    if (!reading_) start_read();
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    io_.restart();
    io_.run_one_for(deadline - now);
  }
  if (!write_error_.empty()) throw PortError(path_ + ": write failed: " + write_error_);
  if (!read_error_.empty()) throw PortError(path_ + ": read failed: " + read_error_);
  result.bytes_received = bytes_read_;
  if (answer_) {
    result.round_trip = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - written);
  }
  result.answer = std::move(answer_);
  command_ = nullptr;
  return result;
}

}  // namespace kelvra::fieldtools
