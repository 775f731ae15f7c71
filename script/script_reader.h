#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <json/value.h>

namespace scripted_host {

using Bytes = std::vector<std::uint8_t>;

// Sets data_id_ and hands the object to InitSetting.
struct SettingsStep {
  Json::Value json;
  std::uint32_t data_id = 0;
};
// Replaces the host's threshold maps.
struct ThresholdsStep {
  std::map<std::string, int> levels;
  std::map<std::string, float> values;
};
// Replaces the host's analog signal list and values.
struct AnalogStep {
  std::vector<std::string> signals;
  std::map<std::string, float> values;
};
// Fills rule_values_ with count default entries.
struct RulesStep {
  std::uint32_t count = 0;
};
// What the host's own check before a round answers from now on.
struct HostCheckStep {
  bool value = true;
};
// What one host call answers from now on.
enum class HostCall { CheckAOReport, DoBatchCheckThreshold };
struct HostResultStep {
  HostCall call = HostCall::CheckAOReport;
  bool value = false;
};
struct RefreshStep {};
// A decoded response handed to process. Without cid1 the CID1 of the last command sent is used;
// without lenid the length field is twice the INFO bytes.
struct RespondStep {
  Bytes info;
  std::optional<std::uint16_t> lenid;
  std::optional<std::uint8_t> cid1;
  std::uint8_t rtn = 0;
};
// Moves the last round that many seconds into the past (negative: into the future).
struct AdvanceStep {
  int seconds = 0;
};
struct QueryStep {
  std::string key;
  std::uint32_t index = 0;
};
// A control request: in holds the bytes of "text" or "hex", out is out_len zeroed bytes.
struct ControlStep {
  int code = 0;
  Bytes in;
  int out_len = 4;
};
struct CacheStep {
  Bytes bytes;
};
struct RecordStep {};
struct StateStep {};

using Step = std::variant<SettingsStep, ThresholdsStep, AnalogStep, RulesStep, HostCheckStep,
                          HostResultStep, RefreshStep, RespondStep, AdvanceStep, QueryStep,
                          ControlStep, CacheStep, RecordStep, StateStep>;

struct ScriptLine {
  int line = 0;  // 1-based line number in the script
  Step step;
};

// A script line that is not a valid step; what() reads "line N: reason".
class ScriptError : public std::runtime_error {
 public:
  ScriptError(int line, const std::string& reason);
  int line() const { return line_; }
  const std::string& reason() const { return reason_; }

 private:
  int line_;
  std::string reason_;
};

// The longest line and the longest script read; longer ones are invalid scripts.
constexpr std::size_t kMaxScriptLineBytes = 64 * 1024;
constexpr std::size_t kMaxScriptBytes = 16 * 1024 * 1024;
// The deepest nesting of arrays and objects a line may hold.
constexpr unsigned kMaxScriptDepth = 32;
// The largest out buffer a control step and the most rule entries a rules step may ask for.
constexpr int kMaxControlOutLen = 65536;
constexpr std::uint32_t kMaxRuleCount = 65536;

// One step from the text of one line (a JSON object with "op"); throws ScriptError.
Step parse_step(const std::string& text, int line);
// Every step of a script, one JSON object per line; blank lines and lines whose first
// non-blank character is '#' are skipped. Throws ScriptError at the first invalid line.
std::vector<ScriptLine> read_script(std::istream& in);

}  // namespace scripted_host
