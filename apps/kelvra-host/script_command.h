#pragma once

// kelvra-host script FILE|- [--plugin PATH]: plays a session script against one device of the
// plug-in and writes the transcript to standard output. Returns the exit code: 0 played to its
// end, 1 failure (plug-in, file or device), 2 usage error or invalid script. argv[0] is "script".
int script_command(int argc, char** argv);
