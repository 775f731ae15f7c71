// The one strict reader of outside JSON text (settings, scenarios, script lines, control
// requests) and a walker over what it read that refuses unknown members and wrong types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <json/value.h>

#include "hostkit/bounds.h"
#include "hostkit/input_error.h"

namespace kelvra::hostkit {

struct JsonLimits {
  std::size_t max_bytes;
  unsigned max_depth = 32;  // nesting of arrays and objects
};

// Exactly one JSON value: no comments, no duplicate members, nothing but blanks after it.
// Throws InputError "not valid JSON: ...", "larger than N bytes" or "nested deeper than N".
Json::Value parse_json(std::string_view text, const JsonLimits& limits);

// The file at path, read with read_input_file and parsed as above; errors start with "PATH: ",
// and one that kept the file from being read says "cannot read WHAT: ".
Json::Value read_json_file(const std::string& path, const JsonLimits& limits,
                           const std::string& what);

class JsonObjectReader;

// One value with its path in the document ("host.devices[1].address"); the typed reads throw
// InputError "PATH: expected TYPE".
class JsonNode {
 public:
  JsonNode(const Json::Value& value, std::string path);

  const Json::Value& value() const { return *value_; }
  const std::string& path() const { return path_; }
  bool is_null() const { return value_->isNull(); }

  [[noreturn]] void fail(const std::string& reason) const;

  std::string text() const;
  bool boolean() const;
  double number() const;
  // A whole JSON number, or a text holding one ("9600", "0x20"), within bounds.
  std::int64_t integer(const Bounds& bounds) const;
  // Throws unless the value is an object; its members are then read with the walker.
  JsonObjectReader object() const;
  std::vector<JsonNode> array() const;

 private:
  const Json::Value* value_;
  std::string path_;
};

// The members of one object, each asked for by name; finish() refuses the members never asked
// for ("PATH.member: unknown member").
class JsonObjectReader {
 public:
  explicit JsonObjectReader(const JsonNode& object);

  const std::string& path() const { return node_.path(); }
  // The member, or nullopt when it is absent or null.
  std::optional<JsonNode> find(const std::string& key);
  // The member; throws "PATH.key: missing" when it is absent or null.
  JsonNode require(const std::string& key);
  // Every member in name order, all counted as asked for.
  std::vector<std::pair<std::string, JsonNode>> members();
  void finish() const;

 private:
  std::string member_path(const std::string& key) const;

  JsonNode node_;
  std::set<std::string> asked_;
};

}  // namespace kelvra::hostkit
