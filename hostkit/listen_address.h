// Where a server of the run listens: "ADDR:PORT", "[V6ADDR]:PORT" or "PORT" (on 127.0.0.1).
#pragma once

#include <string>

namespace kelvra::hostkit {

struct ListenAddress {
  std::string address = "127.0.0.1";
  unsigned short port = 0;
};

// Throws std::invalid_argument naming what is wrong.
ListenAddress parse_listen_address(const std::string& text);

}  // namespace kelvra::hostkit
