#pragma once

#include <memory>
#include <vector>

#include "host/host_api.h"

class SMDSPDevice;

// What a plug-in library offers the host: one provider per device kind.
class KELVRA_HOST_API Provider {
 public:
  virtual ~Provider();
};

class KELVRA_HOST_API SMDSPDeviceProvider : public Provider {
 public:
  ~SMDSPDeviceProvider() override;
  // A new device owned by the caller, deleted through its virtual destructor.
  virtual SMDSPDevice* create() const = 0;
};

// The plug-in entry point the host looks up by name after loading a library.
using get_providers_fn = std::vector<std::shared_ptr<Provider>> (*)();
constexpr const char* kGetProvidersSymbol = "get_providers";
