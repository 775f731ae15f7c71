// The strict JSON reader and the object walker: what they refuse and how the message names it.
#include "hostkit/json_input.h"

#include <cmath>
#include <limits>

#include <string>

#include <gtest/gtest.h>

#include "hostkit/json_output.h"

namespace {

using kelvra::hostkit::InputError;
using kelvra::hostkit::JsonNode;
using kelvra::hostkit::JsonObjectReader;

constexpr kelvra::hostkit::JsonLimits kLimits{256, 4};

std::string refusal(const std::string& text) {
  try {
    kelvra::hostkit::parse_json(text, kLimits);
    return "taken";
  } catch (const InputError& error) {
    return error.what();
  }
}

TEST(ParseJson, RefusesTooBigTooDeepTrailingAndLaxText) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {R"({"a": [1, {"b": 2}]})", "taken"},
      {"[[[[1]]]]", "taken"},  // four levels: the limit
      {"[[[[[1]]]]]", "nested deeper than 4 levels"},
      {std::string(100000, '[') + std::string(100000, ']'), "larger than 256 bytes"},
      {std::string(200, '[') + std::string(56, ']'), "nested deeper than 4 levels"},
      {"{\"a\": \"" + std::string(250, 'x') + "\"}", "larger than 256 bytes"},
      {"{} {}", "not valid JSON: * Line 1, Column 4\n  Extra non-whitespace after JSON value."},
      {"1 2", "not valid JSON: * Line 1, Column 3\n  Extra non-whitespace after JSON value."},
      {"{}\n \t", "taken"},
      {"{} // note",
       "not valid JSON: * Line 1, Column 4\n  Extra non-whitespace after JSON value."},
      {R"({"a": 1, "a": 2})", "not valid JSON: * Line 1, Column 10\n  Duplicate key: 'a'"},
      {"", "not valid JSON: * Line 1, Column 1\n  Syntax error: value, object or array expected."},
      {"{'a': 1}", "not valid JSON: * Line 1, Column 2\n  Missing '}' or object member name"},
      {"3", "taken"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.text), c.expected) << c.text.substr(0, 40);
}

// Walks {"host": {"port": TEXT, "devices": [{"address": 1..254}]}} as a settings reader does.
std::string walk(const std::string& text) {
  try {
    const Json::Value root = kelvra::hostkit::parse_json(text, {4096, 8});
    JsonObjectReader top = JsonNode(root, "").object();
    JsonObjectReader host = top.require("host").object();
    if (auto port = host.find("port")) port->text();
    if (auto enabled = host.find("enabled")) enabled->boolean();
    if (auto devices = host.find("devices")) {
      for (const JsonNode& entry : devices->array()) {
        JsonObjectReader device = entry.object();
        device.require("address").integer({1, 254});
        device.finish();
      }
    }
    host.finish();
    top.finish();
    return "taken";
  } catch (const InputError& error) {
    return error.what();
  }
}

TEST(JsonObjectReader, NamesThePathOfUnknownMembersAndWrongTypes) {
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {R"({"host": {"port": "/dev/ttyS0", "devices": [{"address": 1}, {"address": "0x02"}]}})",
       "taken"},
      {R"({"host": {"port": null}})", "taken"},  // null is absent
      {R"({"host": {"devices": [{"address": 1}, {"adress": 2}]}})",
       "host.devices[1].address: missing"},
      {R"({"host": {"devices": [{"address": 1}, {"address": 2, "adress": 2}]}})",
       "host.devices[1].adress: unknown member"},
      {R"({"host": {"prot": "/dev/ttyS0"}})", "host.prot: unknown member"},
      {R"({"host": {}, "extra": 1})", "extra: unknown member"},
      {R"({"host": {"port": 5}})", "host.port: expected a text"},
      {R"({"host": {"enabled": "yes"}})", "host.enabled: expected true or false"},
      {R"({"host": {"devices": {}}})", "host.devices: expected an array"},
      {R"({"host": {"devices": [3]}})", "host.devices[0]: expected an object"},
      {R"({"host": []})", "host: expected an object"},
      {R"([])", "top level: expected an object"},
      {R"({})", "host: missing"},
      {R"({"host": {"devices": [{"address": 255}]}})",
       "host.devices[0].address: expected a number from 1 to 254, got 255"},
      {R"({"host": {"devices": [{"address": 1.5}]}})",
       "host.devices[0].address: expected a whole number from 1 to 254"},
      {R"({"host": {"devices": [{"address": true}]}})",
       "host.devices[0].address: expected a whole number from 1 to 254"},
      {R"({"host": {"devices": [{"address": "x1"}]}})",
       "host.devices[0].address: expected a number from 1 to 254, got \"x1\""},
      {R"({"host": {"devices": [{"address": 18446744073709551615}]}})",
       "host.devices[0].address: expected a whole number from 1 to 254"},
  };
  for (const auto& c : cases) EXPECT_EQ(walk(c.text), c.expected) << c.text;
}

TEST(ReadJsonFile, ErrorsNameTheFile) {
  try {
    kelvra::hostkit::read_json_file("/nonexistent/x.json", kLimits, "the settings file");
    ADD_FAILURE() << "a missing file was read";
  } catch (const InputError& error) {
    EXPECT_STREQ(error.what(),
                 "/nonexistent/x.json: cannot read the settings file: No such file or directory");
  }
  try {
    kelvra::hostkit::read_json_file("/dev/zero", kLimits, "the settings file");
    ADD_FAILURE() << "/dev/zero was read";
  } catch (const InputError& error) {
    EXPECT_STREQ(error.what(), "/dev/zero: cannot read the settings file: larger than 256 bytes");
  }
}

// The one writer: every number as at most 15 digits, so a reading prints as the decimal it was
// read as; NaN and infinities as null at any depth, never as 1e+9999.
TEST(JsonText, OneFloatFormatAndNullForWhatIsNotANumber) {
  Json::Value value(Json::objectValue);
  value["v"] = 53.3;
  value["f"] = static_cast<double>(53.3f);
  value["list"].append(std::numeric_limits<double>::infinity());
  value["list"].append(std::nan(""));
  value["list"].append(-0.1);
  value["text"] = "电";
  EXPECT_EQ(kelvra::hostkit::json_text(value),
            R"({"f":53.2999992370605,"list":[null,null,-0.1],"text":"电","v":53.3})");
}

}  // namespace
