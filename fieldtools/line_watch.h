// What `run` attaches to each serial line: the wire trace, when asked for, and the hints.
#pragma once

#include <memory>
#include <string>

#include "fieldtools/line_hints.h"
#include "frame-codec/frame_trace.h"
#include "station/line_observer.h"

namespace kelvra::fieldtools {

class LineWatch : public station::LineObserver {
 public:
  // `trace` may be null (no trace) and is shared by the lines of a run; `hints` may be null.
  LineWatch(frame::FrameTrace* trace, std::unique_ptr<LineHints> hints);

  void command_written(const station::Station& station, const frame::Frame& command,
                       std::string_view wire) override;
  void bytes_received(std::size_t count) override;
  void frame_read(const station::Station* station, const frame::Frame& frame,
                  std::string_view digits, frame::FrameVerdict verdict) override;
  void bad_input(const station::Station* station, frame::DecodeError error,
                 const frame::Frame* header, std::string_view digits) override;
  void timed_out(const station::Station& station, const frame::Frame& command) override;

 private:
  // Input outside any exchange is shown under the device that wrote last.
  std::string_view device_of(const station::Station* station) const;

  frame::FrameTrace* trace_;
  std::unique_ptr<LineHints> hints_;
  const station::Station* last_writer_ = nullptr;
};

}  // namespace kelvra::fieldtools
