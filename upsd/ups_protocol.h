// The UPS network protocol as a pure function: one request line and the session's state in, the
// reply text out. No sockets, no clocks: the server feeds it lines and writes what it returns.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvra::upsd {

// One UPS as a client sees it at the moment of a request.
struct UpsView {
  std::string name;
  std::string description;
  bool stale = true;  // no live data: variables answer DATA-STALE
  std::vector<std::pair<std::string, std::string>> variables;  // name and value, in list order
  int logins = 0;                                              // sessions logged in to it
};

// Who may log in; `primary` users may also claim the primary role.
struct UpsUser {
  std::string name;
  std::string password;
  bool primary = false;
};

// What one connection has said so far.
struct SessionState {
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::string login_ups;  // the UPS logged in to; empty: none
  bool primary = false;
};

struct ProtocolContext {
  const std::vector<UpsView>& upses;
  const std::vector<UpsUser>& users;
  std::string server_version;  // the answer to VER
};

struct Reply {
  std::string text;    // whole lines, each ending in '\n'
  bool close = false;  // the client logged out: close once the text is written
};

// The words of a request: bare words split on spaces and tabs, double-quoted words with '\\'
// escaping the next character. nullopt for an unclosed quote or a dangling escape.
std::optional<std::vector<std::string>> split_request(std::string_view line);

// `text` in double quotes, '"' and '\\' escaped.
std::string quoted(const std::string& text);

// The reply to one request line (without its line end).
Reply handle_request(std::string_view line, SessionState& session, const ProtocolContext& context);

}  // namespace kelvra::upsd
