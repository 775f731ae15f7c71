#include "hostkit/listen_address.h"

#include <stdexcept>

#include <boost/asio/ip/address.hpp>

namespace kelvra::hostkit {

ListenAddress parse_listen_address(const std::string& text) {
  ListenAddress listen;
  std::string port_text = text;
  const std::size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    std::string address = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
      address = address.substr(1, address.size() - 2);
    }
    if (!address.empty()) listen.address = address;
  }
  if (port_text.empty() || port_text.size() > 5 ||
      port_text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(port_text) > 65535) {
    throw std::invalid_argument("\"" + text + "\": expected ADDR:PORT with a port 0 to 65535");
  }
  boost::system::error_code error;
  boost::asio::ip::make_address(listen.address, error);
  if (error) {
    throw std::invalid_argument("\"" + text + "\": \"" + listen.address +
                                "\" is not an IP address");
  }
  listen.port = static_cast<unsigned short>(std::stoul(port_text));
  return listen;
}

}  // namespace kelvra::hostkit
