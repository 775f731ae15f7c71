// One serial line and the exchanges on it: commands framed and written one at a time, responses
// checked and handed to the device that asked, timeouts, polling in turn, and a port that is
// closed and reopened until it is back when it fails.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>

#include "frame-codec/frame_codec.h"
#include "history/history_store.h"
#include "line/console.h"
#include "line/line_observer.h"
#include "line/run_events.h"
#include "line/settings.h"

namespace kelvra::line {

class Station;

struct LineCounters {
  std::uint64_t echoes = 0;      // our own command read back from the line
  std::uint64_t unexpected = 0;  // valid frames that answer no outstanding command
  // Frames received before the outstanding command was written: late answers to earlier ones.
  std::uint64_t stale = 0;
  std::uint64_t link_losses = 0;
};

struct LineTiming {
  std::chrono::milliseconds poll_interval{1000};
  std::chrono::milliseconds reopen_interval{3000};
  // While the port stays away, a reminder is logged at most this often.
  std::chrono::milliseconds down_reminder{60000};
};

class SerialLine {
 public:
  SerialLine(boost::asio::io_context& io, std::string port, SerialOptions serial, LineTiming timing,
             Console& console, history::HistoryStore& history);
  ~SerialLine();
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // Stations are polled in the order added, one round at a time.
  void add(Station& station);
  // Opens the port (or keeps trying) and starts polling.
  void start();
  // Stops polling and closes the port; an outstanding exchange is dropped unanswered.
  void stop();

  // Queues one command; it is written when no other exchange is outstanding on the line.
  void submit(Station& station, frame::Frame command);
  // Where every link event is also told.
  void set_observer(RunObserver* observer) { observer_ = observer; }
  bool has_work_for(const Station& station) const;
  bool is_open() const { return port_.is_open(); }
  const std::string& port() const { return port_path_; }

  // Shows the traffic to `observer` (a trace, hints); null stops it. Not owned.
  void watch(LineObserver* watcher) { watcher_ = watcher; }

  const LineCounters& counters() const { return counters_; }
  Json::Value status() const;

 private:
  struct Exchange {
    Station* station;
    frame::Frame command;
  };

  void try_open();
  void schedule_reopen();
  void lost(const std::string& reason);
  void start_read();
  void schedule_poll(std::chrono::milliseconds delay);
  void poll();
  void pump();
  void write(const std::string& wire);
  // Drops what was received before a command goes out, so that it cannot pass as its answer.
  void drop_earlier_input();
  void on_frame(const frame::Frame& frame);
  void observe_frame(const frame::Frame& frame, frame::FrameVerdict verdict);
  void on_bad_input(frame::DecodeError error, const frame::Frame* header);
  void on_timeout();
  // Holds the next write until no byte has arrived for settle_for_; frames completed meanwhile
  // are dropped. A stale frame still arriving when the write goes out is cut off by it.
  void settle();
  void log(const std::string& text);
  void record_link_event(const std::string& event, const std::string& detail);

  std::string port_path_;
  SerialOptions serial_;
  LineTiming timing_;
  Console& console_;
  history::HistoryStore& history_;
  boost::asio::serial_port port_;
  boost::asio::steady_timer poll_timer_;
  boost::asio::steady_timer response_timer_;
  boost::asio::steady_timer reopen_timer_;
  boost::asio::steady_timer settle_timer_;
  frame::Decoder decoder_;
  std::array<std::uint8_t, 512> read_buffer_{};
  std::vector<Station*> stations_;
  std::size_t next_station_ = 0;
  std::deque<Exchange> queue_;
  std::optional<Exchange> outstanding_;
  // Bumped whenever the port closes or an exchange ends, so that handlers of an earlier port or
  // exchange that fire late are recognised and dropped.
  std::uint64_t port_generation_ = 0;
  std::uint64_t exchange_generation_ = 0;
  bool running_ = false;
  bool feeding_ = false;            // the decoder is taking the bytes of one read
  bool wrote_during_feed_ = false;  // the rest of that read came before the command just written
  // After a timeout the equipment may still answer the expired command, and then every command
  // it queued meanwhile: the first answer accepted after a timeout is followed by a quiet wait.
  static constexpr std::chrono::milliseconds kSettleQuiet{100};
  bool unsettled_ = false;
  bool settling_ = false;
  std::chrono::milliseconds settle_for_{0};
  std::optional<std::chrono::steady_clock::time_point> down_since_;
  std::chrono::steady_clock::time_point last_reminder_;
  LineCounters counters_;
  RunObserver* observer_ = nullptr;
  LineObserver* watcher_ = nullptr;
};

}  // namespace kelvra::line
