#include "modbus/modbus_server.h"

#include <array>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "hostkit/accept_pacing.h"
#include "hostkit/session_set.h"
#include "modbus/modbus_request.h"
#include "station/station.h"

namespace kelvra::modbus {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

struct ModbusServer::Shared {
  Shared(asio::io_context& io, const ModbusOptions& server_options)
      : options(server_options), acceptor(io), accept_retry(io) {}

  std::optional<DeviceImage> image_of(std::uint8_t unit) const {
    const auto found = stations.find(unit);
    if (found == stations.end()) return std::nullopt;
    return device_image(found->second->snapshot());
  }

  const ModbusOptions options;
  tcp::acceptor acceptor;
  asio::steady_timer accept_retry;
  hostkit::AcceptPacing accept_pacing;
  std::map<std::uint8_t, const station::Station*> stations;
  hostkit::SessionSet<Session> sessions;
  bool stopped = false;
};

// One client: reads a header, then the rest of the request, answers, and reads again.
class ModbusServer::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::shared_ptr<Shared> shared)
      : socket_(std::move(socket)), idle_(socket_.get_executor()), shared_(std::move(shared)) {}
  ~Session() { shared_->sessions.remove(*this); }

  void begin() {
    shared_->sessions.add(*this);
    read_header();
  }

  void close() {
    error_code ignored;
    idle_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

 private:
  // The idle time runs from the last answer (or the connection) to the next whole request.
  void arm_idle_timer() {
    idle_.expires_after(shared_->options.idle_timeout);
    idle_.async_wait([self = shared_from_this()](const error_code& error) {
      if (!error) self->close();
    });
  }

  void read_header() {
    arm_idle_timer();
    asio::async_read(socket_, asio::buffer(request_.data(), kHeaderSize),
                     [self = shared_from_this()](const error_code& error, std::size_t) {
                       if (error || self->shared_->stopped) return self->close();
                       const auto size = request_size(self->request_.data());
                       if (!size) return self->close();
                       self->read_rest(*size);
                     });
  }

  void read_rest(std::size_t size) {
    asio::async_read(socket_, asio::buffer(request_.data() + kHeaderSize, size - kHeaderSize),
                     [self = shared_from_this(), size](const error_code& error, std::size_t) {
                       if (error || self->shared_->stopped) return self->close();
                       self->arm_idle_timer();  // the answer must go out in time too
                       const Shared& shared = *self->shared_;
                       self->response_ = answer_request(
                           self->request_.data(), size,
                           [&shared](std::uint8_t unit) { return shared.image_of(unit); });
                       self->write_response();
                     });
  }

  void write_response() {
    asio::async_write(socket_, asio::buffer(response_),
                      [self = shared_from_this()](const error_code& error, std::size_t) {
                        if (error || self->shared_->stopped) return self->close();
                        self->read_header();
                      });
  }

  tcp::socket socket_;
  asio::steady_timer idle_;
  std::shared_ptr<Shared> shared_;
  std::array<std::uint8_t, kMaxRequestSize> request_{};
  std::vector<std::uint8_t> response_;
};

ModbusServer::ModbusServer(ModbusOptions options) : options_(std::move(options)) {}

ModbusServer::~ModbusServer() {
  stop();
}

void ModbusServer::start(run::RunContext& run) {
  run_ = &run;
  shared_ = std::make_shared<Shared>(run.io, options_);
  std::string units;
  for (std::size_t i = 0; i < run.stations.size(); ++i) {
    const station::Station* station = run.stations[i];
    const std::string& name = station->settings().name;
    const auto named = options_.units.find(name);
    const auto unit =
        named != options_.units.end() ? named->second : static_cast<std::uint8_t>(i + 1);
    shared_->stations[unit] = station;
    units += (units.empty() ? "" : ", ") + std::to_string(unit) + " " + name;
  }
  const std::string where = options_.address + ":" + std::to_string(options_.port);
  try {
    const tcp::endpoint endpoint(asio::ip::make_address(options_.address), options_.port);
    shared_->acceptor.open(endpoint.protocol());
    shared_->acceptor.set_option(asio::socket_base::reuse_address(true));
    shared_->acceptor.bind(endpoint);
    shared_->acceptor.listen(asio::socket_base::max_listen_connections);
  } catch (const boost::system::system_error& error) {
    throw run::RunError("--modbus " + where + ": " + error.code().message());
  }
  run.console.note("kelvra-host", "Modbus TCP on " + options_.address + ":" +
                                      std::to_string(port()) + ", units " + units);
  accept();
}

void ModbusServer::stop() {
  if (!shared_) return;
  shared_->stopped = true;
  error_code ignored;
  shared_->acceptor.close(ignored);
  shared_->accept_retry.cancel();
  shared_->sessions.close_all();
  // The loop's objects must not outlive the loop: what a handler still holds goes with it.
  shared_.reset();
}

unsigned short ModbusServer::port() const {
  error_code error;
  const tcp::endpoint endpoint = shared_->acceptor.local_endpoint(error);
  return error ? options_.port : endpoint.port();
}

void ModbusServer::accept() {
  Shared& owner = *shared_;
  hostkit::accept_paced(
      owner.acceptor, owner.accept_retry, owner.accept_pacing, run_->clock,
      [shared = shared_](tcp::socket socket) {
        if (shared->stopped) return;
        shared->sessions.start_or_close(std::move(socket), shared->options.max_clients, shared);
      },
      [run = run_](const std::string& text) { run->console.note("kelvra-host", text); },
      "Modbus TCP on port " + std::to_string(port()));
}

}  // namespace kelvra::modbus
