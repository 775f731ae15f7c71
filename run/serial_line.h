// A serial line of the run: the port driver and its state machine, with its notes printed, its
// link events stored and told, and its traffic shown to a watcher by station.
#pragma once

#include <string>
#include <vector>

#include <json/value.h>
#include <boost/asio/io_context.hpp>

#include "history/history_store.h"
#include "run/settings.h"
#include "serial/serial_port_link.h"
#include "station/console.h"
#include "station/line_observer.h"
#include "station/run_events.h"

namespace kelvra::run {

using station::Console;
using station::LineObserver;
using station::RunObserver;
using station::SerialOptions;
using station::Station;
class SerialLine final : private serial::LineSink, private serial::LineWatcher {
 public:
  SerialLine(boost::asio::io_context& io, std::string port, SerialOptions serial,
             serial::LineTiming timing, Console& console, history::HistoryStore& history,
             const hostkit::TurnClock& clock);
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // Stations are polled in the order added, one round at a time.
  void add(Station& station);
  void start() { link_.start(); }
  void stop() { link_.stop(); }

  // What a station uses of its line.
  serial::LineAccess& access() { return link_; }
  // Where every link event is also told.
  void set_observer(RunObserver* observer) { observer_ = observer; }
  // Shows the traffic to `watcher` (a trace, hints); null stops it. Not owned.
  void watch(LineObserver* watcher);
  Json::Value status() const { return link_.status(); }

 private:
  // serial::LineSink
  void note(const std::string& port, const std::string& text) override;
  void link_event(events::CommEvent event) override;
  // serial::LineWatcher: by station id, as the stations were added.
  void command_written(serial::StationId station, const frame::Frame& command,
                       std::string_view wire) override;
  void bytes_received(std::size_t count) override;
  void frame_read(std::optional<serial::StationId> station, const frame::Frame& frame,
                  std::string_view digits, frame::FrameVerdict verdict) override;
  void bad_input(std::optional<serial::StationId> station, frame::DecodeError error,
                 const frame::Frame* header, std::string_view digits) override;
  void timed_out(serial::StationId station, const frame::Frame& command) override;
  const Station* station_of(std::optional<serial::StationId> station) const;

  Console& console_;
  history::HistoryStore& history_;
  RunObserver* observer_ = nullptr;
  LineObserver* watcher_ = nullptr;
  std::vector<Station*> stations_;  // by station id
  serial::SerialPortLink link_;     // last: it reports to the members above until it stops
};

}  // namespace kelvra::run
