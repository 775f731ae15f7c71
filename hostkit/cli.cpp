#include "hostkit/cli.h"

#include <cstdio>
#include <exception>

#include "hostkit/input_error.h"
#include "hostkit/serial_rates.h"

namespace kelvra::hostkit {
namespace {

// The message of an InputError whose field is left out: CLI11 puts the option's name first.
std::string reason_of(const InputError& error) {
  const std::string what = error.what();
  return what.rfind(": ", 0) == 0 ? what.substr(2) : what;
}

// "kelvra-host run": the program and the subcommands chosen so far.
std::string command_name(const CLI::App& app) {
  std::string name = app.get_name();
  for (const CLI::App* chosen = &app;;) {
    const auto subcommands = chosen->get_subcommands();
    if (subcommands.empty()) return name;
    chosen = subcommands.front();
    name += " " + chosen->get_name();
  }
}

int usage_error(const CLI::App& app, const char* message) {
  const std::string name = command_name(app);
  std::fprintf(stderr, "%s: %s (see %s --help)\n", name.c_str(), message, name.c_str());
  return kExitUsage;
}

}  // namespace

CLI::Validator bounded_validator(const Bounds& bounds) {
  return CLI::Validator(
      [bounds](std::string& text) -> std::string {
        try {
          parse_bounded("", text, bounds);
          return {};
        } catch (const InputError& error) {
          return reason_of(error);
        }
      },
      bounds_text(bounds));
}

CLI::Validator serial_rate_validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        try {
          parse_serial_rate("", text);
          return {};
        } catch (const InputError& error) {
          return reason_of(error);
        }
      },
      "");
}

CLI::Option* add_bounded(CLI::App& app, const std::string& name, const Bounds& bounds,
                         std::function<void(std::int64_t)> store, const std::string& help) {
  return app
      .add_option_function<std::string>(
          name,
          [name, bounds, store = std::move(store)](const std::string& text) {
            store(parse_bounded(name, text, bounds));
          },
          help)
      ->type_name("N")
      ->check(bounded_validator(bounds));
}

CLI::Option* add_serial_rate(CLI::App& app, const std::string& name, unsigned& baud,
                             const std::string& help) {
  return app
      .add_option_function<std::string>(
          name, [name, &baud](const std::string& text) { baud = parse_serial_rate(name, text); },
          help + "; one of " + serial_rates_text())
      ->type_name("RATE")
      ->check(serial_rate_validator());
}

int run_cli(CLI::App& app, int argc, const char* const* argv, const CommandAction& action) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& success) {
    return app.exit(success);
  } catch (const CLI::ParseError& error) {
    return usage_error(app, error.what());
  } catch (const InputError& error) {
    return usage_error(app, error.what());
  }
  const std::string name = command_name(app);
  try {
    return action ? action() : kExitDone;
  } catch (const InputError& error) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.what());
    return kExitUsage;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.what());
    return kExitFailure;
  }
}

}  // namespace kelvra::hostkit
