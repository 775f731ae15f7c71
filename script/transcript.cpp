#include "script/transcript.h"

#include <cmath>
#include <cstdio>

#include <json/value.h>
#include <json/writer.h>

#include "hostkit/stdout_capture.h"

namespace scripted_host {

std::string json_float(float value) {
  if (std::isnan(value)) return "\"nan\"";
  if (std::isinf(value)) return value < 0 ? "\"-inf\"" : "\"inf\"";
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
  return text;
}

std::string json_string(const std::string& text) {
  static const Json::StreamWriterBuilder builder = [] {
    Json::StreamWriterBuilder b;
    b["emitUTF8"] = true;
    b["indentation"] = "";
    return b;
  }();
  return Json::writeString(builder, Json::Value(text));
}

Event::Event(const char* kind) : body_("{\"ev\":" + json_string(kind)) {}

Event& Event::member(const char* key, const std::string& json_value) {
  body_ += ',';
  body_ += json_string(key);
  body_ += ':';
  body_ += json_value;
  return *this;
}

Event& Event::text(const char* key, const std::string& value) {
  return member(key, json_string(value));
}
Event& Event::boolean(const char* key, bool value) {
  return member(key, value ? "true" : "false");
}
Event& Event::integer(const char* key, long long value) {
  return member(key, std::to_string(value));
}
Event& Event::number(const char* key, float value) {
  return member(key, json_float(value));
}
Event& Event::null(const char* key) {
  return member(key, "null");
}

Transcript::Transcript(std::FILE* out, kelvra::hostkit::StdoutCapture* capture)
    : out_(out), capture_(capture) {}

void Transcript::write(const Event& event) {
  write_prints(false);
  write_line(event.str());
}

void Transcript::finish() {
  write_prints(true);
}

void Transcript::write_prints(bool include_partial) {
  if (capture_ == nullptr) return;
  for (const std::string& line : capture_->take_lines(include_partial)) {
    write_line(Event("print").text("line", line).str());
  }
}

void Transcript::write_line(const std::string& line) {
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

}  // namespace scripted_host
