// Script reader fuzz target: any text is either a script or refused with a ScriptError naming a
// line; nothing else may escape, crash or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "hostkit/hex.h"
#include "script/script_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream script(text);
  try {
    const auto steps = scripted_host::read_script(script);
    for (const auto& step : steps) {
      if (step.line < 1) __builtin_trap();
    }
  } catch (const scripted_host::ScriptError& error) {
    if (error.line() < 1) __builtin_trap();
  }
  kelvra::hostkit::parse_hex(text);
  return 0;
}
