#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kelvra::hostkit {
class StdoutCapture;
}

namespace scripted_host {

// A float as a JSON number that reads back to the same bits: nine significant digits. NaN and
// the infinities, which JSON cannot hold as numbers, become the strings "nan", "inf", "-inf".
std::string json_float(float value);
// A text as a JSON string: UTF-8 kept as it is, control characters and quotes escaped.
std::string json_string(const std::string& text);

// One transcript event: a JSON object whose members keep the order in which they were added,
// beginning with "ev".
class Event {
 public:
  explicit Event(const char* kind);
  Event& text(const char* key, const std::string& value);
  Event& boolean(const char* key, bool value);
  Event& integer(const char* key, long long value);
  Event& number(const char* key, float value);
  Event& null(const char* key);
  // The object's text, without newline.
  std::string str() const { return body_ + "}"; }

 private:
  Event& member(const char* key, const std::string& json_value);
  std::string body_;
};

// Writes events one per line. When a capture is given, the plug-in's output collected since the
// previous event is written first, one "print" event per line, so that it keeps its place.
class Transcript {
 public:
  Transcript(std::FILE* out, kelvra::hostkit::StdoutCapture* capture);
  void write(const Event& event);
  // Writes what the plug-in printed last, a final line without newline included.
  void finish();

 private:
  void write_prints(bool include_partial);
  void write_line(const std::string& line);
  std::FILE* out_;
  kelvra::hostkit::StdoutCapture* capture_;
};

}  // namespace scripted_host
