#include "serial/serial_port_link.h"

#include <termios.h>

#include <algorithm>

#include <boost/asio/write.hpp>

#include "hostkit/local_time.h"

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

Input input_of(Input::Kind kind, std::string reason = {}) {
  Input input{kind};
  input.reason = std::move(reason);
  return input;
}

}  // namespace

SerialPortLink::SerialPortLink(asio::io_context& io, std::string port, SerialOptions serial,
                               LineTiming timing, LineSink& sink, const hostkit::TurnClock& clock)
    : port_path_(std::move(port)),
      serial_(serial),
      sink_(sink),
      clock_(clock),
      machine_(serial, timing),
      port_(io),
      timer_(io) {}

SerialPortLink::~SerialPortLink() {
  stop();
}

StationId SerialPortLink::add(LineClient& client, std::chrono::milliseconds response_timeout) {
  clients_.push_back(&client);
  return machine_.add_station(response_timeout);
}

void SerialPortLink::start() {
  feed(input_of(Input::Kind::kStart));
}

void SerialPortLink::stop() {
  feed(input_of(Input::Kind::kStop));
}

void SerialPortLink::submit(LineClient& client, frame::Frame command) {
  Input input{Input::Kind::kCommandSubmitted, id_of(client)};
  input.command = std::move(command);
  feed(std::move(input));
}

bool SerialPortLink::has_work_for(const LineClient& client) const {
  return machine_.has_work_for(id_of(client));
}

StationId SerialPortLink::id_of(const LineClient& client) const {
  return static_cast<StationId>(std::find(clients_.begin(), clients_.end(), &client) -
                                clients_.begin());
}

void SerialPortLink::feed(Input input) {
  inbox_.feed(std::move(input), [this](const Input& next) {
    for (Action& action : machine_.step(next, clock_.steady())) carry_out(action);
  });
}

void SerialPortLink::carry_out(Action& action) {
  switch (action.kind) {
    case Action::Kind::kOpenPort:
      open_port();
      break;
    case Action::Kind::kClosePort: {
      ++port_generation_;
      boost::system::error_code ignored;
      port_.close(ignored);
      break;
    }
    case Action::Kind::kWrite:
      write(std::move(action.text));
      break;
    case Action::Kind::kStartRound: {
      const bool started = clients_[action.station]->start_round();
      feed(Input{started ? Input::Kind::kRoundStarted : Input::Kind::kRoundDeclined,
                 action.station});
      break;
    }
    case Action::Kind::kDeliver:
      clients_[action.station]->answer(std::move(action.response));
      feed(input_of(Input::Kind::kAnswerTaken));
      break;
    case Action::Kind::kRefused:
      clients_[action.station]->refused_answer();
      feed(input_of(Input::Kind::kAnswerTaken));
      break;
    case Action::Kind::kNoAnswer:
      clients_[action.station]->no_answer();
      break;
    case Action::Kind::kArmTimer:
      arm_timer(action.deadline);
      break;
    case Action::Kind::kCancelTimer:
      timer_.cancel();
      break;
    case Action::Kind::kLinkLost:
      link_event("lost", std::move(action.text));
      break;
    case Action::Kind::kLinkRestored:
      link_event("restored", std::move(action.text));
      break;
    case Action::Kind::kNote:
      sink_.note(port_path_, action.text);
      break;
  }
}

void SerialPortLink::open_port() {
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
    feed(input_of(Input::Kind::kOpenFailed, error.message()));
    return;
  }
  ++port_generation_;
  feed(input_of(Input::Kind::kOpened));
  start_read();
}

void SerialPortLink::start_read() {
  port_.async_read_some(
      asio::buffer(read_buffer_), [this, generation = port_generation_](
                                      const boost::system::error_code& error, std::size_t size) {
        if (generation != port_generation_) return;
        if (error) {
          feed(input_of(Input::Kind::kReadFailed, error.message()));
          return;
        }
        Input input{Input::Kind::kBytesReceived};
        input.bytes = std::string_view(reinterpret_cast<const char*>(read_buffer_.data()), size);
        feed(std::move(input));
        if (generation == port_generation_ && port_.is_open()) start_read();
      });
}

void SerialPortLink::write(std::string wire) {
  tcflush(port_.native_handle(), TCIFLUSH);  // what came before the command is not its answer
  write_buffer_ = std::move(wire);
  asio::async_write(
      port_, asio::buffer(write_buffer_),
      [this, generation = port_generation_](const boost::system::error_code& error, std::size_t) {
        if (generation != port_generation_) return;
        feed(error ? input_of(Input::Kind::kWriteFailed, error.message())
                   : input_of(Input::Kind::kWriteDone));
      });
}

void SerialPortLink::arm_timer(TimePoint deadline) {
  timer_.expires_at(deadline);
  timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) feed(input_of(Input::Kind::kTimerFired));
  });
}

void SerialPortLink::link_event(const char* event, std::string detail) {
  sink_.link_event(events::CommEvent{clock_.utc_ms(), port_path_, event, std::move(detail)});
}

Json::Value SerialPortLink::status() const {
  const frame::Decoder& decoder = machine_.decoder();
  const LineCounters& counters = machine_.counters();
  Json::Value status(Json::objectValue);
  status["port"] = port_path_;
  status["link"] = is_open() ? "up" : "down";
  status["frames"] = Json::UInt64(decoder.frame_count());
  status["echoes"] = Json::UInt64(counters.echoes);
  status["unexpected"] = Json::UInt64(counters.unexpected);
  status["stale"] = Json::UInt64(counters.stale);
  status["link_losses"] = Json::UInt64(counters.link_losses);
  Json::Value errors(Json::objectValue);
  for (std::size_t kind = 0; kind < frame::kDecodeErrorKinds; ++kind) {
    const auto error = static_cast<frame::DecodeError>(kind);
    errors[frame::to_string(error)] = Json::UInt64(decoder.error_count(error));
  }
  status["errors"] = errors;
  return status;
}

}  // namespace kelvra::serial
