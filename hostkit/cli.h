// What the programs' command lines share: bounded numeric options and one way to turn parse
// errors and failures into messages and exit codes (0 done, 1 failure, 2 usage).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <CLI/CLI.hpp>

#include "hostkit/bounds.h"

namespace kelvra::hostkit {

constexpr int kExitDone = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Checks the option's text against bounds; the message names the range and the text given.
CLI::Validator bounded_validator(const Bounds& bounds);
// Checks the option's text against the serial rates.
CLI::Validator serial_rate_validator();

// A numeric option within bounds; store receives the number. The help shows the range as
// its type ("N:1..254").
CLI::Option* add_bounded(CLI::App& app, const std::string& name, const Bounds& bounds,
                         std::function<void(std::int64_t)> store, const std::string& help);
// A line rate, one of the serial rates.
CLI::Option* add_serial_rate(CLI::App& app, const std::string& name, unsigned& baud,
                             const std::string& help);

// The action the chosen (sub)command sets while argv is parsed, run after parsing succeeded.
using CommandAction = std::function<int()>;

// Parses argv with app, then runs action. --help and --version print to standard output (0);
// a parse error prints "PROGRAM [SUBCOMMAND]: message (see ... --help)" (2); an InputError
// from action is a usage error too (2), any other exception a failure (1).
int run_cli(CLI::App& app, int argc, const char* const* argv, const CommandAction& action);

}  // namespace kelvra::hostkit
