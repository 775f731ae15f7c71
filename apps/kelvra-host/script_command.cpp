#include "apps/kelvra-host/script_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostkit/plugin_loader.h"
#include "hostkit/stdout_capture.h"
#include "script/script_player.h"
#include "script/script_reader.h"
#include "script/transcript.h"
#include "script/transcript_host.h"

namespace {

constexpr int kExitPlayed = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: kelvra-host script FILE|- [--plugin PATH]\n"
    "\n"
    "Plays a session script against one device of the plug-in and writes what the device did\n"
    "to standard output, one JSON object per line, in the order it happened.\n"
    "\n"
    "  FILE           the script, one JSON object per line ('-': standard input); blank lines\n"
    "                 and lines starting with '#' are skipped\n"
    "  --plugin PATH  the plug-in library (default: the one built beside this program)\n"
    "  --help         this text\n"
    "\n"
    "Ops: settings, thresholds, analog, rules, host_check, host_result, refresh, respond,\n"
    "advance, query, control, cache, record, state.\n"
    "Exit: 0 played to its end, 1 failure, 2 usage error or invalid script.\n";

struct Options {
  std::string script;
  std::string plugin;
};

// Options from the arguments after "script"; nullopt after a usage message or --help.
std::optional<Options> parse_options(int argc, char** argv, int& exit_code) {
  Options options;
  bool have_script = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      exit_code = kExitPlayed;
      return std::nullopt;
    }
    if (arg == "--plugin") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kelvra-host script: --plugin needs a path\n%s", kUsage);
        exit_code = kExitUsage;
        return std::nullopt;
      }
      options.plugin = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "kelvra-host script: unknown option %s\n%s", arg.c_str(), kUsage);
      exit_code = kExitUsage;
      return std::nullopt;
    } else if (have_script) {
      std::fprintf(stderr, "kelvra-host script: more than one script given\n%s", kUsage);
      exit_code = kExitUsage;
      return std::nullopt;
    } else {
      options.script = arg;
      have_script = true;
    }
  }
  if (!have_script) {
    std::fprintf(stderr, "kelvra-host script: no script given\n%s", kUsage);
    exit_code = kExitUsage;
    return std::nullopt;
  }
  if (options.plugin.empty()) options.plugin = kelvra::hostkit::plugin_beside_program();
  return options;
}

std::vector<scripted_host::ScriptLine> read_script_file(const std::string& name) {
  if (name == "-") return scripted_host::read_script(std::cin);
  std::ifstream file(name);
  if (!file) throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
  return scripted_host::read_script(file);
}

// Loads the plug-in, creates one device and plays the script against it, the plug-in's own
// output captured into the transcript.
int play(const Options& options, const std::vector<scripted_host::ScriptLine>& script) {
  kelvra::hostkit::StdoutCapture capture;
  std::FILE* out = fdopen(dup(capture.original_fd()), "w");
  if (out == nullptr) throw std::runtime_error("cannot write the transcript");
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(out, &std::fclose);
  scripted_host::Transcript transcript(out, &capture);

  kelvra::hostkit::LoadedPlugin plugin(options.plugin);
  kelvra::hostkit::DevicePtr device = plugin.create_device();
  auto* protocol = dynamic_cast<PMBusProtocol*>(device.get());
  if (protocol == nullptr) throw std::runtime_error("the device does not use the command protocol");
  scripted_host::TranscriptHost host(transcript);
  {
    scripted_host::ScriptPlayer player(*protocol, host, transcript);
    for (const scripted_host::ScriptLine& line : script) {
      try {
        player.play(line.step);
      } catch (const std::exception& error) {
        throw std::runtime_error("line " + std::to_string(line.line) + ": " + error.what());
      }
    }
  }
  device.reset();
  transcript.finish();
  return kExitPlayed;
}

}  // namespace

int script_command(int argc, char** argv) {
  int exit_code = kExitPlayed;
  const std::optional<Options> options = parse_options(argc, argv, exit_code);
  if (!options) return exit_code;
  std::vector<scripted_host::ScriptLine> script;
  try {
    script = read_script_file(options->script);
  } catch (const scripted_host::ScriptError& error) {
    std::fprintf(stderr, "kelvra-host script: %s: %s\n", options->script.c_str(), error.what());
    return kExitUsage;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvra-host script: %s\n", error.what());
    return kExitFailure;
  }
  try {
    return play(*options, script);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvra-host script: %s\n", error.what());
    return kExitFailure;
  }
}
