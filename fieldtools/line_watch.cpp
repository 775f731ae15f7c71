#include "fieldtools/line_watch.h"

#include "station/station.h"

namespace kelvra::fieldtools {

LineWatch::LineWatch(frame::FrameTrace* trace, std::unique_ptr<LineHints> hints)
    : trace_(trace), hints_(std::move(hints)) {}

std::string_view LineWatch::device_of(const station::Station* station) const {
  if (station == nullptr) station = last_writer_;
  return station ? std::string_view(station->settings().name) : std::string_view("-");
}

void LineWatch::command_written(const station::Station& station, const frame::Frame& command,
                                std::string_view wire) {
  last_writer_ = &station;
  if (trace_) trace_->written(station.settings().name, wire, &command);
  if (hints_) hints_->command_written(station.settings(), command);
}

void LineWatch::bytes_received(std::size_t count) {
  if (hints_) hints_->bytes_received(count);
}

void LineWatch::frame_read(const station::Station* station, const frame::Frame& frame,
                           std::string_view digits, frame::FrameVerdict verdict) {
  if (trace_) trace_->read(device_of(station), frame, digits, verdict);
  if (hints_) hints_->frame_read(frame, verdict);
}

void LineWatch::bad_input(const station::Station* station, frame::DecodeError error,
                          const frame::Frame* header, std::string_view digits) {
  if (trace_) trace_->bad_input(device_of(station), error, header, digits);
}

void LineWatch::timed_out(const station::Station& station, const frame::Frame&) {
  if (hints_) hints_->timed_out(station.settings());
}

}  // namespace kelvra::fieldtools
