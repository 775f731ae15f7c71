// kelvra-host scan and send: the field tools that talk to a serial port directly. Each takes its
// own argv (argv[0] is the subcommand's name) and returns the exit code.
#pragma once

// scan: 0 something answered, 1 nothing did or the port failed, 2 usage error.
int scan_command(int argc, char** argv);
// send: 0 answered with RTN 0, 1 no answer, another RTN or the port failed, 2 usage error or a
// control command without --allow-control.
int send_command(int argc, char** argv);
