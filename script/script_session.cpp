#include "script/script_session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "hostkit/plugin_loader.h"
#include "hostkit/stdout_capture.h"
#include "script/script_player.h"
#include "script/transcript.h"
#include "script/transcript_host.h"

namespace scripted_host {

std::vector<ScriptLine> read_script_file(const std::string& name) {
  if (name == "-") return read_script(std::cin);
  std::ifstream file(name);
  if (!file) throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
  return read_script(file);
}

void play_script(const std::string& plugin_path, const std::vector<ScriptLine>& script) {
  kelvra::hostkit::StdoutCapture capture;
  std::FILE* out = fdopen(dup(capture.original_fd()), "w");
  if (out == nullptr) throw std::runtime_error("cannot write the transcript");
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(out, &std::fclose);
  Transcript transcript(out, &capture);

  kelvra::hostkit::LoadedPlugin plugin(plugin_path);
  kelvra::hostkit::DevicePtr device = plugin.create_device();
  auto* protocol = dynamic_cast<PMBusProtocol*>(device.get());
  if (protocol == nullptr) throw std::runtime_error("the device does not use the command protocol");
  TranscriptHost host(transcript);
  {
    ScriptPlayer player(*protocol, host, transcript);
    for (const ScriptLine& line : script) {
      try {
        player.play(line.step);
      } catch (const std::exception& error) {
        throw std::runtime_error("line " + std::to_string(line.line) + ": " + error.what());
      }
    }
  }
  device.reset();
  transcript.finish();
}

}  // namespace scripted_host
