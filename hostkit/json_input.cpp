#include "hostkit/json_input.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include <json/reader.h>

#include "hostkit/input_file.h"

namespace kelvra::hostkit {
namespace {

unsigned depth_of(const Json::Value& value) {
  unsigned deepest = 0;
  if (value.isArray() || value.isObject()) {
    for (const Json::Value& member : value) deepest = std::max(deepest, depth_of(member));
    return deepest + 1;
  }
  return 0;
}

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

}  // namespace

Json::Value parse_json(std::string_view text, const JsonLimits& limits) {
  if (text.size() > limits.max_bytes) {
    throw InputError("larger than " + std::to_string(limits.max_bytes) + " bytes");
  }
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["strictRoot"] = false;
  // One level more than allowed, so that too deep a text is told apart from invalid JSON.
  builder["stackLimit"] = limits.max_depth + 1;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
  } catch (const Json::Exception&) {
    throw InputError("nested deeper than " + std::to_string(limits.max_depth) + " levels");
  }
  if (!parsed) throw InputError("not valid JSON: " + trimmed(errors));
  if (depth_of(root) > limits.max_depth) {
    throw InputError("nested deeper than " + std::to_string(limits.max_depth) + " levels");
  }
  return root;
}

Json::Value read_json_file(const std::string& path, const JsonLimits& limits,
                           const std::string& what) {
  std::string text;
  try {
    text = read_input_file(path, limits.max_bytes);
  } catch (const InputFileError& error) {
    throw InputError(path + ": cannot read " + what + ": " + error.what());
  }
  try {
    return parse_json(text, limits);
  } catch (const InputError& error) {
    throw InputError(path + ": " + error.what());
  }
}

JsonNode::JsonNode(const Json::Value& value, std::string path)
    : value_(&value), path_(std::move(path)) {}

void JsonNode::fail(const std::string& reason) const {
  throw InputError((path_.empty() ? "top level" : path_) + ": " + reason);
}

std::string JsonNode::text() const {
  if (!value_->isString()) fail("expected a text");
  return value_->asString();
}

bool JsonNode::boolean() const {
  if (!value_->isBool()) fail("expected true or false");
  return value_->asBool();
}

double JsonNode::number() const {
  if (!value_->isNumeric() || value_->isBool()) fail("expected a number");
  return value_->asDouble();
}

std::int64_t JsonNode::integer(const Bounds& bounds) const {
  if (value_->isString()) return parse_bounded(path_, value_->asString(), bounds);
  if (value_->isInt64()) return check_bounded(path_, value_->asInt64(), bounds);
  fail("expected a whole number from " + bounded_text(bounds.min, bounds) + " to " +
       bounded_text(bounds.max, bounds));
}

JsonObjectReader JsonNode::object() const {
  return JsonObjectReader(*this);
}

std::vector<JsonNode> JsonNode::array() const {
  if (!value_->isArray()) fail("expected an array");
  std::vector<JsonNode> items;
  for (Json::ArrayIndex i = 0; i < value_->size(); ++i) {
    items.emplace_back((*value_)[i], path_ + "[" + std::to_string(i) + "]");
  }
  return items;
}

JsonObjectReader::JsonObjectReader(const JsonNode& object) : node_(object) {
  if (!object.value().isObject()) object.fail("expected an object");
}

std::string JsonObjectReader::member_path(const std::string& key) const {
  return node_.path().empty() ? key : node_.path() + "." + key;
}

std::optional<JsonNode> JsonObjectReader::find(const std::string& key) {
  asked_.insert(key);
  const Json::Value* member = node_.value().find(key.data(), key.data() + key.size());
  if (member == nullptr || member->isNull()) return std::nullopt;
  return JsonNode(*member, member_path(key));
}

JsonNode JsonObjectReader::require(const std::string& key) {
  std::optional<JsonNode> member = find(key);
  if (!member) throw InputError(member_path(key) + ": missing");
  return *member;
}

std::vector<std::pair<std::string, JsonNode>> JsonObjectReader::members() {
  std::vector<std::pair<std::string, JsonNode>> all;
  for (const std::string& key : node_.value().getMemberNames()) {
    asked_.insert(key);
    all.emplace_back(key, JsonNode(node_.value()[key], member_path(key)));
  }
  return all;
}

void JsonObjectReader::finish() const {
  for (const std::string& key : node_.value().getMemberNames()) {
    if (asked_.count(key) == 0) throw InputError(member_path(key) + ": unknown member");
  }
}

}  // namespace kelvra::hostkit
