#include "line/serial_line.h"

#include <termios.h>

#include <algorithm>

#include <boost/asio/write.hpp>

#include "line/station.h"

namespace kelvra::line {
namespace {

namespace asio = boost::asio;

std::string command_text(const frame::Frame& command) {
  char text[48];
  std::snprintf(text, sizeof text, "%02X/%02X at address %u", command.cid1, command.code,
                command.address);
  return text;
}

bool same_frame(const frame::Frame& a, const frame::Frame& b) {
  return a.ver == b.ver && a.address == b.address && a.cid1 == b.cid1 && a.code == b.code &&
         a.info == b.info;
}

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

SerialLine::SerialLine(asio::io_context& io, std::string port, SerialOptions serial,
                       LineTiming timing, Console& console, history::HistoryStore& history)
    : port_path_(std::move(port)),
      serial_(serial),
      timing_(timing),
      console_(console),
      history_(history),
      port_(io),
      poll_timer_(io),
      response_timer_(io),
      reopen_timer_(io),
      settle_timer_(io),
      decoder_([this](const frame::Frame& frame) { on_frame(frame); },
               [this](frame::DecodeError error, const frame::Frame* header) {
                 on_bad_input(error, header);
               }) {}

SerialLine::~SerialLine() {
  stop();
}

void SerialLine::add(Station& station) {
  stations_.push_back(&station);
}

void SerialLine::start() {
  running_ = true;
  try_open();
  schedule_poll(std::chrono::milliseconds(0));
}

void SerialLine::stop() {
  running_ = false;
  ++port_generation_;
  ++exchange_generation_;
  poll_timer_.cancel();
  response_timer_.cancel();
  reopen_timer_.cancel();
  settle_timer_.cancel();
  boost::system::error_code ignored;
  port_.close(ignored);
  outstanding_.reset();
  queue_.clear();
}

void SerialLine::try_open() {
  if (!running_) return;
  boost::system::error_code error;
  port_.open(port_path_, error);
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
    lost("cannot open: " + error.message());
    return;
  }
  ++port_generation_;
  if (down_since_) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - *down_since_)
                             .count();
    down_since_.reset();
    record_link_event("restored", "port reopened after " + std::to_string(seconds) + " s");
  } else {
    const char parity = serial_.parity == Parity::kNone  ? 'N'
                        : serial_.parity == Parity::kOdd ? 'O'
                                                         : 'E';
    log("opened at " + std::to_string(serial_.baud) + " " + std::to_string(serial_.data_bits) +
        parity + std::to_string(serial_.stop_bits));
  }
  start_read();
}

void SerialLine::lost(const std::string& reason) {
  ++port_generation_;
  unsettled_ = false;
  settling_ = false;
  settle_timer_.cancel();
  boost::system::error_code ignored;
  port_.close(ignored);
  if (decoder_.in_frame()) decoder_.abandon();
  const auto now = std::chrono::steady_clock::now();
  if (!down_since_) {
    down_since_ = now;
    last_reminder_ = now;
    ++counters_.link_losses;
    record_link_event("lost", reason + "; reopening every " +
                                  std::to_string(timing_.reopen_interval.count()) + " ms");
  } else if (now - last_reminder_ >= timing_.down_reminder) {
    last_reminder_ = now;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - *down_since_);
    log("still down after " + std::to_string(seconds.count()) + " s: " + reason);
  }
  schedule_reopen();
}

void SerialLine::schedule_reopen() {
  if (!running_) return;
  reopen_timer_.expires_after(timing_.reopen_interval);
  reopen_timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) try_open();
  });
}

void SerialLine::start_read() {
  port_.async_read_some(asio::buffer(read_buffer_),
                        [this, generation = port_generation_](
                            const boost::system::error_code& error, std::size_t size) {
                          if (generation != port_generation_ || !running_) return;
                          if (error) {
                            lost(error.message());
                            return;
                          }
                          if (watcher_) watcher_->bytes_received(size);
                          feeding_ = true;
                          decoder_.feed(read_buffer_.data(), size);
                          feeding_ = false;
                          if (settling_) settle();
                          if (wrote_during_feed_) {
                            wrote_during_feed_ = false;
                            if (decoder_.in_frame()) decoder_.abandon();
                          }
                          if (generation == port_generation_ && port_.is_open()) start_read();
                        });
}

void SerialLine::schedule_poll(std::chrono::milliseconds delay) {
  if (!running_) return;
  poll_timer_.expires_after(delay);
  poll_timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) poll();
  });
}

void SerialLine::poll() {
  if (is_open() && !outstanding_ && queue_.empty() && !stations_.empty()) {
    for (std::size_t i = 0; i < stations_.size(); ++i) {
      const std::size_t index = (next_station_ + i) % stations_.size();
      if (stations_[index]->start_round()) {
        next_station_ = (index + 1) % stations_.size();
        break;
      }
    }
  }
  schedule_poll(timing_.poll_interval);
}

void SerialLine::submit(Station& station, frame::Frame command) {
  queue_.push_back(Exchange{&station, std::move(command)});
  pump();
}

bool SerialLine::has_work_for(const Station& station) const {
  if (outstanding_ && outstanding_->station == &station) return true;
  for (const Exchange& waiting : queue_) {
    if (waiting.station == &station) return true;
  }
  return false;
}

void SerialLine::pump() {
  if (outstanding_ || settling_ || queue_.empty() || !running_) return;
  outstanding_ = std::move(queue_.front());
  queue_.pop_front();
  decoder_.expect_address(outstanding_->command.address);
  const auto timeout = outstanding_->station->settings().response_timeout;
  const std::uint64_t generation = ++exchange_generation_;
  response_timer_.expires_after(timeout);
  response_timer_.async_wait([this, generation](const boost::system::error_code& error) {
    if (!error && generation == exchange_generation_) on_timeout();
  });
  const std::string wire = frame::encode(outstanding_->command);
  if (watcher_) watcher_->command_written(*outstanding_->station, outstanding_->command, wire);
  write(wire);
}

