#include "run/control_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "hostkit/json_input.h"
#include "hostkit/json_output.h"
#include "station/console.h"

namespace kelvra::run {

namespace {

namespace asio = boost::asio;
using Local = asio::local::stream_protocol;

constexpr std::size_t kMaxRequestBytes = 64 * 1024;
constexpr unsigned kMaxRequestDepth = 8;
constexpr std::size_t kMaxReplyBytes = 1024 * 1024;
constexpr unsigned kMaxReplyDepth = 16;
// A client that has not sent its whole request line by then is disconnected.
constexpr auto kRequestTimeout = std::chrono::seconds(10);

// One connection: reads a request line, asks the handler, writes the reply line.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Local::socket socket, const ControlHandler& handler)
      : socket_(std::move(socket)),
        handler_(handler),
        input_(kMaxRequestBytes),
        request_timer_(socket_.get_executor()) {}

  void start() {
    if (!peer_is_owner()) {
      reply(error_reply("permission denied: the control socket serves its owner only"));
      return;
    }
    auto self = shared_from_this();
    request_timer_.expires_after(kRequestTimeout);
    request_timer_.async_wait([self](const boost::system::error_code& error) {
      if (error) return;
      boost::system::error_code ignored;
      self->socket_.close(ignored);
    });
    asio::async_read_until(
        socket_, input_, '\n',
        [self](const boost::system::error_code& error, std::size_t) { self->on_request(error); });
  }

 private:
  static Json::Value error_reply(const std::string& text) {
    Json::Value reply(Json::objectValue);
    reply["ok"] = false;
    reply["error"] = text;
    return reply;
  }

  // Reads the peer's credentials into origin_; false unless it is the owner or root.
  bool peer_is_owner() {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(socket_.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
      return false;
    }
    origin_ = "socket uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid);
    return peer.uid == geteuid() || peer.uid == 0;
  }

  void on_request(const boost::system::error_code& error) {
    request_timer_.cancel();
    if (error == asio::error::not_found) {
      reply(error_reply("request longer than " + std::to_string(kMaxRequestBytes) +
                        " bytes without a line end"));
      return;
    }
    if (error) return;
    std::istream stream(&input_);
    std::string line;
    std::getline(stream, line);
    Json::Value request;
    if (!parse_request(line, request)) {
      reply(error_reply("request is not a JSON object"));
      return;
    }
    auto self = shared_from_this();
    try {
      handler_(request, origin_, [self](const Json::Value& answer) { self->reply(answer); });
    } catch (const std::exception& failure) {
      reply(error_reply(std::string("request failed: ") + failure.what()));
    }
  }

  // False for anything but one JSON object within the request limits.
  static bool parse_request(const std::string& line, Json::Value& request) {
    try {
      request = kelvra::hostkit::parse_json(line, {kMaxRequestBytes, kMaxRequestDepth});
      return request.isObject();
    } catch (const kelvra::hostkit::InputError&) {
      return false;
    }
  }

  // Writes the first reply only; the connection closes once it is out.
  void reply(const Json::Value& answer) {
    if (replied_) return;
    replied_ = true;
    output_ = hostkit::json_text(answer) + "\n";
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(output_),
                      [self](const boost::system::error_code&, std::size_t) {
                        boost::system::error_code ignored;
                        self->socket_.close(ignored);
                      });
  }

  Local::socket socket_;
  const ControlHandler& handler_;
  asio::streambuf input_;
  asio::steady_timer request_timer_;
  std::string output_;
  std::string origin_ = "socket";
  bool replied_ = false;
};

sockaddr_un address_of(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    throw ControlError(path + ": control socket path too long (at most " +
                       std::to_string(sizeof address.sun_path - 1) + " characters)");
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// A file descriptor closed on every path out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

// True when something accepts connections at path.
bool answers(const std::string& path) {
  const sockaddr_un address = address_of(path);
  Descriptor probe{socket(AF_UNIX, SOCK_STREAM, 0)};
  return probe.fd >= 0 &&
         connect(probe.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

std::string control_socket_path(const std::string& db_path) {
  return db_path + ".sock";
}

ControlServer::ControlServer(asio::io_context& io, std::string path, ControlHandler handler,
                             std::function<void(const std::string& text)> say,
                             const hostkit::TurnClock& clock)
    : path_(std::move(path)),
      handler_(std::move(handler)),
      say_(std::move(say)),
      clock_(clock),
      acceptor_(io),
      retry_timer_(io) {}

ControlServer::~ControlServer() {
  stop();
}

void ControlServer::start() {
  address_of(path_);
  if (answers(path_)) {
    throw ControlError(path_ + ": another kelvra-host run is using this database");
  }
  struct stat existing {};
  if (lstat(path_.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      throw ControlError(path_ + ": exists and is not a socket; left as it is");
    }
    unlink(path_.c_str());  // a stale socket of a run that ended without removing it
  }
  boost::system::error_code error;
  acceptor_.open(Local(), error);
  const mode_t previous = umask(0177);
  if (!error) acceptor_.bind(Local::endpoint(path_), error);
  umask(previous);
  if (!error) chmod(path_.c_str(), 0600);
  if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    throw ControlError(path_ + ": cannot open the control socket: " + error.message());
  }
  bound_ = true;
  accept();
}

void ControlServer::stop() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  retry_timer_.cancel();
  if (bound_) unlink(path_.c_str());
  bound_ = false;
}

void ControlServer::accept() {
  hostkit::accept_paced(
      acceptor_, retry_timer_, pacing_, clock_,
      [this](Local::socket socket) {
        std::make_shared<Session>(std::move(socket), handler_)->start();
      },
      say_, "control socket " + path_);
}

Json::Value control_request(const std::string& path, const Json::Value& request,
                            std::chrono::milliseconds timeout) {
  const sockaddr_un address = address_of(path);
  Descriptor connection{socket(AF_UNIX, SOCK_STREAM, 0)};
  if (connection.fd < 0) throw ControlError(std::string("socket: ") + std::strerror(errno));
  if (connect(connection.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EACCES || errno == EPERM) {
      throw ControlError(path + ": permission denied: the socket belongs to another user (" +
                         std::strerror(errno) + ")");
    }
    throw ControlError(path + ": no running kelvra-host answers here (" + std::strerror(errno) +
                       ")");
  }
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  setsockopt(connection.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const std::string line = hostkit::json_text(request) + "\n";
  if (send(connection.fd, line.data(), line.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(line.size())) {
    throw ControlError(path + ": cannot send the request: " + std::strerror(errno));
  }
  std::string reply;
  char buffer[4096];
  while (reply.find('\n') == std::string::npos) {
    if (reply.size() > kMaxReplyBytes) {
      throw ControlError(path + ": reply longer than " + std::to_string(kMaxReplyBytes) +
                         " bytes without a line end");
    }
    const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw ControlError(path + ": no reply: " + std::strerror(errno));
    }
    reply.append(buffer, static_cast<std::size_t>(got));
  }
  try {
    return kelvra::hostkit::parse_json(reply, {kMaxReplyBytes, kMaxReplyDepth});
  } catch (const kelvra::hostkit::InputError& error) {
    throw ControlError(path + ": the reply is not JSON: " + error.what());
  }
}

}  // namespace kelvra::run
