// The capture of a plug-in's standard output stays bounded however long the run.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostkit/stdout_capture.h"

namespace {

TEST(StdoutCapture, HoldsOnlyWhatWasWrittenSinceTheLastTake) {
  // 260 bytes per line, as a device round writes about that much.
  const std::string line(259, 'x');
  std::size_t taken = 0;
  std::size_t largest_held = 0;
  std::vector<std::string> wrong;
  {
    kelvra::hostkit::StdoutCapture capture;
    for (int round = 0; round < 5000; ++round) {
      for (int i = 0; i < 4; ++i) std::printf("%s\n", line.c_str());
      for (const std::string& got : capture.take_lines()) {
        ++taken;
        if (got != line && wrong.size() < 3) wrong.push_back(got);
      }
      largest_held = std::max(largest_held, capture.held_bytes());
    }
  }
  EXPECT_EQ(taken, 20000u);
  EXPECT_TRUE(wrong.empty()) << wrong.front();
  EXPECT_EQ(largest_held, 0u);
}

TEST(StdoutCapture, PartialLineSurvivesTheEmptying) {
  std::vector<std::string> first, second, last;
  std::size_t held_after_partial = 1;
  {
    kelvra::hostkit::StdoutCapture capture;
    std::printf("one\ntw");
    first = capture.take_lines();
    held_after_partial = capture.held_bytes();
    std::printf("o\nthree");
    second = capture.take_lines();
    last = capture.take_lines(true);
  }
  EXPECT_EQ(first, std::vector<std::string>{"one"});
  EXPECT_EQ(held_after_partial, 0u);
  EXPECT_EQ(second, std::vector<std::string>{"two"});
  EXPECT_EQ(last, std::vector<std::string>{"three"});
}

}  // namespace
