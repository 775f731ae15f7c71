#include "fieldtools/run_watch.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "fieldtools/line_watch.h"

namespace kelvra::fieldtools {

RunWatch::RunWatch(bool trace, const std::optional<std::string>& trace_file, std::FILE* out,
                   station::Console& console)
    : console_(console) {
  std::FILE* trace_out = trace ? out : nullptr;
  if (trace_file) {
    trace_file_ = std::fopen(trace_file->c_str(), "w");
    if (trace_file_ == nullptr) {
      throw std::runtime_error("--trace-file " + *trace_file + ": " + std::strerror(errno));
    }
    trace_out = trace_file_;
  }
  if (trace_out) {
    trace_ =
        std::make_unique<frame::FrameTrace>(trace_out, console.json(), frame::TraceSide::kHost);
  }
}

RunWatch::~RunWatch() {
  if (trace_file_) std::fclose(trace_file_);
}

std::function<std::unique_ptr<station::LineObserver>(const std::string& port)>
RunWatch::line_watcher() {
  return [this](const std::string& port) -> std::unique_ptr<station::LineObserver> {
    auto hints = std::make_unique<LineHints>(port, [this, port](Hint, const std::string& text) {
      console_.note(port, "hint: " + text);
    });
    return std::make_unique<LineWatch>(trace_.get(), std::move(hints));
  };
}

}  // namespace kelvra::fieldtools
