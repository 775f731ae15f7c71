#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/pmbus_protocol.h"
#include "host/provider.h"

namespace kelvra::hostkit {

// A plug-in library that could not be loaded or offers no device provider.
class PluginLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Deletes a device through its virtual destructor, as the host owns it.
using DevicePtr = std::unique_ptr<SMDSPDevice>;

// A plug-in library loaded the way a host loads one: dlopen, get_providers, then create. Devices
// made by it must be deleted before the library is, since their code lives in it.
class LoadedPlugin {
 public:
  // Loads the library at path and asks it for its providers; throws PluginLoadError.
  explicit LoadedPlugin(const std::string& path);
  ~LoadedPlugin();
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;

  // A new device from the first provider of serial-port devices; throws PluginLoadError.
  DevicePtr create_device() const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  void* handle_ = nullptr;
  std::vector<std::shared_ptr<Provider>> providers_;
};

// The plug-in installed or built beside the running program: ../lib/libkelvra_419.so from its
// directory.
std::string plugin_beside_program();

}  // namespace kelvra::hostkit
