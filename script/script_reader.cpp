#include "script/script_reader.h"

#include <cctype>
#include <functional>
#include <memory>
#include <optional>

#include "hostkit/hex.h"
#include "hostkit/json_input.h"

namespace scripted_host {
namespace {

// The members of one step's object, read by type; a member that is never asked for is an error.
class Fields {
 public:
  Fields(const Json::Value& object, std::string op, int line)
      : members_(kelvra::hostkit::JsonNode(object, "")), op_(std::move(op)), line_(line) {
    members_.find("op");
  }

  [[noreturn]] void fail(const std::string& reason) const { throw ScriptError(line_, reason); }

  const Json::Value* find(const char* key) {
    const std::optional<kelvra::hostkit::JsonNode> member = members_.find(key);
    return member ? &member->value() : nullptr;
  }
  const Json::Value& require(const char* key) {
    const Json::Value* value = find(key);
    if (value == nullptr) fail("missing field \"" + std::string(key) + "\" of op \"" + op_ + "\"");
    return *value;
  }
  [[noreturn]] void wrong_type(const char* key, const char* expected) const {
    fail("field \"" + std::string(key) + "\" must be " + expected);
  }

  bool boolean(const char* key) { return as_bool(key, require(key)); }
  std::string text(const char* key) { return as_text(key, require(key)); }
  int integer(const char* key) { return as_int(key, require(key)); }
  std::uint32_t unsigned_int(const char* key) { return as_uint(key, require(key)); }
  Bytes hex(const char* key) { return as_hex(key, require(key)); }
  std::uint8_t byte(const char* key, const Json::Value& value) {
    if (value.isDouble() && value.isUInt() && value.asUInt() <= 0xFF) {
      return static_cast<std::uint8_t>(value.asUInt());
    }
    if (value.isString()) {
      const auto bytes = kelvra::hostkit::parse_hex(value.asString());
      if (bytes && bytes->size() == 1) return bytes->front();
    }
    wrong_type(key, "a byte: 0 to 255 or two hex digits");
  }

  bool as_bool(const char* key, const Json::Value& value) const {
    if (!value.isBool()) wrong_type(key, "true or false");
    return value.asBool();
  }
  std::string as_text(const char* key, const Json::Value& value) const {
    if (!value.isString()) wrong_type(key, "a string");
    return value.asString();
  }
  int as_int(const char* key, const Json::Value& value) const {
    if (!value.isDouble() || !value.isInt()) wrong_type(key, "an integer");
    return value.asInt();
  }
  std::uint32_t as_uint(const char* key, const Json::Value& value) const {
    if (!value.isDouble() || !value.isUInt()) wrong_type(key, "an unsigned integer");
    return value.asUInt();
  }
  float as_number(const char* key, const Json::Value& value) const {
    if (!value.isDouble()) wrong_type(key, "a number");
    return value.asFloat();
  }
  Bytes as_hex(const char* key, const Json::Value& value) const {
    if (!value.isString()) wrong_type(key, "a string of hex digits");
    auto bytes = kelvra::hostkit::parse_hex(value.asString());
    if (!bytes) fail("field \"" + std::string(key) + "\" is not hex: \"" + value.asString() + "\"");
    return *bytes;
  }

  // Every member of an object, each converted by convert.
  template <class T, class Convert>
  std::map<std::string, T> map_of(const char* key, Convert convert) {
    const Json::Value& object = require(key);
    if (!object.isObject()) wrong_type(key, "an object");
    std::map<std::string, T> out;
    for (const std::string& name : object.getMemberNames()) {
      out[name] = convert((std::string(key) + "/" + name).c_str(), object[name]);
    }
    return out;
  }

  // Rejects members that the op does not take, so a misspelt optional field is not lost.
  void check_all_used() const {
    try {
      members_.finish();
    } catch (const kelvra::hostkit::InputError& error) {
      fail(std::string(error.what()) + " of op \"" + op_ + "\"");
    }
  }

