#include "hostkit/plugin_loader.h"

#include <dlfcn.h>

#include <filesystem>

namespace kelvra::hostkit {

LoadedPlugin::LoadedPlugin(const std::string& path) : path_(path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw PluginLoadError(std::string("cannot load plug-in: ") + dlerror());
  dlerror();
  auto entry = reinterpret_cast<get_providers_fn>(dlsym(handle_, kGetProvidersSymbol));
  if (entry == nullptr) {
    dlclose(handle_);
    throw PluginLoadError(path + ": no entry point " + kGetProvidersSymbol);
  }
  providers_ = entry();
}

LoadedPlugin::~LoadedPlugin() {
  // The providers' code lives in the library: release them before unloading it.
  providers_.clear();
  dlclose(handle_);
}

DevicePtr LoadedPlugin::create_device() const {
  for (const auto& provider : providers_) {
    if (auto* maker = dynamic_cast<const SMDSPDeviceProvider*>(provider.get())) {
      DevicePtr device(maker->create());
      if (device == nullptr) throw PluginLoadError(path_ + ": provider created no device");
      return device;
    }
  }
  throw PluginLoadError(path_ + ": no provider of serial-port devices");
}

std::string plugin_beside_program() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  const std::filesystem::path directory =
      error ? std::filesystem::current_path() : program.parent_path();
  return (directory / KELVRA_PLUGIN_FROM_PROGRAM).lexically_normal().string();
}

}  // namespace kelvra::hostkit
