// What `query`, `control` and `status` ask the run that owns a database and how they show its
// replies.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <json/value.h>

namespace kelvra::run {

constexpr auto kHostRequestTimeout = std::chrono::seconds(30);

// Sends request (with "device" when given) to the control socket of the run owning db and
// returns its reply; throws ControlError when no run answers.
Json::Value ask_running_host(const std::string& db, Json::Value request,
                             const std::optional<std::string>& device);

// A reply shown to the user: its text (or JSON line) and the exit code it stands for.
struct ShownReply {
  std::string text;  // without the final newline
  int exit_code;
};

// Throws std::runtime_error with the run's "error" text when the reply carries one.
// A value with where its data comes from and how old it is, every field of the record with
// --all, or the refusal (with its English gloss when `english`).
ShownReply show_query_reply(const Json::Value& reply, bool json, bool english = false);
ShownReply show_control_reply(const Json::Value& reply, bool json);
ShownReply show_status_reply(const Json::Value& reply, bool json);

}  // namespace kelvra::run
