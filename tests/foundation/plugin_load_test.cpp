#include <dlfcn.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/pmbus_protocol.h"
#include "host/provider.h"

namespace {

// The built plug-in, loaded the way a host loads it.
class PluginLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(KELVRA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    entry_ = reinterpret_cast<get_providers_fn>(dlsym(handle_, kGetProvidersSymbol));
    ASSERT_NE(entry_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  void* handle_ = nullptr;
  get_providers_fn entry_ = nullptr;
};

TEST_F(PluginLibrary, EachCallGivesOneNewProvider) {
  const auto first = entry_();
  const auto second = entry_();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first[0].get(), second[0].get());
  EXPECT_NE(std::dynamic_pointer_cast<SMDSPDeviceProvider>(first[0]), nullptr);
}

TEST_F(PluginLibrary, DeviceIsUsedAndDeletedThroughTheHostInterface) {
  const auto providers = entry_();
  auto provider = std::dynamic_pointer_cast<SMDSPDeviceProvider>(providers.at(0));
  ASSERT_NE(provider, nullptr);
  VDeviceInterface* device = provider->create();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->DeviceType(), "kelvra_419");
  EXPECT_FALSE(device->LoadFromCache(std::string(10, '\0')));
  auto* protocol = dynamic_cast<PMBusProtocol*>(device);
  ASSERT_NE(protocol, nullptr);
  EXPECT_EQ(protocol->poll_state_, 10);
  delete device;
}

}  // namespace
