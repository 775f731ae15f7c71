// A station and its line, as each sees the other: the line calls the station when it is its turn
// and with what came back; the station hands the line its commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame-codec/frame_codec.h"

namespace kelvra::serial {

// What a line calls on a station, always on the line's thread.
class LineClient {
 public:
  virtual ~LineClient() = default;
  // Its turn to poll: true when a round started.
  virtual bool start_round() = 0;
  // A checked response with RTN 0, in the decoded layout the device takes.
  virtual void answer(std::vector<std::uint8_t> decoded) = 0;
  // A response with another RTN.
  virtual void refused_answer() = 0;
  // None within the response timeout.
  virtual void no_answer() = 0;
};

// What a station needs of its line.
class LineAccess {
 public:
  virtual ~LineAccess() = default;
  // Queues one command; it is written when no other exchange is outstanding on the line.
  virtual void submit(LineClient& client, frame::Frame command) = 0;
  // True while a command of `client` is outstanding or queued.
  virtual bool has_work_for(const LineClient& client) const = 0;
  virtual bool is_open() const = 0;
  // Failed and not back yet; a first open still under way (a TCP connect) is not lost.
  virtual bool is_lost() const { return !is_open(); }
  virtual const std::string& port() const = 0;
};

}  // namespace kelvra::serial
