#include "run/host_requests.h"

#include <cstdio>
#include <stdexcept>

#include "hostkit/json_output.h"
#include "record/kelvra_419_fields.h"
#include "run/control_socket.h"
#include "station/console.h"
#include "station/glosses.h"

namespace kelvra::run {

using station::with_english_gloss;
namespace {

void throw_reply_error(const Json::Value& reply) {
  if (reply.isMember("error")) throw std::runtime_error(reply["error"].asString());
}

std::string counter(const Json::Value& value) {
  return std::to_string(value.asUInt64());
}

std::string device_status_text(const Json::Value& device) {
  std::string alarms;
  for (const Json::Value& alarm : device["alarms"]) alarms += " " + alarm.asString();
  const std::string last_round =
      device["last_round"].asString().empty() ? "none" : device["last_round"].asString();
  return device["device"].asString() + ": " + device["port"].asString() + " address " +
         std::to_string(device["address"].asUInt()) + ", link " + device["link"].asString() + ", " +
         device["poll_state_name"].asString() + ", data " + device["data"].asString() +
         ", last round " + last_round + "\n  rounds " + counter(device["rounds"]) + ", restored " +
         counter(device["restored"]) + ", commands " + counter(device["commands"]) + ", answers " +
         counter(device["answers"]) + ", timeouts " + counter(device["timeouts"]) + ", refused " +
         counter(device["refused"]) + ", alarms:" + (alarms.empty() ? " none" : alarms);
}

std::string line_status_text(const Json::Value& line) {
  std::string errors;
  for (const std::string& kind : line["errors"].getMemberNames()) {
    if (line["errors"][kind].asUInt64() != 0)
      errors += ", " + kind + " " + counter(line["errors"][kind]);
  }
  return "line " + line["port"].asString() + ": " + line["link"].asString() + ", frames " +
         counter(line["frames"]) + ", echoes " + counter(line["echoes"]) + ", unexpected " +
         counter(line["unexpected"]) + ", link losses " + counter(line["link_losses"]) + errors;
}

}  // namespace

Json::Value ask_running_host(const std::string& db, Json::Value request,
                             const std::optional<std::string>& device) {
  if (device) request["device"] = *device;
  return control_request(control_socket_path(db), request, kHostRequestTimeout);
}

ShownReply show_query_reply(const Json::Value& reply, bool json, bool english) {
  throw_reply_error(reply);
  const bool ok = reply["ok"].asBool();
  const std::string refusal = reply["refusal"].asString();
  std::string text = ok ? "" : english ? with_english_gloss(refusal) : refusal;
  if (ok && reply.isMember("fields")) {
    for (const Json::Value& field : reply["fields"]) {
      const std::string value = field["value"].isDouble()
                                    ? record::float_text(field["value"].asFloat())
                                    : field["value"].asString();
      char line[160];
      std::snprintf(line, sizeof line, "%-30s %12s %-3s %s\n", field["name"].asCString(),
                    value.c_str(), field["unit"].asCString(), field["label"].asCString());
      text += line;
    }
    text += "(" + reply["data"].asString() + ")";
  } else if (ok) {
    text = record::float_text(reply["value"].asFloat()) + " (" + reply["data"].asString() + ")";
  }
  return {json ? hostkit::json_text(reply) : text, ok ? 0 : 1};
}

ShownReply show_control_reply(const Json::Value& reply, bool json) {
  throw_reply_error(reply);
  std::string text = reply.isMember("note") ? reply["note"].asString() + "; " : "";
  text += "result " + std::to_string(reply["result"].asInt());
  if (reply.isMember("out")) text += ", out " + std::to_string(reply["out"].asInt());
  std::string sent;
  for (const Json::Value& command : reply["sent"]) sent += " " + command.asString();
  text += ", sent" + (sent.empty() ? std::string(" nothing") : sent);
  text += ", read-back " + (reply["readback"].isNull() ? std::string("none")
                                                       : std::to_string(reply["readback"].asInt()));
  return {json ? hostkit::json_text(reply) : text, reply["result"].asInt() == 0 ? 0 : 1};
}

ShownReply show_status_reply(const Json::Value& reply, bool json) {
  if (json) return {hostkit::json_text(reply), 0};
  char uptime[64];
  std::snprintf(uptime, sizeof uptime, "%.0f", reply["uptime_s"].asDouble());
  const std::string history = reply.isMember("history") ? reply["history"].asString()
                                                        : "history in " + reply["db"].asString();
  std::string text = std::string("running for ") + uptime + " s, " + history;
  for (const Json::Value& device : reply["devices"]) text += "\n" + device_status_text(device);
  for (const Json::Value& line : reply["lines"]) text += "\n" + line_status_text(line);
  return {text, 0};
}

}  // namespace kelvra::run
