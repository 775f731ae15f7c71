// Runs kelvra-host in-process as the program would, capturing what it prints.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/kelvra-host/commands.h"

struct Invocation {
  int code;
  std::string out;
  std::string err;
};

// kelvra-host with args after the program's name.
inline Invocation invoke(std::vector<std::string> args) {
  args.insert(args.begin(), "kelvra-host");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int code = kelvra::app::host_main(static_cast<int>(argv.size()), argv.data());
  std::fflush(stdout);
  std::string out = ::testing::internal::GetCapturedStdout();
  return {code, std::move(out), ::testing::internal::GetCapturedStderr()};
}
