// A control request as HTTP and MQTT carry it, read once for both: {"code": INT, "argument":
// TEXT}, argument optional, and where the origin takes one "id" (a text or an integer, echoed
// with the result). Read by the one strict reader; nothing else is taken.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <json/value.h>

namespace kelvra::station {

struct ControlRequest {
  int code = 0;
  std::string argument;
};

// The request, or why it is refused; the id whenever one usable was given, refused or not, so
// that the refusal can carry it.
struct ControlRequestRead {
  std::optional<ControlRequest> request;
  Json::Value id;
  std::string error;
};

struct ControlRequestLimits {
  std::size_t max_bytes;
  unsigned max_depth;
  bool takes_id;
};

// Errors name what is wrong: "not valid JSON: ...", "expected a JSON object", "\"force\":
// unknown member (code, argument)", "\"code\" must be an integer", "\"argument\" must be a text
// of at most 1024 bytes", "\"id\" must be a text or an integer".
ControlRequestRead read_control_request(std::string_view text, const ControlRequestLimits& limits);

// The run's request for it: {"command": "control", "device", "code", "argument"}.
Json::Value control_run_request(const ControlRequest& request, const std::string& device);

}  // namespace kelvra::station
