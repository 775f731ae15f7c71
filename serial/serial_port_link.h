// A serial line driven by its LineMachine: carries out the machine's actions on the carrier its
// port names (a serial device, or a serial device server over TCP), its one timer and its
// stations, and feeds it what happened. Everything runs on the io_context's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "hostkit/machine_inbox.h"
#include "hostkit/turn_clock.h"
#include "serial/line_client.h"
#include "serial/line_machine.h"
#include "serial/line_sink.h"
#include "serial/line_transport.h"

namespace kelvra::serial {

class SerialPortLink final : public LineAccess {
 public:
  // `port` is a device path, tcp://HOST:PORT or rfc2217://HOST:PORT; throws hostkit::InputError
  // when it is neither.
  SerialPortLink(boost::asio::io_context& io, std::string port, SerialOptions serial,
                 LineTiming timing, LineSink& sink, const hostkit::TurnClock& clock);
  ~SerialPortLink() override;
  SerialPortLink(const SerialPortLink&) = delete;
  SerialPortLink& operator=(const SerialPortLink&) = delete;

  // Stations are polled in the order added; ids count from 0.
  StationId add(LineClient& client, std::chrono::milliseconds response_timeout);
  // Opens the port (or keeps trying) and starts polling.
  void start();
  // Stops polling and closes the port; an outstanding exchange is dropped unanswered.
  void stop();
  // Shows the traffic to `watcher`; null stops it. Not owned.
  void watch(LineWatcher* watcher) { machine_.watch(watcher); }

  void submit(LineClient& client, frame::Frame command) override;
  bool has_work_for(const LineClient& client) const override;
  bool is_open() const override { return machine_.is_open(); }
  bool is_lost() const override { return machine_.is_lost(); }
  const std::string& port() const override { return port_path_; }

  const LineCounters& counters() const { return machine_.counters(); }
  Json::Value status() const;

 private:
  // Inputs that arrive while actions are carried out wait their turn, so that the machine never
  // steps inside its own step.
  void feed(Input input);
  void carry_out(Action& action);
  void open_port();
  void start_read();
  void write(std::string wire);
  void arm_timer(TimePoint deadline);
  void link_event(const char* event, std::string detail);
  StationId id_of(const LineClient& client) const;

  std::string port_path_;
  PortAddress address_;
  LineSink& sink_;
  const hostkit::TurnClock& clock_;  // the loop turn's time
  LineMachine machine_;
  std::unique_ptr<LineTransport> transport_;
  boost::asio::steady_timer timer_;
  std::vector<LineClient*> clients_;
  hostkit::MachineInbox<Input> inbox_;
  // Bumped whenever the port closes, so that handlers of an earlier port that fire late are
  // recognised and dropped.
  std::uint64_t port_generation_ = 0;
};

}  // namespace kelvra::serial