 private:
  kelvra::hostkit::JsonObjectReader members_;
  std::string op_;
  int line_;
};

Step read_settings(Fields& f) {
  SettingsStep step;
  step.json = f.require("json");
  if (!step.json.isObject()) f.wrong_type("json", "an object");
  if (const Json::Value* id = f.find("data_id")) step.data_id = f.as_uint("data_id", *id);
  return step;
}

Step read_thresholds(Fields& f) {
  ThresholdsStep step;
  step.levels = f.map_of<int>(
      "levels", [&](const char* key, const Json::Value& v) { return f.as_int(key, v); });
  step.values = f.map_of<float>(
      "values", [&](const char* key, const Json::Value& v) { return f.as_number(key, v); });
  return step;
}

Step read_analog(Fields& f) {
  AnalogStep step;
  const Json::Value& signals = f.require("signals");
  if (!signals.isArray()) f.wrong_type("signals", "an array of strings");
  for (const Json::Value& name : signals) step.signals.push_back(f.as_text("signals", name));
  step.values = f.map_of<float>(
      "values", [&](const char* key, const Json::Value& v) { return f.as_number(key, v); });
  return step;
}

Step read_rules(Fields& f) {
  const std::uint32_t count = f.unsigned_int("count");
  if (count > kMaxRuleCount) f.wrong_type("count", "at most 65536");
  return RulesStep{count};
}

Step read_host_result(Fields& f) {
  HostResultStep step;
  const std::string name = f.text("name");
  if (name == "CheckAOReport") {
    step.call = HostCall::CheckAOReport;
  } else if (name == "DoBatchCheckThreshold") {
    step.call = HostCall::DoBatchCheckThreshold;
  } else {
    f.wrong_type("name", "CheckAOReport or DoBatchCheckThreshold");
  }
  step.value = f.boolean("value");
  return step;
}

Step read_respond(Fields& f) {
  RespondStep step;
  step.info = f.hex("info");
  if (const Json::Value* lenid = f.find("lenid")) {
    const std::uint32_t field = f.as_uint("lenid", *lenid);
    if (field > 0xFFFF) f.wrong_type("lenid", "a 16-bit length field, 0 to 65535");
    step.lenid = static_cast<std::uint16_t>(field);
  }
  if (const Json::Value* cid1 = f.find("cid1")) step.cid1 = f.byte("cid1", *cid1);
  if (const Json::Value* rtn = f.find("rtn")) step.rtn = f.byte("rtn", *rtn);
  return step;
}

Step read_query(Fields& f) {
  QueryStep step;
  step.key = f.text("key");
  if (const Json::Value* index = f.find("index")) step.index = f.as_uint("index", *index);
  return step;
}

Step read_control(Fields& f) {
  ControlStep step;
  step.code = f.integer("code");
  const Json::Value* text = f.find("text");
  const Json::Value* hex = f.find("hex");
  if (text != nullptr && hex != nullptr)
    f.fail("give \"text\" or \"hex\" of op \"control\", not both");
  if (text != nullptr) {
    const std::string bytes = f.as_text("text", *text);
    step.in.assign(bytes.begin(), bytes.end());
  } else if (hex != nullptr) {
    step.in = f.as_hex("hex", *hex);
  }
  if (const Json::Value* out_len = f.find("out_len")) {
    step.out_len = f.as_int("out_len", *out_len);
    if (step.out_len > kMaxControlOutLen) {
      f.wrong_type("out_len", "at most 65536");
    }
  }
  return step;
}

using StepReader = std::function<Step(Fields&)>;

const std::map<std::string, StepReader>& step_readers() {
  static const std::map<std::string, StepReader> readers = {
      {"settings", read_settings},
      {"thresholds", read_thresholds},
      {"analog", read_analog},
      {"rules", read_rules},
      {"host_check", [](Fields& f) -> Step { return HostCheckStep{f.boolean("value")}; }},
      {"host_result", read_host_result},
      {"refresh", [](Fields&) -> Step { return RefreshStep{}; }},
      {"respond", read_respond},
      {"advance", [](Fields& f) -> Step { return AdvanceStep{f.integer("seconds")}; }},
      {"query", read_query},
      {"control", read_control},
      {"cache", [](Fields& f) -> Step { return CacheStep{f.hex("hex")}; }},
      {"record", [](Fields&) -> Step { return RecordStep{}; }},
      {"state", [](Fields&) -> Step { return StateStep{}; }},
  };
  return readers;
}

bool is_blank_or_comment(const std::string& text) {
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    return c == '#';
  }
  return true;
}

// The next line of in, without its end, into text; false at the end of the input. A line is read
// only up to kMaxScriptLineBytes, the script only up to kMaxScriptBytes.
bool next_line(std::istream& in, std::string& text, int line, std::size_t& script_bytes) {
  text.clear();
  std::streambuf& input = *in.rdbuf();
  if (std::char_traits<char>::eq_int_type(input.sgetc(), std::char_traits<char>::eof())) {
    return false;
  }
  for (;;) {
    const auto c = input.sbumpc();
    if (std::char_traits<char>::eq_int_type(c, std::char_traits<char>::eof())) return true;
    if (++script_bytes > kMaxScriptBytes) {
      throw ScriptError(line, "script longer than " + std::to_string(kMaxScriptBytes) + " bytes");
    }
    if (c == '\n') return true;
    if (text.size() == kMaxScriptLineBytes) {
      throw ScriptError(line, "line longer than " + std::to_string(kMaxScriptLineBytes) + " bytes");
    }
    text.push_back(std::char_traits<char>::to_char_type(c));
  }
}

}  // namespace

ScriptError::ScriptError(int line, const std::string& reason)
    : std::runtime_error("line " + std::to_string(line) + ": " + reason),
      line_(line),
      reason_(reason) {}

Step parse_step(const std::string& text, int line) {
  Json::Value object;
  try {
    object = kelvra::hostkit::parse_json(text, {kMaxScriptLineBytes, kMaxScriptDepth});
  } catch (const kelvra::hostkit::InputError& error) {
    throw ScriptError(line, std::string("not a JSON object: ") + error.what());
  }
  if (!object.isObject()) throw ScriptError(line, "not a JSON object");
  const Json::Value& op = static_cast<const Json::Value&>(object)["op"];
  if (op.isNull()) throw ScriptError(line, "missing field \"op\"");
  if (!op.isString()) throw ScriptError(line, "field \"op\" must be a string");
  const auto reader_of_op = step_readers().find(op.asString());
  if (reader_of_op == step_readers().end()) {
    throw ScriptError(line, "unknown op \"" + op.asString() + "\"");
  }
  Fields fields(object, op.asString(), line);
  Step step = reader_of_op->second(fields);
  fields.check_all_used();
  return step;
}

std::vector<ScriptLine> read_script(std::istream& in) {
  std::vector<ScriptLine> script;
  std::string text;
  std::size_t script_bytes = 0;
  for (int line = 1; next_line(in, text, line, script_bytes); ++line) {
    if (is_blank_or_comment(text)) continue;
    script.push_back({line, parse_step(text, line)});
  }
  return script;
}

}  // namespace scripted_host
