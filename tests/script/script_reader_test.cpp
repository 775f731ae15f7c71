#include <cctype>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "script/script_reader.h"

namespace {

using scripted_host::Bytes;
using scripted_host::parse_step;
using scripted_host::read_script;
using scripted_host::ScriptError;

struct InvalidLine {
  const char* what;
  const char* text;
  const char* reason;
};

void PrintTo(const InvalidLine& c, std::ostream* os) {
  *os << c.text;
}

class InvalidStep : public ::testing::TestWithParam<InvalidLine> {};

TEST_P(InvalidStep, IsRefusedWithItsReason) {
  const InvalidLine& c = GetParam();
  try {
    parse_step(c.text, 7);
    FAIL() << "accepted: " << c.text;
  } catch (const ScriptError& error) {
    EXPECT_EQ(error.line(), 7);
    EXPECT_EQ(error.reason(), c.reason);
    EXPECT_EQ(std::string(error.what()), std::string("line 7: ") + c.reason);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ScriptReader, InvalidStep,
    ::testing::Values(
        InvalidLine{"unknown op", R"({"op":"frobnicate"})", R"(unknown op "frobnicate")"},
        InvalidLine{"op of wrong case", R"({"op":"Refresh"})", R"(unknown op "Refresh")"},
        InvalidLine{"no op", R"({"key":"out_v"})", R"(missing field "op")"},
        InvalidLine{"op not text", R"({"op":3})", R"(field "op" must be a string)"},
        InvalidLine{"array", R"([{"op":"refresh"}])", "not a JSON object"},
        InvalidLine{"odd hex digits", R"({"op":"respond","info":"001"})",
                    R"(field "info" is not hex: "001")"},
        InvalidLine{"hex letter out of range", R"({"op":"cache","hex":"0g"})",
                    R"(field "hex" is not hex: "0g")"},
        InvalidLine{"blank inside a byte", R"({"op":"control","code":300,"hex":"0 1"})",
                    R"(field "hex" is not hex: "0 1")"},
        InvalidLine{"hex as number", R"({"op":"cache","hex":12})",
                    R"(field "hex" must be a string of hex digits)"},
        InvalidLine{"missing key", R"({"op":"query"})", R"(missing field "key" of op "query")"},
        InvalidLine{"null counts as missing", R"({"op":"respond","info":null})",
                    R"(missing field "info" of op "respond")"},
        InvalidLine{"missing levels", R"({"op":"thresholds","values":{}})",
                    R"(missing field "levels" of op "thresholds")"},
        InvalidLine{"missing json", R"({"op":"settings","data_id":1})",
                    R"(missing field "json" of op "settings")"},
        InvalidLine{"seconds as text", R"({"op":"advance","seconds":"61"})",
                    R"(field "seconds" must be an integer)"},
        InvalidLine{"seconds fractional", R"({"op":"advance","seconds":1.5})",
                    R"(field "seconds" must be an integer)"},
        InvalidLine{"seconds beyond int", R"({"op":"advance","seconds":2147483648})",
                    R"(field "seconds" must be an integer)"},
        InvalidLine{"bool as number", R"({"op":"host_check","value":1})",
                    R"(field "value" must be true or false)"},
        InvalidLine{"negative count", R"({"op":"rules","count":-1})",
                    R"(field "count" must be an unsigned integer)"},
        InvalidLine{"count too large", R"({"op":"rules","count":65537})",
                    R"(field "count" must be at most 65536)"},
        InvalidLine{"level as text", R"({"op":"thresholds","levels":{"k":"1"},"values":{}})",
                    R"(field "levels/k" must be an integer)"},
        InvalidLine{"value as bool", R"({"op":"analog","signals":[],"values":{"u":true}})",
                    R"(field "values/u" must be a number)"},
        InvalidLine{"signal not text", R"({"op":"analog","signals":["u",1],"values":{}})",
                    R"(field "signals" must be a string)"},
        InvalidLine{"settings not object", R"({"op":"settings","json":"x"})",
                    R"(field "json" must be an object)"},
        InvalidLine{"lenid beyond 16 bits", R"({"op":"respond","info":"","lenid":65536})",
                    R"(field "lenid" must be a 16-bit length field, 0 to 65535)"},
        InvalidLine{"cid1 beyond a byte", R"({"op":"respond","info":"","cid1":256})",
                    R"(field "cid1" must be a byte: 0 to 255 or two hex digits)"},
        InvalidLine{"rtn of two bytes", R"({"op":"respond","info":"","rtn":"0102"})",
                    R"(field "rtn" must be a byte: 0 to 255 or two hex digits)"},
        InvalidLine{"unknown host call", R"({"op":"host_result","name":"SendSP","value":true})",
                    R"(field "name" must be CheckAOReport or DoBatchCheckThreshold)"},
        InvalidLine{"text and hex", R"({"op":"control","code":320,"text":"a","hex":"61"})",
                    R"(give "text" or "hex" of op "control", not both)"},
        InvalidLine{"out_len too large", R"({"op":"control","code":0,"out_len":65537})",
                    R"(field "out_len" must be at most 65536)"},
        InvalidLine{"misspelt field", R"({"op":"respond","info":"00","lenID":2})",
                    R"(lenID: unknown member of op "respond")"},
        InvalidLine{"field of no op", R"({"op":"record","hex":"00"})",
                    R"(hex: unknown member of op "record")"}),
    [](const ::testing::TestParamInfo<InvalidLine>& param_info) {
      std::string name = param_info.param.what;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(ScriptReader, BrokenJsonIsRefusedWithTheParserReason) {
  try {
    parse_step(R"({"op":"refresh")", 2);
    FAIL() << "accepted";
  } catch (const ScriptError& error) {
    EXPECT_EQ(error.line(), 2);
    EXPECT_EQ(error.reason().rfind("not a JSON object: ", 0), 0u) << error.reason();
  }
}

TEST(ScriptReader, DeepNestingIsRefusedAsInvalidJson) {
  const std::string deep = R"({"op":"settings","json":)" + std::string(2000, '[') + "]";
  EXPECT_THROW(parse_step(deep, 1), ScriptError);
}

TEST(ScriptReader, NamesTheLineOfTheFileAfterBlanksAndComments) {
  std::istringstream script(
      "# a session\n"
      "\n"
      "{\"op\":\"refresh\"}\n"
      "   # indented comment\n"
      "{\"op\":\"refrseh\"}\n"
      "{\"op\":\"nonsense\"}\n");
  try {
    read_script(script);
    FAIL() << "accepted";
  } catch (const ScriptError& error) {
    EXPECT_EQ(error.line(), 5);
    EXPECT_STREQ(error.what(), "line 5: unknown op \"refrseh\"");
  }
}

TEST(ScriptReader, LongLinesAndLongScriptsAreRefusedWhereTheyCrossTheLimit) {
  const std::string step = "{\"op\":\"record\"}\n";
  const auto comment = [](std::size_t bytes) { return "#" + std::string(bytes - 1, 'x') + "\n"; };
  struct Case {
    const char* what;
    std::string script;
    const char* error;  // empty: read
  } cases[] = {
      {"a line of 65536 bytes", step + comment(65536) + step, ""},
      {"a line of 65537 bytes", step + comment(65537) + step,
       "line 2: line longer than 65536 bytes"},
      {"a line of 10 MiB", step + step + std::string(10 << 20, ' '),
       "line 3: line longer than 65536 bytes"},
      // Lines of 60000 bytes and their ends: byte 16777217 lies in line 280.
      {"300 lines of 60000 bytes",
       [&comment] {
         std::string script;
         for (int i = 0; i < 300; ++i) script += comment(60000);
         return script;
       }(),
       "line 280: script longer than 16777216 bytes"},
  };
  for (const Case& c : cases) {
    std::istringstream script(c.script);
    try {
      const auto steps = read_script(script);
      EXPECT_STREQ("", c.error) << c.what << " was read";
      EXPECT_EQ(steps.size(), 2u) << c.what;
    } catch (const ScriptError& error) {
      EXPECT_STREQ(error.what(), c.error) << c.what;
    }
  }
}

TEST(ScriptReader, KeepsTheLineNumberOfEachStep) {
  std::istringstream script("\n{\"op\":\"record\"}\n#\n{\"op\":\"state\"}");
  const auto steps = read_script(script);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].line, 2);
  EXPECT_TRUE(std::holds_alternative<scripted_host::RecordStep>(steps[0].step));
  EXPECT_EQ(steps[1].line, 4);
  EXPECT_TRUE(std::holds_alternative<scripted_host::StateStep>(steps[1].step));
}

TEST(ScriptReader, RespondTakesDefaultsAndBothByteForms) {
  const auto bare =
      std::get<scripted_host::RespondStep>(parse_step(R"({"op":"respond","info":"10 0A ff"})", 1));
  EXPECT_EQ(bare.info, (Bytes{0x10, 0x0A, 0xFF}));
  EXPECT_FALSE(bare.lenid.has_value());
  EXPECT_FALSE(bare.cid1.has_value());
  EXPECT_EQ(bare.rtn, 0);

  const auto full = std::get<scripted_host::RespondStep>(
      parse_step(R"({"op":"respond","info":"","lenid":65535,"cid1":"4e","rtn":4})", 1));
  EXPECT_TRUE(full.info.empty());
  EXPECT_EQ(full.lenid, 65535);
  EXPECT_EQ(full.cid1, 0x4E);
  EXPECT_EQ(full.rtn, 4);
}

TEST(ScriptReader, ControlTakesTextBytesWithoutTerminatorOrHex) {
  const auto by_text = std::get<scripted_host::ControlStep>(
      parse_step(R"({"op":"control","code":320,"text":"4195"})", 1));
  EXPECT_EQ(by_text.code, 320);
  EXPECT_EQ(by_text.in, (Bytes{'4', '1', '9', '5'}));
  EXPECT_EQ(by_text.out_len, 4);

  const auto by_hex = std::get<scripted_host::ControlStep>(
      parse_step(R"({"op":"control","code":-5,"hex":"0001","out_len":-1})", 1));
  EXPECT_EQ(by_hex.code, -5);
  EXPECT_EQ(by_hex.in, (Bytes{0x00, 0x01}));
  EXPECT_EQ(by_hex.out_len, -1);

  const auto bare =
      std::get<scripted_host::ControlStep>(parse_step(R"({"op":"control","code":0})", 1));
  EXPECT_TRUE(bare.in.empty());
}

TEST(ScriptReader, ThresholdsAndAnalogKeepTheirMaps) {
  const auto thresholds = std::get<scripted_host::ThresholdsStep>(parse_step(
      R"({"op":"thresholds","levels":{"220600120010":2,"x":-1},"values":{"220600160010":55.5}})",
      1));
  EXPECT_EQ(thresholds.levels, (std::map<std::string, int>{{"220600120010", 2}, {"x", -1}}));
  EXPECT_EQ(thresholds.values, (std::map<std::string, float>{{"220600160010", 55.5f}}));

  const auto analog = std::get<scripted_host::AnalogStep>(
      parse_step(R"({"op":"analog","signals":["u1","u2"],"values":{"u1":3}})", 1));
  EXPECT_EQ(analog.signals, (std::vector<std::string>{"u1", "u2"}));
  EXPECT_EQ(analog.values, (std::map<std::string, float>{{"u1", 3.0f}}));
}

TEST(ScriptReader, SettingsKeepTheObjectAndDataId) {
  const auto settings = std::get<scripted_host::SettingsStep>(parse_step(
      R"({"op":"settings","json":{"appSetting":{"has_dc":"1"}},"data_id":4294967295})", 1));
  EXPECT_EQ(settings.json["appSetting"]["has_dc"].asString(), "1");
  EXPECT_EQ(settings.data_id, 4294967295u);
}

}  // namespace
