// The UPS network protocol server inside `kelvra-host run`: each device is a UPS named after it,
// read-only, with the logins a monitor needs. Every client is bounded in line length, idle time
// and count, and is answered one line at a time, so a stalled client never delays polling.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "run/bench_run.h"
#include "upsd/ups_protocol.h"

namespace kelvra::upsd {

constexpr unsigned short kDefaultUpsPort = 3493;

struct UpsServerLimits {
  std::size_t line_bytes = 512;                    // one request line, its line end included
  std::size_t clients = 16;                        // connections at once; more are closed
  std::chrono::milliseconds idle_timeout{120000};  // waiting for a request line
  std::chrono::milliseconds write_timeout{10000};  // one reply written
};

struct UpsServerOptions {
  std::string address = "127.0.0.1";
  unsigned short port = kDefaultUpsPort;  // 0: any free port
  std::vector<UpsUser> users;
  double low_battery_v = 47.0;
  std::string version;  // the program's version, told to VER
  UpsServerLimits limits;
};

// "ADDR[:PORT]" or "[V6ADDR][:PORT]" into options (port 3493 when none is given); throws
// std::invalid_argument naming what is wrong.
void parse_ups_listen(const std::string& text, UpsServerOptions& options);

// The users file: one "NAME PASSWORD [primary]" a line, '#' starting a comment line; at most
// 64 KiB. Throws std::runtime_error naming the file and line.
std::vector<UpsUser> read_users_file(const std::string& path);

class UpsServer : public run::RunService {
 public:
  explicit UpsServer(UpsServerOptions options);
  ~UpsServer() override;
  UpsServer(const UpsServer&) = delete;
  UpsServer& operator=(const UpsServer&) = delete;

  // Binds and listens; throws run::RunError naming the address when it cannot.
  void start(run::RunContext& run) override;
  void stop() override;
  unsigned short port() const;

 private:
  struct Shared;
  class Session;

  void accept();

  UpsServerOptions options_;
  run::RunContext* run_ = nullptr;
  std::shared_ptr<Shared> shared_;
};

}  // namespace kelvra::upsd
