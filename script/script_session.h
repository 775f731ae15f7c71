// A whole scripted session: the script read from a file or standard input, played against one
// device of the plug-in, the transcript written to standard output.
#pragma once

#include <string>
#include <vector>

#include "script/script_reader.h"

namespace scripted_host {

// The script in the file name ("-": standard input). Throws ScriptError for an invalid script
// and std::runtime_error when the file cannot be read.
std::vector<ScriptLine> read_script_file(const std::string& name);

// Loads the plug-in, creates one device and plays script against it, the plug-in's own output
// captured into the transcript. Throws std::runtime_error "line N: ..." at a failing step.
void play_script(const std::string& plugin_path, const std::vector<ScriptLine>& script);

}  // namespace scripted_host
