#include "serial/port_address.h"

#include <cctype>

#include "hostkit/bounds.h"
#include "hostkit/input_error.h"

namespace kelvra::serial {
namespace {

[[noreturn]] void refuse(const std::string& text, const std::string& why) {
  throw hostkit::InputError(text + ": " + why +
                            " (expected a device path, tcp://HOST:PORT or rfc2217://HOST:PORT)");
}

// The scheme of "scheme://...", empty when `text` has none.
std::string scheme_of(const std::string& text) {
  const std::size_t end = text.find("://");
  if (end == std::string::npos || end == 0) return {};
  for (std::size_t at = 0; at < end; ++at) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
  }
  return text.substr(0, end);
}

}  // namespace

PortAddress parse_port_address(const std::string& text) {
  PortAddress address;
  const std::string scheme = scheme_of(text);
  if (scheme.empty()) {
    address.path = text;
    return address;
  }
  if (scheme == "tcp") {
    address.kind = PortAddress::Kind::kRawTcp;
  } else if (scheme == "rfc2217") {
    address.kind = PortAddress::Kind::kComPortTelnet;
  } else {
    refuse(text, "unknown scheme " + scheme);
  }
  const std::string rest = text.substr(scheme.size() + 3);
  std::size_t colon = rest.rfind(':');
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) refuse(text, "no ] after the IPv6 address");
    address.host = rest.substr(1, close - 1);
    colon = close + 1 < rest.size() && rest[close + 1] == ':' ? close + 1 : std::string::npos;
  } else if (colon != std::string::npos) {
    address.host = rest.substr(0, colon);
  }
  if (colon == std::string::npos) refuse(text, "no :PORT");
  if (address.host.empty()) refuse(text, "no host");
  if (address.host.find_first_of("/?#@ ") != std::string::npos) {
    refuse(text, "a host name has no / ? # @ or space");
  }
  try {
    address.tcp_port = static_cast<std::uint16_t>(
        hostkit::parse_bounded("port", rest.substr(colon + 1), {1, 65535}));
  } catch (const hostkit::InputError&) {
    refuse(text, "the port is not a number in 1..65535");
  }
  return address;
}

}  // namespace kelvra::serial
