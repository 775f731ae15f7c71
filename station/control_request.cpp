#include "station/control_request.h"

#include "hostkit/input_error.h"
#include "hostkit/json_input.h"

namespace kelvra::station {
namespace {

constexpr std::size_t kMaxArgument = 1024;

[[noreturn]] void refuse(const std::string& why) {
  throw hostkit::InputError(why);
}

ControlRequest checked_request(const Json::Value& root, bool takes_id) {
  const char* members = takes_id ? "code, argument, id" : "code, argument";
  for (const std::string& member : root.getMemberNames()) {
    const bool known = member == "code" || member == "argument" || (takes_id && member == "id");
    if (!known) refuse("\"" + member + "\": unknown member (" + members + ")");
  }
  if (root.isMember("id") && !root["id"].isString() && !root["id"].isIntegral()) {
    refuse("\"id\" must be a text or an integer");
  }
  ControlRequest request;
  if (!root["code"].isInt()) refuse("\"code\" must be an integer");
  request.code = root["code"].asInt();
  if (root.isMember("argument")) {
    if (!root["argument"].isString() || root["argument"].asString().size() > kMaxArgument) {
      refuse("\"argument\" must be a text of at most " + std::to_string(kMaxArgument) + " bytes");
    }
    request.argument = root["argument"].asString();
  }
  return request;
}

}  // namespace

ControlRequestRead read_control_request(std::string_view text, const ControlRequestLimits& limits) {
  ControlRequestRead read;
  try {
    const Json::Value root =
        hostkit::parse_json(text, hostkit::JsonLimits{limits.max_bytes, limits.max_depth});
    if (!root.isObject()) refuse("expected a JSON object");
    const Json::Value& id = root["id"];
    if (limits.takes_id && (id.isString() || id.isIntegral())) read.id = id;
    read.request = checked_request(root, limits.takes_id);
  } catch (const hostkit::InputError& error) {
    read.error = error.what();
  }
  return read;
}

Json::Value control_run_request(const ControlRequest& request, const std::string& device) {
  Json::Value ask(Json::objectValue);
  ask["command"] = "control";
  ask["device"] = device;
  ask["code"] = request.code;
  ask["argument"] = request.argument;
  return ask;
}

}  // namespace kelvra::station
