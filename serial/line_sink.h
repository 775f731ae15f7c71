// Where a serial line tells what it does: its notes and link events to the run, its traffic to a
// watcher (a trace, hints). Every call comes on the line's own thread, in the order things
// happened.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "events/event.h"
#include "frame-codec/frame_codec.h"
#include "frame-codec/frame_trace.h"

namespace kelvra::serial {

// Stations are numbered in the order they were added to their line, from 0.
using StationId = std::size_t;

class LineSink {
 public:
  virtual ~LineSink() = default;
  // One console note about `port`.
  virtual void note(const std::string& port, const std::string& text) = 0;
  // The port lost ("lost") or back ("restored"); `time` is left for the sink to word, from
  // `time_ms`.
  virtual void link_event(events::CommEvent event) = 0;
};

class LineWatcher {
 public:
  virtual ~LineWatcher() = default;
  // Just before `wire`, the encoding of `command`, is written for `station`.
  virtual void command_written(StationId station, const frame::Frame& command,
                               std::string_view wire) = 0;
  // A read returned `count` bytes, before the decoder takes them.
  virtual void bytes_received(std::size_t count) = 0;
  // A checked frame and what the line made of it; `station` is the one with the exchange
  // outstanding, none when none is. `digits` follow SOI, EOI excluded.
  virtual void frame_read(std::optional<StationId> station, const frame::Frame& frame,
                          std::string_view digits, frame::FrameVerdict verdict) = 0;
  virtual void bad_input(std::optional<StationId> station, frame::DecodeError error,
                         const frame::Frame* header, std::string_view digits) = 0;
  // No answer to `command` within the station's response timeout.
  virtual void timed_out(StationId station, const frame::Frame& command) = 0;
};

}  // namespace kelvra::serial
