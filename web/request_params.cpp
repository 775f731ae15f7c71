#include "web/request_params.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include <boost/asio/ip/address.hpp>

namespace kelvra::web {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A host name in lower case without its final dot ("Site.Example." -> "site.example").
std::string lower_name(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

// Percent escapes decoded; '+' is a space in query values only.
std::string decoded(const std::string& text, bool query) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      const int high = i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
      const int low = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
      if (high < 0 || low < 0) throw RequestError(400, "bad percent escape in \"" + text + "\"");
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(query && c == '+' ? ' ' : c);
    }
  }
  return out;
}

bool all_digits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
}

}  // namespace

Target parse_target(const std::string& target) {
  Target parsed;
  const std::size_t question = target.find('?');
  parsed.path = decoded(target.substr(0, question), false);
  if (question == std::string::npos) return parsed;
  const std::string query = target.substr(question + 1);
  std::size_t start = 0;
  while (start <= query.size()) {
    const std::size_t amp = std::min(query.find('&', start), query.size());
    const std::string pair = query.substr(start, amp - start);
    start = amp + 1;
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    const std::string name = decoded(pair.substr(0, equals), true);
    const std::string value =
        equals == std::string::npos ? "" : decoded(pair.substr(equals + 1), true);
    if (value.size() > kMaxParamValue) {
      throw RequestError(400, "parameter \"" + name + "\": longer than " +
                                  std::to_string(kMaxParamValue) + " bytes");
    }
    if (!parsed.params.emplace(name, value).second) {
      throw RequestError(400, "parameter \"" + name + "\" given twice");
    }
  }
  return parsed;
}

void allow_only(const Target& target, const std::vector<std::string>& allowed) {
  for (const auto& [name, value] : target.params) {
    if (std::find(allowed.begin(), allowed.end(), name) != allowed.end()) continue;
    std::string names;
    for (const std::string& each : allowed) names += (names.empty() ? "" : ", ") + each;
    throw RequestError(400, "unknown parameter \"" + name + "\" (" +
                                (names.empty() ? std::string("none taken") : names) + ")");
  }
}

std::vector<std::string> path_parts(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::optional<std::int64_t> integer_param(const Target& target, const std::string& name,
                                          std::int64_t min, std::int64_t max) {
  const auto found = target.params.find(name);
  if (found == target.params.end()) return std::nullopt;
  const std::string& text = found->second;
  const std::string range = " (" + std::to_string(min) + " to " + std::to_string(max) + ")";
  if (!all_digits(text) || text.size() > 18) {
    throw RequestError(400, "parameter \"" + name + "\": expected a whole number" + range);
  }
  const std::int64_t value = std::stoll(text);
  if (value < min || value > max) {
    throw RequestError(400, "parameter \"" + name + "\": " + text + " is out of range" + range);
  }
  return value;
}

std::optional<std::int64_t> time_param(const Target& target, const std::string& name) {
  const auto found = target.params.find(name);
  if (found == target.params.end()) return std::nullopt;
  const std::string& text = found->second;
  if (all_digits(text) && text.size() <= 15) return std::stoll(text);
  if (const auto ms = epoch_ms_of(text)) return ms;
  throw RequestError(400, "parameter \"" + name + "\": expected epoch milliseconds or " +
                              "YYYY-MM-DD[ HH:MM[:SS]] local time, not \"" + text + "\"");
}

std::optional<std::int64_t> epoch_ms_of(const std::string& local_text) {
  // "dddd-dd-dd dd:dd:dd.ddd"; any of the shorter forms down to the date.
  static const std::string shape = "dddd-dd-dd dd:dd:dd.ddd";
  const std::size_t size = local_text.size();
  if (size != 10 && size != 16 && size != 19 && size != 23) return std::nullopt;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = local_text[i];
    const bool fits = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(c)) != 0
                                      : (c == shape[i] || (i == 10 && c == 'T'));
    if (!fits) return std::nullopt;
  }
  const auto field = [&](std::size_t at, std::size_t length) {
    return at + length <= size ? std::stoi(local_text.substr(at, length)) : 0;
  };
  std::tm local{};
  local.tm_year = field(0, 4) - 1900;
  local.tm_mon = field(5, 2) - 1;
  local.tm_mday = field(8, 2);
  local.tm_hour = field(11, 2);
  local.tm_min = field(14, 2);
  local.tm_sec = field(17, 2);
  local.tm_isdst = -1;
  if (local.tm_mon > 11 || local.tm_mday < 1 || local.tm_mday > 31 || local.tm_hour > 23 ||
      local.tm_min > 59 || local.tm_sec > 60) {
    return std::nullopt;
  }
  const std::time_t seconds = std::mktime(&local);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(seconds) * 1000 + field(20, 3);
}

bool host_is_ours(const std::string& host, const std::vector<std::string>& names) {
  if (host.empty()) return true;
  // ":digits" after the host, or nothing.
  const auto port_or_nothing = [](const std::string& rest) {
    return rest.empty() || (rest.size() > 1 && rest[0] == ':' &&
                            std::all_of(rest.begin() + 1, rest.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; }));
  };
  boost::system::error_code error;
  if (host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string::npos || !port_or_nothing(host.substr(close + 1))) return false;
    boost::asio::ip::make_address_v6(host.substr(1, close - 1), error);
    return !error;
  }
  const std::size_t colon = host.find(':');
  if (colon != std::string::npos && !port_or_nothing(host.substr(colon))) return false;
  const std::string name = lower_name(host.substr(0, colon));
  boost::asio::ip::make_address_v4(name, error);
  if (!error || name == "localhost") return true;
  return std::any_of(names.begin(), names.end(),
                     [&name](const std::string& known) { return lower_name(known) == name; });
}

}  // namespace kelvra::web
