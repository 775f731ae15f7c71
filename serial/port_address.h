// Where a line is reached: a serial device path, or a serial device server over TCP, raw
// ("tcp://HOST:PORT": the line's format is the server's) or Telnet COM-PORT-OPTION
// ("rfc2217://HOST:PORT": the format is asked for). HOST may be a name, an IPv4 address or a
// bracketed IPv6 address.
#pragma once

#include <cstdint>
#include <string>

namespace kelvra::serial {

struct PortAddress {
  enum class Kind { kDevice, kRawTcp, kComPortTelnet };
  Kind kind = Kind::kDevice;
  std::string path;  // kDevice
  std::string host;  // the TCP kinds, without brackets
  std::uint16_t tcp_port = 0;
  bool is_tcp() const { return kind != Kind::kDevice; }
};

// Throws hostkit::InputError (the text and what is wrong, no field name) on an unknown scheme, a
// missing host, or a port that is not a number in 1..65535.
PortAddress parse_port_address(const std::string& text);

}  // namespace kelvra::serial
