#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostkit/stdout_capture.h"
#include "script/transcript.h"

namespace {

using scripted_host::Event;
using scripted_host::json_float;
using scripted_host::json_string;

std::uint32_t bits_of(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

TEST(JsonFloat, WritesNineSignificantDigits) {
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {53.52f, "53.5200005"},
      {-0.1f, "-0.100000001"},
      {229.5f, "229.5"},
      {230.0f, "230"},
      {0.0f, "0"},
      {-0.0f, "-0"},
      {std::numeric_limits<float>::denorm_min(), "1.40129846e-45"},
      {std::numeric_limits<float>::max(), "3.40282347e+38"},
      {std::numeric_limits<float>::quiet_NaN(), "\"nan\""},
      {std::numeric_limits<float>::infinity(), "\"inf\""},
      {-std::numeric_limits<float>::infinity(), "\"-inf\""},
  };
  for (const auto& c : cases) EXPECT_EQ(json_float(c.value), c.text) << c.text;
}

TEST(JsonFloat, ReadsBackToTheSameBits) {
  // Neighbours of values the device reports, where fewer digits would round to another float.
  const std::uint32_t patterns[] = {0x42561EB8, 0x42561EB9, 0xBDCCCCCD, 0x3F800001, 0x00000001,
                                    0x7F7FFFFF, 0x80000000, 0x4B7FFFFF, 0x3DCCCCCC, 0x3DCCCCCE};
  for (std::uint32_t pattern : patterns) {
    float value;
    std::memcpy(&value, &pattern, sizeof value);
    const std::string text = json_float(value);
    EXPECT_EQ(bits_of(std::strtof(text.c_str(), nullptr)), pattern) << text;
  }
}

TEST(JsonString, KeepsUtf8AndEscapesWhatJsonRequires) {
  const struct {
    std::string text;
    const char* json;
  } cases[] = {
      {"数据未就绪", "\"数据未就绪\""},          {"a\"b\\c", R"("a\"b\\c")"},
      {"tab\tnew\nline", R"("tab\tnew\nline")"}, {std::string("nul\0x", 5), R"("nul\u0000x")"},
      {"\x01\x1f", R"("\u0001\u001f")"},         {"", R"("")"},
  };
  for (const auto& c : cases) EXPECT_EQ(json_string(c.text), c.json) << c.json;
}

TEST(Event, KeepsMembersInTheOrderAdded) {
  const Event event = Event("alarm")
                          .integer("level", -2)
                          .text("key", "p40_44_0")
                          .boolean("state", true)
                          .number("value", 53.52f)
                          .null("out");
  EXPECT_EQ(
      event.str(),
      R"({"ev":"alarm","level":-2,"key":"p40_44_0","state":true,"value":53.5200005,"out":null})");
}

// Reads everything written to a temporary file.
std::string contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
  return text;
}

TEST(StdoutCapture, CollectsPrintfAndStreamLinesInOrder) {
  kelvra::hostkit::StdoutCapture capture;
  std::printf("a %x %x\n", 0x80u, 0x65u);
  std::cout << "rvSize is " << 2 << std::endl;
  std::printf("partial");
  EXPECT_EQ(capture.take_lines(), (std::vector<std::string>{"a 80 65", "rvSize is 2"}));
  std::cout << " line\n"
            << "next";
  EXPECT_EQ(capture.take_lines(), (std::vector<std::string>{"partial line"}));
  EXPECT_EQ(capture.take_lines(true), (std::vector<std::string>{"next"}));
  EXPECT_TRUE(capture.take_lines(true).empty());
}

TEST(StdoutCapture, TranscriptPutsPrintsBeforeTheNextEvent) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    kelvra::hostkit::StdoutCapture capture;
    scripted_host::Transcript transcript(out, &capture);
    std::printf("parse40_41 channel_count is 2\n");
    transcript.write(Event("reset"));
    transcript.write(Event("open_port"));
    std::cout << "last";
    transcript.finish();
  }
  EXPECT_EQ(contents(out),
            "{\"ev\":\"print\",\"line\":\"parse40_41 channel_count is 2\"}\n"
            "{\"ev\":\"reset\"}\n"
            "{\"ev\":\"open_port\"}\n"
            "{\"ev\":\"print\",\"line\":\"last\"}\n");
  std::fclose(out);
}

}  // namespace
