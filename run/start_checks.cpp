#include "run/start_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "hostkit/serial_rates.h"
#include "run/bench_run.h"

namespace kelvra::run {
namespace {

// What a file of this mode is when it cannot be a serial device, or nullptr.
const char* non_serial_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  return nullptr;
}

// Whether the character device at `path` opens as something other than a terminal; false when it
// does not open (busy, not permitted), which the line reports when it tries.
bool opens_as_non_terminal(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool terminal = isatty(fd) == 1;
  close(fd);
  return !terminal;
}

// The same serial device under any of its names: its device number, or else its path.
std::string port_identity(const std::string& path) {
  struct stat port {};
  if (stat(path.c_str(), &port) == 0 && S_ISCHR(port.st_mode)) {
    return "device " + std::to_string(port.st_rdev);
  }
  return "path " + path;
}

// Why the file at `path` cannot be read, or empty.
std::string unreadable_reason(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat file {};
  const bool directory = fstat(fd, &file) == 0 && S_ISDIR(file.st_mode);
  close(fd);
  return directory ? "a directory, not a file" : "";
}

}  // namespace

void check_port(const DeviceSettings& device) {
  try {
    kelvra::hostkit::check_serial_rate(device.name + ": baud", device.serial.baud);
  } catch (const kelvra::hostkit::InputError& error) {
    throw RunConfigError(error.what());
  }
  struct stat port {};
  if (device.port.empty() || stat(device.port.c_str(), &port) != 0) return;
  const char* kind = non_serial_kind(port.st_mode);
  if (kind == nullptr && opens_as_non_terminal(device.port)) {
    kind = "a character device but not a terminal";
  }
  if (kind != nullptr) {
    throw RunConfigError(device.name + ": port " + device.port + " is " + kind +
                         ", not a serial device");
  }
}

void check_one_device_per_address(const std::vector<DeviceSettings>& devices) {
  std::map<std::pair<std::string, int>, const DeviceSettings*> polled;
  for (const DeviceSettings& device : devices) {
    if (device.port.empty()) continue;  // each such device gets a simulator of its own
    const auto [first, added] =
        polled.emplace(std::make_pair(port_identity(device.port), device.address), &device);
    if (added) continue;
    const DeviceSettings& other = *first->second;
    throw RunConfigError(
        device.name + ": address " + std::to_string(device.address) + " on port " + device.port +
        " is polled by " + other.name +
        (other.port == device.port ? "" : " on " + other.port + ", the same port") +
        "; give each device an address of its own");
  }
}

void check_mqtt_files(const MqttSettings& mqtt) {
  const std::pair<const char*, const std::string*> files[] = {
      {"password_file", &mqtt.password_file},
      {"ca_file", &mqtt.ca_file},
      {"cert_file", &mqtt.cert_file},
      {"key_file", &mqtt.key_file}};
  for (const auto& [member, path] : files) {
    if (path->empty()) continue;
    const std::string reason = unreadable_reason(*path);
    if (!reason.empty()) {
      throw RunConfigError("mqtt." + std::string(member) + " " + *path + ": " + reason);
    }
  }
}

}  // namespace kelvra::run
