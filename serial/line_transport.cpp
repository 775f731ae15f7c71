#include "serial/line_transport.h"

#include "serial/serial_transport.h"
#include "serial/tcp_transport.h"

namespace kelvra::serial {

std::unique_ptr<LineTransport> make_transport(boost::asio::io_context& io,
                                              const PortAddress& address, SerialOptions serial) {
  if (address.is_tcp()) return std::make_unique<TcpTransport>(io, address, serial);
  return std::make_unique<SerialTransport>(io, address.path, serial);
}

}  // namespace kelvra::serial
