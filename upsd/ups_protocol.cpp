#include "upsd/ups_protocol.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>

namespace kelvra::upsd {
namespace {

using Words = std::vector<std::string>;

constexpr const char* kProtocolVersion = "1.3";

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

Reply error(const char* code) {
  return {std::string("ERR ") + code + "\n", false};
}
Reply line(std::string text) {
  return {std::move(text) + "\n", false};
}

const UpsView* find_ups(const ProtocolContext& context, const std::string& name) {
  for (const UpsView& ups : context.upses) {
    if (ups.name == name) return &ups;
  }
  return nullptr;
}

const std::string* find_variable(const UpsView& ups, const std::string& name) {
  for (const auto& [variable, value] : ups.variables) {
    if (variable == name) return &value;
  }
  return nullptr;
}

// "LIST UPS" and "LIST VAR|RW|CMD <ups>" (writable variables and commands: none).
Reply list(const Words& words, SessionState&, const ProtocolContext& context) {
  const std::string what = words.size() > 1 ? upper(words[1]) : "";
  if (what == "UPS" && words.size() == 2) {
    std::string text = "BEGIN LIST UPS\n";
    for (const UpsView& ups : context.upses) {
      text += "UPS " + ups.name + " " + quoted(ups.description) + "\n";
    }
    return {text + "END LIST UPS\n", false};
  }
  if ((what != "VAR" && what != "RW" && what != "CMD") || words.size() != 3) {
    return error("INVALID-ARGUMENT");
  }
  const UpsView* ups = find_ups(context, words[2]);
  if (ups == nullptr) return error("UNKNOWN-UPS");
  const std::string head = what + " " + ups->name;
  if (what != "VAR") return {"BEGIN LIST " + head + "\nEND LIST " + head + "\n", false};
  if (ups->stale) return error("DATA-STALE");
  std::string text = "BEGIN LIST " + head + "\n";
  for (const auto& [variable, value] : ups->variables) {
    text += "VAR " + ups->name + " " + variable + " " + quoted(value) + "\n";
  }
  return {text + "END LIST " + head + "\n", false};
}

// "GET VAR <ups> <var>", "GET UPSDESC <ups>", "GET NUMLOGINS <ups>".
Reply get(const Words& words, SessionState&, const ProtocolContext& context) {
  const std::string what = words.size() > 1 ? upper(words[1]) : "";
  const std::size_t expected = what == "VAR" ? 4 : 3;
  if ((what != "VAR" && what != "UPSDESC" && what != "NUMLOGINS") || words.size() != expected) {
    return error("INVALID-ARGUMENT");
  }
  const UpsView* ups = find_ups(context, words[2]);
  if (ups == nullptr) return error("UNKNOWN-UPS");
  if (what == "UPSDESC") return line("UPSDESC " + ups->name + " " + quoted(ups->description));
  if (what == "NUMLOGINS") {
    return line("NUMLOGINS " + ups->name + " " + std::to_string(ups->logins));
  }
  if (ups->stale) return error("DATA-STALE");
  const std::string* value = find_variable(*ups, words[3]);
  if (value == nullptr) return error("VAR-NOT-SUPPORTED");
  return line("VAR " + ups->name + " " + words[3] + " " + quoted(*value));
}

Reply username(const Words& words, SessionState& session, const ProtocolContext&) {
  if (words.size() != 2) return error("INVALID-ARGUMENT");
  if (session.username) return error("ALREADY-SET-USERNAME");
  session.username = words[1];
  return line("OK");
}

Reply password(const Words& words, SessionState& session, const ProtocolContext&) {
  if (words.size() != 2) return error("INVALID-ARGUMENT");
  if (session.password) return error("ALREADY-SET-PASSWORD");
  session.password = words[1];
  return line("OK");
}

const UpsUser* authenticated_user(const SessionState& session, const ProtocolContext& context) {
  for (const UpsUser& user : context.users) {
    if (user.name == *session.username && user.password == *session.password) return &user;
  }
  return nullptr;
}

Reply login(const Words& words, SessionState& session, const ProtocolContext& context) {
  if (words.size() != 2) return error("INVALID-ARGUMENT");
  if (!session.login_ups.empty()) return error("ALREADY-LOGGED-IN");
  if (!session.username) return error("USERNAME-REQUIRED");
  if (!session.password) return error("PASSWORD-REQUIRED");
  if (authenticated_user(session, context) == nullptr) return error("ACCESS-DENIED");
  if (find_ups(context, words[1]) == nullptr) return error("UNKNOWN-UPS");
  session.login_ups = words[1];
  return line("OK");
}

Reply logout(const Words&, SessionState& session, const ProtocolContext&) {
  session.login_ups.clear();
  session.primary = false;
  return {"OK Goodbye\n", true};
}

// "PRIMARY <ups>" (and its old name): only for a user marked primary, logged in to that UPS.
Reply primary(const Words& words, SessionState& session, const ProtocolContext& context) {
  if (words.size() != 2) return error("INVALID-ARGUMENT");
  if (find_ups(context, words[1]) == nullptr) return error("UNKNOWN-UPS");
  const UpsUser* user =
      session.username && session.password ? authenticated_user(session, context) : nullptr;
  if (user == nullptr || !user->primary || session.login_ups != words[1]) {
    return error("ACCESS-DENIED");
  }
  session.primary = true;
  return line("OK " + upper(words[0]) + "-GRANTED");
}

Reply version(const Words&, SessionState&, const ProtocolContext& context) {
  return line(context.server_version);
}

Reply protocol_version(const Words&, SessionState&, const ProtocolContext&) {
  return line(kProtocolVersion);
}

Reply help(const Words&, SessionState&, const ProtocolContext&) {
  return line("Commands: HELP VER NETVER GET LIST USERNAME PASSWORD LOGIN LOGOUT PRIMARY MASTER");
}

// The server is read-only: changing a variable, running a command or forcing a shutdown is
// refused to everyone.
Reply refuse_write(const Words&, SessionState&, const ProtocolContext&) {
  return error("ACCESS-DENIED");
}

// Encrypted sessions are not offered; the client goes on in the clear or gives up.
Reply no_tls(const Words&, SessionState&, const ProtocolContext&) {
  return error("FEATURE-NOT-CONFIGURED");
}

using Handler = Reply (*)(const Words&, SessionState&, const ProtocolContext&);

const std::map<std::string, Handler>& handlers() {
  static const std::map<std::string, Handler> table = {
      {"VER", version},
      {"NETVER", protocol_version},
      {"HELP", help},
      {"LIST", list},
      {"GET", get},
      {"USERNAME", username},
      {"PASSWORD", password},
      {"LOGIN", login},
      {"LOGOUT", logout},
      {"PRIMARY", primary},
      {"MASTER", primary},
      {"SET", refuse_write},
      {"INSTCMD", refuse_write},
      {"FSD", refuse_write},
      {"STARTTLS", no_tls},
  };
  return table;
}

}  // namespace

std::optional<std::vector<std::string>> split_request(std::string_view line) {
  Words words;
  std::string word;
  bool in_word = false;
  bool in_quotes = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\') {
      if (++i == line.size()) return std::nullopt;
      word += line[i];
      in_word = true;
    } else if (c == '"') {
      in_quotes = !in_quotes;
      in_word = true;
    } else if ((c == ' ' || c == '\t') && !in_quotes) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_quotes) return std::nullopt;
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

Reply handle_request(std::string_view request, SessionState& session,
                     const ProtocolContext& context) {
  const std::optional<Words> words = split_request(request);
  if (!words) return error("INVALID-ARGUMENT");
  if (words->empty()) return error("UNKNOWN-COMMAND");
  const auto found = handlers().find(upper(words->front()));
  if (found == handlers().end()) return error("UNKNOWN-COMMAND");
  return found->second(*words, session, context);
}

}  // namespace kelvra::upsd
