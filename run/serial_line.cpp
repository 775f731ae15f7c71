#include "run/serial_line.h"

#include "station/station.h"

namespace kelvra::run {

using station::Console;
using station::LineObserver;
using station::SerialOptions;
using station::Station;
SerialLine::SerialLine(boost::asio::io_context& io, std::string port, SerialOptions serial,
                       serial::LineTiming timing, Console& console, history::HistoryStore& history,
                       const hostkit::TurnClock& clock)
    : console_(console),
      history_(history),
      link_(io, std::move(port), serial, timing, static_cast<serial::LineSink&>(*this), clock) {}

void SerialLine::add(Station& station) {
  stations_.push_back(&station);
  link_.add(station, station.settings().response_timeout);
}

void SerialLine::watch(LineObserver* watcher) {
  watcher_ = watcher;
  link_.watch(watcher ? static_cast<serial::LineWatcher*>(this) : nullptr);
}

void SerialLine::note(const std::string& port, const std::string& text) {
  console_.note(port, text);
}

void SerialLine::link_event(events::CommEvent event) {
  if (event.event == "lost") {
    for (Station* station : stations_) station->read_everything_next_round();
  }
  history_.add_comm_event(event);
  console_.link(event);
  if (observer_) observer_->comm_event(event);
}

const Station* SerialLine::station_of(std::optional<serial::StationId> station) const {
  return station ? stations_[*station] : nullptr;
}

void SerialLine::command_written(serial::StationId station, const frame::Frame& command,
                                 std::string_view wire) {
  watcher_->command_written(*stations_[station], command, wire);
}

void SerialLine::bytes_received(std::size_t count) {
  watcher_->bytes_received(count);
}

void SerialLine::frame_read(std::optional<serial::StationId> station, const frame::Frame& frame,
                            std::string_view digits, frame::FrameVerdict verdict) {
  watcher_->frame_read(station_of(station), frame, digits, verdict);
}

void SerialLine::bad_input(std::optional<serial::StationId> station, frame::DecodeError error,
                           const frame::Frame* header, std::string_view digits) {
  watcher_->bad_input(station_of(station), error, header, digits);
}

void SerialLine::timed_out(serial::StationId station, const frame::Frame& command) {
  watcher_->timed_out(*stations_[station], command);
}

}  // namespace kelvra::run
