#include "frame-codec/frame_trace.h"

#include <algorithm>
#include <cctype>

namespace kelvra::frame {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
// Room for the longest frame with every character escaped (\u00HH), its INFO again in hex, the
// header members and a device name: lines are formatted here without allocating.
constexpr std::size_t kLineCapacity = 6 * kMaxFrameChars + kMaxLenid + 1024;

}  // namespace

const char* to_string(FrameVerdict verdict) {
  switch (verdict) {
    case FrameVerdict::kTaken:
      return "taken";
    case FrameVerdict::kEcho:
      return "echo";
    case FrameVerdict::kStale:
      return "stale";
    case FrameVerdict::kUnexpected:
      return "unexpected";
    case FrameVerdict::kOtherAddress:
      return "other address";
  }
  return "unknown";
}

FrameTrace::FrameTrace(std::FILE* out, bool json, TraceSide side, Clock clock)
    : out_(out), json_(json), side_(side), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
  exchange_start_ = clock_();
  line_.resize(kLineCapacity);
}

void FrameTrace::written(std::string_view device, std::string_view wire, const Frame* frame) {
  if (side_ == TraceSide::kHost) exchange_start_ = clock_();
  begin("out", device);
  raw("", wire, "");
  if (frame) header(*frame, true, true);
  finish();
}

void FrameTrace::read(std::string_view device, const Frame& frame, std::string_view digits,
                      FrameVerdict verdict) {
  if (side_ == TraceSide::kEquipment && verdict == FrameVerdict::kTaken) {
    exchange_start_ = clock_();
  }
  begin("in", device);
  raw("~", digits, "\r");
  header(frame, false, true);
  if (verdict != FrameVerdict::kTaken) member("dropped", to_string(verdict), true);
  finish();
}

void FrameTrace::bad_input(std::string_view device, DecodeError error, const Frame* header_read,
                           std::string_view digits) {
  begin("in", device);
  raw(error == DecodeError::kNoiseBeforeSoi ? "" : "~", digits, "");
  if (header_read) header(*header_read, false, false);
  member("error", to_string(error), true);
  finish();
}

void FrameTrace::begin(std::string_view direction, std::string_view device) {
  line_length_ = 0;
  const double ms = std::chrono::duration<double, std::milli>(clock_() - exchange_start_).count();
  char time[32];
  if (json_) {
    append("{\"trace\":\"");
    append(direction);
    append("\",\"device\":\"");
    escaped(device, false);
    std::snprintf(time, sizeof time, "\",\"ms\":%.1f", ms);
    append(time);
  } else {
    append("trace ");
    append(device);
    append(" ");
    append(direction);
    std::snprintf(time, sizeof time, " +%.1fms", ms);
    append(time);
  }
}

void FrameTrace::raw(std::string_view prefix, std::string_view digits, std::string_view suffix) {
  append(json_ ? ",\"raw\":\"" : " raw=\"");
  escaped(prefix, true);
  escaped(digits, true);
  escaped(suffix, true);
  append("\"");
}

void FrameTrace::header(const Frame& frame, bool outgoing, bool with_info) {
  // Commands carry CID2 in the fourth byte, responses RTN.
  const bool command = outgoing == (side_ == TraceSide::kHost);
  hex_member("VER", frame.ver);
  hex_member("ADR", frame.address);
  hex_member("CID1", frame.cid1);
  hex_member(command ? "CID2" : "RTN", frame.code);
  if (!with_info) return;
  char lenid[8];
  std::snprintf(lenid, sizeof lenid, "%zu", frame.info.size() * 2);
  member("LENID", lenid, false);
  append(json_ ? ",\"info\":\"" : " INFO=");
  for (std::uint8_t byte : frame.info) {
    const char digits[2] = {kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
    append(std::string_view(digits, 2));
  }
  if (json_) append("\"");
}

void FrameTrace::member(std::string_view name, std::string_view text, bool quoted) {
  if (json_) {
    append(",\"");
    for (char c : name) {
      const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      append(std::string_view(&lower, 1));
    }
    append("\":");
  } else {
    append(" ");
    append(name);
    append("=");
  }
  if (quoted && (json_ || text.find(' ') != std::string_view::npos)) {
    append("\"");
    escaped(text, false);
    append("\"");
  } else {
    append(text);
  }
}

void FrameTrace::hex_member(std::string_view name, std::uint8_t value) {
  const char digits[2] = {kHexDigits[value >> 4], kHexDigits[value & 0xF]};
  member(name, std::string_view(digits, 2), json_);
}

void FrameTrace::escaped(std::string_view text, bool wire_bytes) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    char escape[8];
    if (c == '"' || c == '\\') {
      escape[0] = '\\';
      escape[1] = c;
      append(std::string_view(escape, 2));
    } else if (c == '\r') {
      append("\\r");
    } else if (c == '\n') {
      append("\\n");
    } else if (c == '\t') {
      append("\\t");
    } else if ((byte >= 0x20 && byte < 0x7F) || (byte >= 0x80 && !wire_bytes)) {
      append(std::string_view(&c, 1));
    } else if (json_) {
      std::snprintf(escape, sizeof escape, "\\u%04X", byte);
      append(escape);
    } else {
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      append(escape);
    }
  }
}

void FrameTrace::append(std::string_view text) {
  const std::size_t room = line_.size() - 1 - line_length_;  // one kept for the newline
  const std::size_t count = std::min(room, text.size());
  std::copy_n(text.data(), count, line_.begin() + static_cast<std::ptrdiff_t>(line_length_));
  line_length_ += count;
}

void FrameTrace::finish() {
  if (json_) append("}");
  if (out_ == nullptr) return;
  line_[line_length_] = '\n';
  std::fwrite(line_.data(), 1, line_length_ + 1, out_);
  std::fflush(out_);
}

}  // namespace kelvra::frame
