// What a serial line shows of its traffic to a watcher, e.g. a wire trace or the hints; every
// call comes on the line's own thread, in the order things happened.
#pragma once

#include <cstddef>
#include <string_view>

#include "frame-codec/frame_codec.h"
#include "frame-codec/frame_trace.h"

namespace kelvra::station {

class Station;

class LineObserver {
 public:
  virtual ~LineObserver() = default;

  // Just before `wire`, the encoding of `command`, is written for `station`.
  virtual void command_written(const Station& station, const frame::Frame& command,
                               std::string_view wire) = 0;
  // A read returned `count` bytes, before the decoder takes them.
  virtual void bytes_received(std::size_t count) = 0;
  // A checked frame and what the line made of it; `station` is the one with the exchange
  // outstanding, null when none is. `digits` follow SOI, EOI excluded.
  virtual void frame_read(const Station* station, const frame::Frame& frame,
                          std::string_view digits, frame::FrameVerdict verdict) = 0;
  virtual void bad_input(const Station* station, frame::DecodeError error,
                         const frame::Frame* header, std::string_view digits) = 0;
  // No answer to `command` within the station's response timeout.
  virtual void timed_out(const Station& station, const frame::Frame& command) = 0;
};

}  // namespace kelvra::station
