#include "serial/line_machine.h"

#include <algorithm>
#include <cstdio>

namespace kelvra::serial {
namespace {

using Kind = Action::Kind;

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

std::string ms_text(std::chrono::milliseconds duration) {
  return std::to_string(duration.count()) + " ms";
}

}  // namespace

const char* to_string(State state) {
  switch (state) {
    case State::kStopped:
      return "stopped";
    case State::kOpening:
      return "opening";
    case State::kClosed:
      return "closed";
    case State::kIdle:
      return "idle";
    case State::kAwaiting:
      return "awaiting";
    case State::kSettling:
      return "settling";
  }
  return "?";
}

LineMachine::LineMachine(SerialOptions serial, LineTiming timing)
    : serial_(serial),
      timing_(timing),
      decoder_([this](const frame::Frame& frame) { on_frame(frame); },
               [this](frame::DecodeError error, const frame::Frame* header) {
                 on_bad_input(error, header);
               }),
      health_(timing.down_reminder) {}

StationId LineMachine::add_station(std::chrono::milliseconds response_timeout) {
  response_timeouts_.push_back(response_timeout);
  return response_timeouts_.size() - 1;
}

bool LineMachine::is_open() const {
  return state_ == State::kIdle || state_ == State::kAwaiting || state_ == State::kSettling;
}

bool LineMachine::is_lost() const {
  return state_ == State::kStopped || state_ == State::kClosed ||
         (state_ == State::kOpening && health_.state() == hostkit::LinkHealth::State::kDown);
}

bool LineMachine::has_work_for(StationId station) const {
  if (outstanding_ && outstanding_->station == station) return true;
  return std::any_of(queue_.begin(), queue_.end(),
                     [station](const Exchange& waiting) { return waiting.station == station; });
}

std::vector<Action> LineMachine::step(const Input& input, TimePoint now) {
  actions_.clear();
  now_ = now;
  switch (input.kind) {
    case Input::Kind::kStart:
      start();
      break;
    case Input::Kind::kStop:
      stop();
      break;
    case Input::Kind::kOpened:
      opened();
      break;
    case Input::Kind::kOpenFailed:
      lost("cannot open: " + input.reason);
      break;
    case Input::Kind::kWriteDone:
      write_deadline_.reset();
      pump();
      break;
    case Input::Kind::kWriteFailed:
      lost("write failed: " + input.reason);
      break;
    case Input::Kind::kReadFailed:
      lost(input.reason);
      break;
    case Input::Kind::kBytesReceived:
      if (!is_open()) break;
      if (watcher_) watcher_->bytes_received(input.bytes.size());
      unread_.append(input.bytes);
      decode_unread();
      break;
    case Input::Kind::kAnswerTaken:
      decode_unread();
      break;
    case Input::Kind::kTimerFired:
      timer_fired();
      break;
    case Input::Kind::kCommandSubmitted:
      queue_.push_back(Exchange{input.station, input.command});
      pump();
      break;
    case Input::Kind::kRoundStarted:
      next_station_ = (input.station + 1) % response_timeouts_.size();
      break;
    case Input::Kind::kRoundDeclined:
      if (round_tries_ < response_timeouts_.size()) {
        ++round_tries_;
        act(Kind::kStartRound, (input.station + 1) % response_timeouts_.size());
      }
      break;
  }
  for (std::string& line : noise_.step({}, now_)) act(Kind::kNote, 0, std::move(line));
  arm_timer();
  return std::move(actions_);
}

void LineMachine::start() {
  if (state_ != State::kStopped) return;
  state_ = State::kOpening;
  next_poll_ = now_;
  act(Kind::kOpenPort);
}

void LineMachine::stop() {
  state_ = State::kStopped;
  outstanding_.reset();
  queue_.clear();
  write_deadline_.reset();
  settle_after_answer_ = false;
  unread_.clear();
  wrote_during_read_ = false;
  act(Kind::kClosePort);
}

void LineMachine::opened() {
  if (state_ != State::kOpening) return;
  state_ = outstanding_ ? State::kAwaiting : State::kIdle;
  reopen_wait_ = std::chrono::milliseconds{0};
  const hostkit::LinkHealth::Verdict verdict =
      health_.step(hostkit::LinkHealth::Input::kWorking, now_);
  if (verdict.say == hostkit::LinkHealth::Say::kBack) {
    act(Kind::kLinkRestored, 0,
        "port reopened after " + std::to_string(verdict.down_for.count()) + " s");
  } else {
    act(Kind::kNote, 0, "opened at " + format_text(serial_));
  }
  pump();
  if (poll_when_open_) poll();
}

void LineMachine::lost(const std::string& reason) {
  if (state_ == State::kStopped) return;
  state_ = State::kClosed;
  const std::chrono::milliseconds wait =
      reopen_wait_.count() > 0 ? reopen_wait_ : timing_.reopen_interval;
  reopen_at_ = now_ + wait;
  reopen_wait_ =
      std::min(2 * wait, std::max(timing_.reopen_backoff_limit, timing_.reopen_interval));
  settle_after_answer_ = false;
  write_deadline_.reset();
  unread_.clear();
  wrote_during_read_ = false;
  act(Kind::kClosePort);
  if (decoder_.in_frame()) decoder_.abandon();
  const hostkit::LinkHealth::Verdict verdict =
      health_.step(hostkit::LinkHealth::Input::kFailed, now_);
  if (verdict.say == hostkit::LinkHealth::Say::kLost) {
    ++counters_.link_losses;
    const bool backs_off = timing_.reopen_backoff_limit > timing_.reopen_interval;
    act(Kind::kLinkLost, 0,
        reason + (backs_off ? "; reopening after " + ms_text(timing_.reopen_interval) +
                                  ", backing off up to " + ms_text(timing_.reopen_backoff_limit)
                            : "; reopening every " + ms_text(timing_.reopen_interval)));
  } else if (verdict.say == hostkit::LinkHealth::Say::kReminder) {
    act(Kind::kNote, 0,
        "still down after " + std::to_string(verdict.down_for.count()) + " s: " + reason);
  }
  // A command held for the write in flight now runs out its time unwritten.
  pump();
}

void LineMachine::timer_fired() {
  armed_.reset();
  if (write_deadline_ && now_ >= *write_deadline_) {
    lost("write not finished within " + ms_text(timing_.write_timeout));
  }
  if (outstanding_ && now_ >= response_deadline_) time_out();
  if (state_ == State::kSettling && now_ >= settle_until_) {
    state_ = State::kIdle;
    pump();
  }
  if (state_ == State::kClosed && now_ >= reopen_at_) {
    state_ = State::kOpening;
    act(Kind::kOpenPort);
  }
  if (state_ != State::kStopped && now_ >= next_poll_) poll();
}

void LineMachine::poll() {
  next_poll_ = now_ + timing_.poll_interval;
  // A poll due while the port opens (a TCP connect takes a while) is made once it is open.
  poll_when_open_ = state_ == State::kOpening || state_ == State::kClosed;
  const bool line_free = (state_ == State::kIdle || state_ == State::kSettling) && queue_.empty();
  if (!line_free || response_timeouts_.empty()) return;
  round_tries_ = 1;
  act(Kind::kStartRound, next_station_);
}

void LineMachine::pump() {
  if (outstanding_ || queue_.empty() || write_deadline_) return;
  if (state_ == State::kSettling || state_ == State::kStopped) return;
  outstanding_ = std::move(queue_.front());
  queue_.pop_front();
  decoder_.expect_address(outstanding_->command.address);
  response_deadline_ = now_ + response_timeouts_[outstanding_->station];
  // A closed port writes nothing: the command runs out its response time unanswered.
  if (state_ == State::kIdle) write_outstanding();
}

void LineMachine::write_outstanding() {
  state_ = State::kAwaiting;
  std::string wire = frame::encode(outstanding_->command);
  if (watcher_) watcher_->command_written(outstanding_->station, outstanding_->command, wire);
  // What was received before the command goes out cannot pass as its answer.
  if (!unread_.empty()) {
    wrote_during_read_ = true;
  } else if (decoder_.in_frame()) {
    decoder_.abandon();
  }
  write_deadline_ = now_ + timing_.write_timeout;
  act(Kind::kWrite, outstanding_->station, std::move(wire));
}

void LineMachine::time_out() {
  const Exchange expired = std::move(*outstanding_);
  outstanding_.reset();
  if (state_ == State::kAwaiting) state_ = State::kIdle;
  const std::chrono::milliseconds timeout = response_timeouts_[expired.station];
  settle_after_answer_ = true;
  settle_for_ = std::min(kSettleQuiet, timeout);
  if (watcher_) watcher_->timed_out(expired.station, expired.command);
  if (decoder_.in_frame()) decoder_.abandon();
  act(Kind::kNote, 0,
      "no answer to " + command_text(expired.command) + " within " + ms_text(timeout));
  act(Kind::kNoAnswer, expired.station);
  pump();
}

void LineMachine::decode_unread() {
  answer_taken_ = false;
  std::size_t used = 0;
  while (used < unread_.size() && !answer_taken_) {
    decoder_.feed(reinterpret_cast<const std::uint8_t*>(unread_.data()) + used, 1);
    ++used;
  }
  unread_.erase(0, used);
  if (answer_taken_) {
    pump();
    return;
  }
  // Settling lasts until the line has been quiet for the settle time.
  if (state_ == State::kSettling) settle();
  if (wrote_during_read_) {
    wrote_during_read_ = false;
    if (decoder_.in_frame()) decoder_.abandon();
  }
}

void LineMachine::on_frame(const frame::Frame& frame) {
  const std::string text = "frame " + command_text(frame);
  if (state_ == State::kSettling) {
    drop(frame, frame::FrameVerdict::kStale, counters_.stale,
         text + " came while the line settles after a timeout, dropped");
  } else if (wrote_during_read_) {
    drop(frame, frame::FrameVerdict::kStale, counters_.stale,
         text + " came before the command now outstanding, dropped");
  } else if (!outstanding_) {
    drop(frame, frame::FrameVerdict::kUnexpected, counters_.unexpected,
         text + " answers no outstanding command, ignored");
  } else if (same_frame(frame, outstanding_->command)) {
    drop(frame, frame::FrameVerdict::kEcho, counters_.echoes,
         "echo of our command " + command_text(outstanding_->command) + " ignored");
  } else if (frame.cid1 != outstanding_->command.cid1) {
    drop(frame, frame::FrameVerdict::kUnexpected, counters_.unexpected,
         text + " does not answer " + command_text(outstanding_->command) + ", ignored");
  } else {
    take_answer(frame);
  }
}

void LineMachine::drop(const frame::Frame& frame, frame::FrameVerdict verdict,
                       std::uint64_t& counter, const std::string& text) {
  observe(frame, verdict);
  ++counter;
  note_noise(std::string(frame::to_string(verdict)) + " frames", text);
}

void LineMachine::note_noise(std::string kind, std::string text) {
  NoiseNotes::Input noise{NoiseNotes::Input::Kind::kNoise, std::move(kind), std::move(text)};
  for (std::string& line : noise_.step(noise, now_)) act(Kind::kNote, 0, std::move(line));
}

void LineMachine::take_answer(const frame::Frame& frame) {
  observe(frame, frame::FrameVerdict::kTaken);
  const Exchange taken = std::move(*outstanding_);
  outstanding_.reset();
  state_ = State::kIdle;
  answer_taken_ = true;
  if (settle_after_answer_) {
    settle_after_answer_ = false;
    settle();
  }
  if (frame.code != frame::kRtnNormal) {
    char rtn[8];
    std::snprintf(rtn, sizeof rtn, "%02X", frame.code);
    act(Kind::kNote, 0, command_text(taken.command) + " refused with RTN " + rtn);
    act(Kind::kRefused, taken.station);
    return;
  }
  act(Kind::kDeliver, taken.station);
  actions_.back().response = frame::decoded_response(frame);
}

void LineMachine::observe(const frame::Frame& frame, frame::FrameVerdict verdict) {
  if (!watcher_) return;
  const auto station =
      outstanding_ ? std::optional<StationId>(outstanding_->station) : std::nullopt;
  watcher_->frame_read(station, frame, decoder_.frame_digits(), verdict);
}

void LineMachine::on_bad_input(frame::DecodeError error, const frame::Frame* header) {
  if (watcher_) {
    const auto station =
        outstanding_ ? std::optional<StationId>(outstanding_->station) : std::nullopt;
    watcher_->bad_input(station, error, header, decoder_.frame_digits());
  }
  std::string text = std::string("bad input: ") + frame::to_string(error);
  if (header) {
    char from[32];
    std::snprintf(from, sizeof from, " (address %u, %02X/%02X)", header->address, header->cid1,
                  header->code);
    text += from;
  }
  note_noise(frame::to_string(error), std::move(text));
}

void LineMachine::settle() {
  state_ = State::kSettling;
  settle_until_ = now_ + settle_for_;
}

std::optional<TimePoint> LineMachine::next_deadline() const {
  std::optional<TimePoint> next;
  const auto consider = [&next](bool applies, TimePoint deadline) {
    if (applies && (!next || deadline < *next)) next = deadline;
  };
  consider(write_deadline_.has_value(), write_deadline_.value_or(TimePoint{}));
  consider(outstanding_.has_value(), response_deadline_);
  consider(state_ == State::kSettling, settle_until_);
  consider(state_ == State::kClosed, reopen_at_);
  consider(state_ != State::kStopped, next_poll_);
  return next;
}

void LineMachine::arm_timer() {
  const std::optional<TimePoint> next = next_deadline();
  if (next == armed_) return;
  armed_ = next;
  if (next) {
    act(Kind::kArmTimer);
    actions_.back().deadline = *next;
  } else {
    act(Kind::kCancelTimer);
  }
}

void LineMachine::act(Action::Kind kind, StationId station, std::string text) {
  actions_.push_back(Action{kind, station, std::move(text), {}, {}});
}

}  // namespace kelvra::serial
