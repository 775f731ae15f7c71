// The read-only Modbus TCP server inside `kelvra-host run`: each device answers as one unit, from
// its snapshot at the time of the request. It runs on the run's loop and never blocks it: a
// client that stalls mid-request or stays silent is closed after the idle timeout, and clients
// beyond the limit are closed at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "run/bench_run.h"

namespace kelvra::modbus {

struct ModbusOptions {
  std::string address = "127.0.0.1";
  unsigned short port = 0;  // 0: any free port
  // Unit identifier of each device by name; a device not named answers as its position from 1.
  std::map<std::string, std::uint8_t> units;
  std::size_t max_clients = 16;
  std::chrono::milliseconds idle_timeout{60000};  // without a whole request, the client is closed
};

class ModbusServer : public run::RunService {
 public:
  explicit ModbusServer(ModbusOptions options);
  ~ModbusServer() override;
  ModbusServer(const ModbusServer&) = delete;
  ModbusServer& operator=(const ModbusServer&) = delete;

  // Binds and listens; throws run::RunError naming the address when it cannot.
  void start(run::RunContext& run) override;
  void stop() override;
  // The port listened on, once started.
  unsigned short port() const;

 private:
  struct Shared;
  class Session;

  void accept();

  ModbusOptions options_;
  run::RunContext* run_ = nullptr;
  std::shared_ptr<Shared> shared_;
};

}  // namespace kelvra::modbus
