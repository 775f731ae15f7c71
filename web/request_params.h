// The query string of an API request, read strictly: known names only, each once, values bounded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvra::web {

// A refused request; what() names the parameter and says what is wrong, status the HTTP answer.
class RequestError : public std::runtime_error {
 public:
  RequestError(unsigned status, const std::string& what)
      : std::runtime_error(what), status_(status) {}
  unsigned status() const { return status_; }

 private:
  unsigned status_;
};

constexpr std::size_t kMaxParamValue = 256;

// A target "/path?a=1&b=x%20y" split into its decoded path and parameters. Throws RequestError
// (400) for bad percent escapes, a parameter given twice, one not in `allowed`, or a value longer
// than kMaxParamValue.
struct Target {
  std::string path;
  std::map<std::string, std::string> params;
};
Target parse_target(const std::string& target);
void allow_only(const Target& target, const std::vector<std::string>& allowed);

// The path split at '/' without empty parts: "/api/v1/devices/x" -> {"api","v1","devices","x"}.
std::vector<std::string> path_parts(const std::string& path);

// An unsigned integer parameter within [min, max]; nullopt when absent. Throws RequestError 400.
std::optional<std::int64_t> integer_param(const Target& target, const std::string& name,
                                          std::int64_t min, std::int64_t max);

// A time parameter: epoch milliseconds ("1765200000000") or a local time
// "YYYY-MM-DD", "YYYY-MM-DD HH:MM", "YYYY-MM-DD HH:MM:SS" ('T' also separates), as epoch
// milliseconds; nullopt when absent. Throws RequestError 400.
std::optional<std::int64_t> time_param(const Target& target, const std::string& name);

// The history's local time text (or any prefix down to the date) as epoch milliseconds; nullopt
// when it is not of that form.
std::optional<std::int64_t> epoch_ms_of(const std::string& local_text);

// True when a request's Host header names this server: an IP address (a name that resolves
// elsewhere cannot pass for one, against DNS rebinding), "localhost", or one of `names`; letter
// case, a port and a final dot aside. A request without Host passes.
bool host_is_ours(const std::string& host, const std::vector<std::string>& names);

}  // namespace kelvra::web
