#include "upsd/ups_server.h"

#include <map>
#include <sstream>
#include <stdexcept>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "hostkit/accept_pacing.h"
#include "hostkit/input_file.h"
#include "hostkit/session_set.h"
#include "upsd/ups_variables.h"

namespace kelvra::upsd {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

constexpr std::size_t kMaxUsersFileBytes = 64 * 1024;

// One line of the users file, or nothing for a blank or comment line.
std::optional<UpsUser> parse_user_line(const std::string& text) {
  std::istringstream words(text);
  std::string name;
  if (!(words >> name) || name.front() == '#') return std::nullopt;
  UpsUser user;
  user.name = name;
  std::string role;
  if (!(words >> user.password)) throw std::invalid_argument("expected NAME PASSWORD [primary]");
  if (words >> role) {
    if (role != "primary") throw std::invalid_argument("\"" + role + "\": expected primary");
    user.primary = true;
  }
  if (words >> role) throw std::invalid_argument("text after the role");
  return user;
}

}  // namespace

void parse_ups_listen(const std::string& text, UpsServerOptions& options) {
  // A port follows the last ':' after a bracketed address, or the only ':' of the text.
  const bool bracketed = !text.empty() && text.front() == '[';
  const std::size_t colon = text.rfind(':');
  const std::size_t close = text.rfind(']');
  const bool has_port =
      colon != std::string::npos &&
      (bracketed ? close != std::string::npos && colon > close : text.find(':') == colon);
  std::string address = has_port ? text.substr(0, colon) : text;
  if (bracketed && address.size() >= 2 && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  unsigned long port = kDefaultUpsPort;
  if (has_port) {
    const std::string port_text = text.substr(colon + 1);
    if (port_text.empty() || port_text.size() > 5 ||
        port_text.find_first_not_of("0123456789") != std::string::npos ||
        (port = std::stoul(port_text)) > 65535) {
      throw std::invalid_argument("\"" + text + "\": expected ADDR[:PORT] with a port 0 to 65535");
    }
  }
  boost::system::error_code error;
  asio::ip::make_address(address, error);
  if (error) {
    throw std::invalid_argument("\"" + text + "\": \"" + address + "\" is not an IP address");
  }
  options.address = address;
  options.port = static_cast<unsigned short>(port);
}

std::vector<UpsUser> read_users_file(const std::string& path) {
  std::string content;
  try {
    content = hostkit::read_input_file(path, kMaxUsersFileBytes);
  } catch (const hostkit::InputFileError& error) {
    throw std::runtime_error(path + ": " + error.what());
  }
  std::vector<UpsUser> users;
  std::istringstream lines(content);
  std::string text;
  for (int number = 1; std::getline(lines, text); ++number) {
    try {
      if (auto user = parse_user_line(text)) users.push_back(std::move(*user));
    } catch (const std::invalid_argument& error) {
      throw std::runtime_error(path + " line " + std::to_string(number) + ": " + error.what());
    }
  }
  return users;
}

struct UpsServer::Shared {
  Shared(asio::io_context& io, UpsServerOptions given, run::RunContext& run_context)
      : acceptor(io), accept_retry(io), options(std::move(given)), run(run_context) {}

  // Every device as a UPS, with the logins of the moment.
  std::vector<UpsView> views() const {
    std::vector<UpsView> upses;
    for (const station::Station* station : run.stations) {
      UpsView view = ups_view(station->snapshot(), options.low_battery_v);
      const auto found = logins.find(view.name);
      view.logins = found == logins.end() ? 0 : found->second;
      upses.push_back(std::move(view));
    }
    return upses;
  }

  tcp::acceptor acceptor;
  asio::steady_timer accept_retry;
  hostkit::AcceptPacing accept_pacing;
  UpsServerOptions options;
  run::RunContext& run;
  std::map<std::string, int> logins;  // sessions logged in, by UPS
  hostkit::SessionSet<Session> sessions;
  bool stopped = false;
};

// One client: a request line read, its reply written, then the next line.
class UpsServer::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::shared_ptr<Shared> shared)
      : socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        shared_(std::move(shared)),
        buffer_(shared_->options.limits.line_bytes) {}

  void begin() {
    shared_->sessions.add(*this);
    read();
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    shared_->sessions.remove(*this);
    if (!state_.login_ups.empty()) --shared_->logins[state_.login_ups];
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    timer_.cancel();
  }

 private:
  // Closes the session unless what it waits for comes within `limit`.
  void arm(std::chrono::milliseconds limit) {
    timer_.expires_after(limit);
    timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
      if (error) return;
      if (const auto self = weak.lock()) self->close();
    });
  }

  void read() {
    arm(shared_->options.limits.idle_timeout);
    asio::async_read_until(
        socket_, buffer_, '\n',
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
          self->on_line(error, size);
        });
  }

  // A line longer than the limit ends the session as any read error does.
  void on_line(const boost::system::error_code& error, std::size_t size) {
    if (closed_) return;
    if (error) {
      close();
      return;
    }
    std::string request(asio::buffers_begin(buffer_.data()),
                        asio::buffers_begin(buffer_.data()) + static_cast<std::ptrdiff_t>(size));
    buffer_.consume(size);
    request.pop_back();
    if (!request.empty() && request.back() == '\r') request.pop_back();
    answer(request);
  }

  void answer(const std::string& request) {
    const std::vector<UpsView> upses = shared_->views();
    const std::string before = state_.login_ups;
    const ProtocolContext context{upses, shared_->options.users, shared_->options.version};
    const Reply reply = handle_request(request, state_, context);
    if (before != state_.login_ups) {
      if (!before.empty()) --shared_->logins[before];
      if (!state_.login_ups.empty()) ++shared_->logins[state_.login_ups];
    }
    reply_ = reply.text;
    arm(shared_->options.limits.write_timeout);
    asio::async_write(socket_, asio::buffer(reply_),
                      [self = shared_from_this(), close_after = reply.close](
                          const boost::system::error_code& error, std::size_t) {
                        if (self->closed_) return;
                        if (error || close_after) {
                          self->close();
                          return;
                        }
                        self->read();
                      });
  }

  tcp::socket socket_;
  asio::steady_timer timer_;
  std::shared_ptr<Shared> shared_;
  asio::streambuf buffer_;
  std::string reply_;
  SessionState state_;
  bool closed_ = false;
};