void SerialLine::drop_earlier_input() {
  tcflush(port_.native_handle(), TCIFLUSH);
  if (feeding_) {
    wrote_during_feed_ = true;
  } else if (decoder_.in_frame()) {
    decoder_.abandon();
  }
}

void SerialLine::write(const std::string& wire) {
  if (!port_.is_open()) return;
  drop_earlier_input();
  boost::system::error_code error;
  asio::write(port_, asio::buffer(wire), error);
  if (error) lost("write failed: " + error.message());
}

void SerialLine::on_frame(const frame::Frame& frame) {
  if (settling_) {
    observe_frame(frame, frame::FrameVerdict::kStale);
    ++counters_.stale;
    log("frame " + command_text(frame) + " came while the line settles after a timeout, dropped");
    return;
  }
  if (wrote_during_feed_) {
    observe_frame(frame, frame::FrameVerdict::kStale);
    ++counters_.stale;
    log("frame " + command_text(frame) + " came before the command now outstanding, dropped");
    return;
  }
  if (!outstanding_) {
    observe_frame(frame, frame::FrameVerdict::kUnexpected);
    ++counters_.unexpected;
    log("frame " + command_text(frame) + " answers no outstanding command, ignored");
    return;
  }
  const frame::Frame& command = outstanding_->command;
  if (same_frame(frame, command)) {
    observe_frame(frame, frame::FrameVerdict::kEcho);
    ++counters_.echoes;
    log("echo of our command " + command_text(command) + " ignored");
    return;
  }
  if (frame.cid1 != command.cid1) {
    observe_frame(frame, frame::FrameVerdict::kUnexpected);
    ++counters_.unexpected;
    log("frame " + command_text(frame) + " does not answer " + command_text(command) + ", ignored");
    return;
  }
  observe_frame(frame, frame::FrameVerdict::kTaken);
  Station& station = *outstanding_->station;
  outstanding_.reset();
  ++exchange_generation_;
  response_timer_.cancel();
  if (unsettled_) {
    unsettled_ = false;
    settle();
  }
  if (frame.code != frame::kRtnNormal) {
    char rtn[8];
    std::snprintf(rtn, sizeof rtn, "%02X", frame.code);
    log(command_text(command) + " refused with RTN " + rtn);
    station.refused_answer();
  } else {
    station.answer(frame::decoded_response(frame));
  }
  pump();
}

void SerialLine::observe_frame(const frame::Frame& frame, frame::FrameVerdict verdict) {
  if (watcher_) {
    watcher_->frame_read(outstanding_ ? outstanding_->station : nullptr, frame,
                         decoder_.frame_digits(), verdict);
  }
}

void SerialLine::on_bad_input(frame::DecodeError error, const frame::Frame* header) {
  if (watcher_) {
    watcher_->bad_input(outstanding_ ? outstanding_->station : nullptr, error, header,
                        decoder_.frame_digits());
  }
  std::string text = std::string("bad input: ") + frame::to_string(error);
  if (header) {
    char from[32];
    std::snprintf(from, sizeof from, " (address %u, %02X/%02X)", header->address, header->cid1,
                  header->code);
    text += from;
  }
  log(text);
}

void SerialLine::on_timeout() {
  if (!outstanding_) return;
  const Exchange expired = std::move(*outstanding_);
  outstanding_.reset();
  unsettled_ = true;
  settle_for_ = std::min(kSettleQuiet, expired.station->settings().response_timeout);
  if (watcher_) watcher_->timed_out(*expired.station, expired.command);
  if (decoder_.in_frame()) decoder_.abandon();
  log("no answer to " + command_text(expired.command) + " within " +
      std::to_string(expired.station->settings().response_timeout.count()) + " ms");
  expired.station->no_answer();
  pump();
}

void SerialLine::settle() {
  settling_ = true;
  settle_timer_.expires_after(settle_for_);
  settle_timer_.async_wait([this](const boost::system::error_code& error) {
    if (error) return;
    settling_ = false;
    pump();
  });
}

Json::Value SerialLine::status() const {
  Json::Value status(Json::objectValue);
  status["port"] = port_path_;
  status["link"] = is_open() ? "up" : "down";
  status["frames"] = Json::UInt64(decoder_.frame_count());
  status["echoes"] = Json::UInt64(counters_.echoes);
  status["unexpected"] = Json::UInt64(counters_.unexpected);
  status["stale"] = Json::UInt64(counters_.stale);
  status["link_losses"] = Json::UInt64(counters_.link_losses);
  Json::Value errors(Json::objectValue);
  for (std::size_t kind = 0; kind < frame::kDecodeErrorKinds; ++kind) {
    const auto error = static_cast<frame::DecodeError>(kind);
    errors[frame::to_string(error)] = Json::UInt64(decoder_.error_count(error));
  }
  status["errors"] = errors;
  return status;
}

void SerialLine::log(const std::string& text) {
  console_.note(port_path_, text);
}

void SerialLine::record_link_event(const std::string& event, const std::string& detail) {
  const std::int64_t now_ms = hostkit::utc_now_ms();
  const events::CommEvent comm{hostkit::local_time_text(now_ms), port_path_, event, detail, now_ms};
  history_.add_comm_event(comm);
  console_.link(comm);
  if (observer_) observer_->comm_event(comm);
}

}  // namespace kelvra::line
