// The local control socket of a running bench host: one JSON request line in, one JSON reply
// line out. Only the user the host runs as may connect.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include <json/value.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include "hostkit/accept_pacing.h"

namespace kelvra::run {

class ControlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The socket beside a history database: "DB.sock".
std::string control_socket_path(const std::string& db_path);

using ControlReply = std::function<void(const Json::Value& reply)>;
// Handles one request; calls reply exactly once, possibly later from the event loop. `origin`
// names the peer: "socket uid 1000 pid 4242".
using ControlHandler =
    std::function<void(const Json::Value& request, const std::string& origin, ControlReply reply)>;

class ControlServer {
 public:
  // `say` words what the run should know: accepting failed (descriptors ran out), or works again.
  ControlServer(boost::asio::io_context& io, std::string path, ControlHandler handler,
                std::function<void(const std::string& text)> say, const hostkit::TurnClock& clock);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Binds with mode 0600 and accepts; throws ControlError naming the path, also when another
  // running host answers on it or a file that is not a socket is in the way. A stale socket
  // is replaced.
  void start();
  // Stops accepting and removes the socket file.
  void stop();

 private:
  void accept();

  std::string path_;
  ControlHandler handler_;
  std::function<void(const std::string& text)> say_;
  const hostkit::TurnClock& clock_;  // the loop turn's time
  boost::asio::local::stream_protocol::acceptor acceptor_;
  boost::asio::steady_timer retry_timer_;
  hostkit::AcceptPacing pacing_;
  bool bound_ = false;
};

// Sends one request to the host at `path` and returns its reply; throws ControlError.
Json::Value control_request(const std::string& path, const Json::Value& request,
                            std::chrono::milliseconds timeout);

}  // namespace kelvra::run
