#include "serial/port_options.h"

namespace kelvra::serial {

std::string format_text(const SerialOptions& options) {
  const char parity = options.parity == Parity::kNone  ? 'N'
                      : options.parity == Parity::kOdd ? 'O'
                                                       : 'E';
  return std::to_string(options.baud) + " " + std::to_string(options.data_bits) + parity +
         std::to_string(options.stop_bits);
}

}  // namespace kelvra::serial
