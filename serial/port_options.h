// How a serial port is set: rate and character format.
#pragma once

#include <string>

namespace kelvra::serial {

enum class Parity { kNone, kOdd, kEven };

struct SerialOptions {
  unsigned baud = 9600;
  unsigned data_bits = 8;
  Parity parity = Parity::kNone;
  unsigned stop_bits = 1;
};

// "9600 8N1".
std::string format_text(const SerialOptions& options);

}  // namespace kelvra::serial
