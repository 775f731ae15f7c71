#pragma once

#include "host/provider.h"

// Makes kelvra_419 devices for the host.
class kelvra_419Provider : public SMDSPDeviceProvider {
 public:
  ~kelvra_419Provider() override = default;
  SMDSPDevice* create() const override;
};
