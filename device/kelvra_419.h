#pragma once

#include "device/pmbuspower_419.h"
#include "record/kelvra_419_data.h"

// Publication id of the kelvra_419 record.
constexpr int kKelvra419PublicationId = 5535;

// The concrete power-system model: its device type and its own alarm checks.
class kelvra_419 : public pmbuspower_419<kelvra_419_Data_t, kKelvra419PublicationId> {
 public:
  kelvra_419() { device_type_ = "kelvra_419"; }
  ~kelvra_419() override = default;

  void RunCheckThreshold() override;
};

inline void kelvra_419::RunCheckThreshold() {
  pmbuspower_419<kelvra_419_Data_t, kKelvra419PublicationId>::RunCheckThreshold();
}
