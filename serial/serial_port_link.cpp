#include "serial/serial_port_link.h"

#include <algorithm>

#include "hostkit/local_time.h"

namespace kelvra::serial {
namespace {

// A server over TCP that refuses or is away is asked again less and less often.
constexpr std::chrono::milliseconds kTcpReopenBackoffLimit{30000};

LineTiming timing_for(const PortAddress& address, LineTiming timing) {
  if (address.is_tcp() && timing.reopen_backoff_limit.count() == 0) {
    timing.reopen_backoff_limit = kTcpReopenBackoffLimit;
  }
  return timing;
}

Input input_of(Input::Kind kind, std::string reason = {}) {
  Input input{kind};
  input.reason = std::move(reason);
  return input;
}

}  // namespace

SerialPortLink::SerialPortLink(boost::asio::io_context& io, std::string port, SerialOptions serial,
                               LineTiming timing, LineSink& sink, const hostkit::TurnClock& clock)
    : port_path_(std::move(port)),
      address_(parse_port_address(port_path_)),
      sink_(sink),
      clock_(clock),
      machine_(serial, timing_for(address_, timing)),
      transport_(make_transport(io, address_, serial)),
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
      transport_->close();
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
  transport_->open([this, generation = port_generation_](std::string reason) {
    if (generation != port_generation_) return;
    if (!reason.empty()) {
      feed(input_of(Input::Kind::kOpenFailed, std::move(reason)));
      return;
    }
    ++port_generation_;
    feed(input_of(Input::Kind::kOpened));
    start_read();
  });
}

void SerialPortLink::start_read() {
  transport_->read(
      [this, generation = port_generation_](std::string reason, std::string_view data) {
        if (generation != port_generation_) return;
        if (!reason.empty()) {
          feed(input_of(Input::Kind::kReadFailed, std::move(reason)));
          return;
        }
        Input input{Input::Kind::kBytesReceived};
        input.bytes = data;
        feed(std::move(input));
        if (generation == port_generation_) start_read();
      });
}

void SerialPortLink::write(std::string wire) {
  transport_->discard_input();
  transport_->write(std::move(wire), [this, generation = port_generation_](std::string reason) {
    if (generation != port_generation_) return;
    feed(reason.empty() ? input_of(Input::Kind::kWriteDone)
                        : input_of(Input::Kind::kWriteFailed, std::move(reason)));
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
