// The exchanges on one shared serial line as a state machine, without I/O: commands queued and
// written one at a time, answers checked and handed to the station that asked, timeouts, a quiet
// wait after a late answer, stations polled in turn, and a port reopened until it is back.
// step() takes what happened and returns what to do; its driver carries that out.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame-codec/frame_codec.h"
#include "hostkit/link_health.h"
#include "serial/line_sink.h"
#include "serial/noise_notes.h"
#include "serial/port_options.h"

namespace kelvra::serial {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

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
  // Above reopen_interval: the wait doubles after each failed reopen, up to this (a server that
  // refuses is not hammered). At or below: every reopen_interval.
  std::chrono::milliseconds reopen_backoff_limit{0};
  // While the port stays away, a reminder is logged at most this often.
  std::chrono::milliseconds down_reminder{60000};
  // A write not finished within this is a line fault: a peer that stops reading.
  std::chrono::milliseconds write_timeout{2000};
};

enum class State {
  kStopped,   // not started, or stopped
  kOpening,   // the port is being opened
  kClosed,    // the port failed; it is opened again at the reopen time
  kIdle,      // open, no command outstanding
  kAwaiting,  // open, one command outstanding until its response deadline
  kSettling,  // open, writes held until no byte arrived for the settle time
};
const char* to_string(State state);

struct Input {
  enum class Kind {
    kStart,
    kStop,
    kOpened,
    kOpenFailed,  // reason
    kWriteDone,
    kWriteFailed,    // reason
    kReadFailed,     // reason
    kBytesReceived,  // bytes
    kAnswerTaken,    // the station has taken the answer delivered last
    kTimerFired,
    kCommandSubmitted,  // station, command
    kRoundStarted,      // station
    kRoundDeclined,     // station
  };
  Kind kind;
  StationId station = 0;
  frame::Frame command{};
  std::string_view bytes{};  // read by step() only
  std::string reason{};      // the system's words for a failure
};

struct Action {
  enum class Kind {
    kOpenPort,
    kClosePort,
    kWrite,       // text: the wire; input received so far is flushed first
    kStartRound,  // station
    kDeliver,     // station, response: decoded, RTN 0
    kRefused,     // station
    kNoAnswer,    // station
    kArmTimer,    // deadline: the one timer fires then (replacing any earlier arming)
    kCancelTimer,
    kLinkLost,      // text: the event's detail
    kLinkRestored,  // text: the event's detail
    kNote,          // text: a console note
  };
  Kind kind;
  StationId station = 0;
  std::string text{};
  std::vector<std::uint8_t> response{};
  TimePoint deadline{};
};

class LineMachine {
 public:
  // After a timeout the equipment may still answer the expired command, and then every command
  // it queued meanwhile: the first answer accepted after a timeout is followed by a quiet wait.
  static constexpr std::chrono::milliseconds kSettleQuiet{100};

  LineMachine(SerialOptions serial, LineTiming timing);

  // Stations are polled in the order added.
  StationId add_station(std::chrono::milliseconds response_timeout);
  // Shows the traffic to `watcher` while it decodes; null stops it. Not owned.
  void watch(LineWatcher* watcher) { watcher_ = watcher; }

  // The one transition function.
  std::vector<Action> step(const Input& input, TimePoint now);

  State state() const { return state_; }
  bool has_work_for(StationId station) const;
  bool is_open() const;
  // Stopped, or failed and not open again (a first open under way is not lost).
  bool is_lost() const;
  const LineCounters& counters() const { return counters_; }
  const frame::Decoder& decoder() const { return decoder_; }

 private:
  struct Exchange {
    StationId station;
    frame::Frame command;
  };

  void start();
  void stop();
  void opened();
  void lost(const std::string& reason);
  void timer_fired();
  void poll();
  void pump();
  void write_outstanding();
  void time_out();
  // Decodes what was read until an answer is taken; the rest waits for kAnswerTaken, so that a
  // command the station writes in reply makes it stale.
  void decode_unread();
  void on_frame(const frame::Frame& frame);
  void drop(const frame::Frame& frame, frame::FrameVerdict verdict, std::uint64_t& counter,
            const std::string& text);
  // A note on line noise, said or counted as noise_ decides.
  void note_noise(std::string kind, std::string text);
  void take_answer(const frame::Frame& frame);
  void observe(const frame::Frame& frame, frame::FrameVerdict verdict);
  void on_bad_input(frame::DecodeError error, const frame::Frame* header);
  void settle();
  void arm_timer();
  std::optional<TimePoint> next_deadline() const;
  void act(Action::Kind kind, StationId station = 0, std::string text = {});

  SerialOptions serial_;
  LineTiming timing_;
  State state_ = State::kStopped;
  std::vector<std::chrono::milliseconds> response_timeouts_;  // by station
  std::size_t next_station_ = 0;
  std::deque<Exchange> queue_;
  std::optional<Exchange> outstanding_;
  TimePoint response_deadline_{};
  std::optional<TimePoint> write_deadline_;  // while a write is in flight
  TimePoint next_poll_{};
  bool poll_when_open_ = false;
  TimePoint reopen_at_{};
  std::chrono::milliseconds reopen_wait_{0};  // before the next reopen; 0: reopen_interval
  TimePoint settle_until_{};
  std::chrono::milliseconds settle_for_{0};
  bool settle_after_answer_ = false;  // a command expired since the last answer
  std::size_t round_tries_ = 0;       // stations asked in this poll
  frame::Decoder decoder_;
  std::string unread_;              // bytes read and not decoded yet
  bool wrote_during_read_ = false;  // the rest of the read came before the command just written
  bool answer_taken_ = false;       // during decoding: stop after this byte
  std::optional<TimePoint> armed_;
  hostkit::LinkHealth health_;
  NoiseNotes noise_;
  LineCounters counters_;
  LineWatcher* watcher_ = nullptr;
  std::vector<Action> actions_;  // of the step under way
  TimePoint now_{};              // of the step under way
};

}  // namespace kelvra::serial