UpsServer::UpsServer(UpsServerOptions options) : options_(std::move(options)) {}

UpsServer::~UpsServer() = default;

void UpsServer::start(run::RunContext& run) {
  run_ = &run;
  shared_ = std::make_shared<Shared>(run.io, options_, run);
  const std::string where =
      "--ups-server " + options_.address + ":" + std::to_string(options_.port);
  try {
    const tcp::endpoint endpoint(asio::ip::make_address(options_.address), options_.port);
    shared_->acceptor.open(endpoint.protocol());
    shared_->acceptor.set_option(asio::socket_base::reuse_address(true));
    shared_->acceptor.bind(endpoint);
    shared_->acceptor.listen(asio::socket_base::max_listen_connections);
  } catch (const boost::system::system_error& error) {
    throw run::RunError(where + ": " + error.code().message());
  }
  run.console.note("kelvra-host", "UPS server on " + options_.address + " port " +
                                      std::to_string(port()) + ", " +
                                      std::to_string(options_.users.size()) + " users");
  accept();
}

void UpsServer::stop() {
  if (!shared_) return;
  shared_->stopped = true;
  boost::system::error_code ignored;
  shared_->acceptor.close(ignored);
  shared_->accept_retry.cancel();
  shared_->sessions.close_all();
  // The loop's objects must not outlive the loop: what a handler still holds goes with it.
  shared_.reset();
}

unsigned short UpsServer::port() const {
  if (!shared_) return options_.port;
  boost::system::error_code error;
  const tcp::endpoint local = shared_->acceptor.local_endpoint(error);
  return error ? options_.port : local.port();
}

void UpsServer::accept() {
  Shared& owner = *shared_;
  hostkit::accept_paced(
      owner.acceptor, owner.accept_retry, owner.accept_pacing, run_->clock,
      [shared = shared_](tcp::socket socket) {
        if (shared->stopped) return;
        shared->sessions.start_or_close(std::move(socket), shared->options.limits.clients, shared);
      },
      [run = run_](const std::string& text) { run->console.note("kelvra-host", text); },
      "UPS server on port " + std::to_string(port()));
}

}  // namespace kelvra::upsd
