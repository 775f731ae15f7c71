// The line rates a serial port can be set to: those both termios and the port layer map to a
// speed constant.
#pragma once

#include <termios.h>

#include <optional>
#include <string>

namespace kelvra::hostkit {

// The termios speed of baud, or nullopt when no port can be set to it.
std::optional<speed_t> serial_speed(unsigned baud);
// The rates, ascending and space-separated: "50 75 ... 4000000".
std::string serial_rates_text();
// A rate given as text; throws InputError "FIELD: expected one of the rates ..., got "TEXT"".
unsigned parse_serial_rate(const std::string& field, const std::string& text);
// The same check for a number already read.
unsigned check_serial_rate(const std::string& field, long long baud);

}  // namespace kelvra::hostkit
