#include <memory>
#include <vector>

#include "device/kelvra_419.h"
#include "plugin/kelvra_419_provider.h"

SMDSPDevice* kelvra_419Provider::create() const {
  return new kelvra_419();
}

// C linkage keeps the entry point's name plain for the host's symbol lookup; the host is built
// with the same compiler and standard library, so returning the vector by value is its ABI.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers() {
  return {std::shared_ptr<Provider>(std::make_shared<kelvra_419Provider>())};
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
