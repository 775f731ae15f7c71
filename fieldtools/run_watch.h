// What `run` watches its lines with: the wire trace on standard output or in a file, when asked
// for, and the hints, said as console notes.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "frame-codec/frame_trace.h"
#include "run/bench_run.h"
#include "station/console.h"

namespace kelvra::fieldtools {

class RunWatch {
 public:
  // `trace_file` wins over `trace` (which traces to `out`); throws std::runtime_error naming a
  // trace file that cannot be opened. JSON lines when the console writes JSON.
  RunWatch(bool trace, const std::optional<std::string>& trace_file, std::FILE* out,
           station::Console& console);
  ~RunWatch();
  RunWatch(const RunWatch&) = delete;
  RunWatch& operator=(const RunWatch&) = delete;

  // For RunOptions::watch_line: a LineWatch per line, sharing the trace, with its own hints.
  std::function<std::unique_ptr<station::LineObserver>(const std::string& port)> line_watcher();

 private:
  station::Console& console_;
  std::FILE* trace_file_ = nullptr;  // owned when a file was named
  std::unique_ptr<frame::FrameTrace> trace_;
};

}  // namespace kelvra::fieldtools
