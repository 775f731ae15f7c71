#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/time_parsers.hpp>

#include "device/kelvra_419.h"
#include "plugin/kelvra_419_provider.h"

namespace {

// Vtable slot of a virtual member function: under the Itanium C++ ABI a pointer to a virtual
// member holds 1 + the slot's byte offset in the vtable.
template <class MemberFn>
long slot_of(MemberFn fn) {
  struct Representation {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  };
  static_assert(sizeof(MemberFn) == sizeof(Representation));
  Representation rep;
  std::memcpy(&rep, &fn, sizeof rep);
  EXPECT_EQ(rep.ptr % 2, 1u) << "not a virtual member";
  return static_cast<long>((rep.ptr - 1) / sizeof(void*));
}

using LoadString = bool (VDeviceInterface::*)(const std::string&);
using LoadBytes = bool (VDeviceInterface::*)(const unsigned char*, int);

TEST(DeviceChain, VirtualOperationsTakeTheHostsSlotOrder) {
  // Slots 8 and 9 hold the complete and deleting destructors.
  const std::vector<std::pair<std::string, long>> slots = {
      {"Get_Value", slot_of(&kelvra_419::Get_Value)},
      {"LoadFromCache(string)", slot_of(static_cast<LoadString>(&VDeviceInterface::LoadFromCache))},
      {"LoadFromCache(bytes)", slot_of(static_cast<LoadBytes>(&VDeviceInterface::LoadFromCache))},
      {"DataId", slot_of(&kelvra_419::DataId)},
      {"DeviceType", slot_of(&kelvra_419::DeviceType)},
      {"DeviceIoControl", slot_of(&kelvra_419::DeviceIoControl)},
      {"RoundDone", slot_of(&kelvra_419::RoundDone)},
      {"UseControllerDb", slot_of(&kelvra_419::UseControllerDb)},
      {"Reset", slot_of(&kelvra_419::Reset)},
      {"InitV", slot_of(&kelvra_419::InitV)},
      {"Init", slot_of(&kelvra_419::Init)},
      {"InitSetting", slot_of(&kelvra_419::InitSetting)},
      {"IsSupportDevice", slot_of(&kelvra_419::IsSupportDevice)},
      {"GetChildVDevice", slot_of(&kelvra_419::GetChildVDevice)},
      {"GetAllChildVDevices", slot_of(&kelvra_419::GetAllChildVDevices)},
      {"SendSP", slot_of(&kelvra_419::SendSP)},
      {"SendDelayData", slot_of(&kelvra_419::SendDelayData)},
      {"SendDoData", slot_of(&kelvra_419::SendDoData)},
      {"ReadDi", slot_of(&kelvra_419::ReadDi)},
      {"ReadAi", slot_of(&kelvra_419::ReadAi)},
      {"Get_SP_Value", slot_of(&kelvra_419::Get_SP_Value)},
      {"RefreshStatus", slot_of(&kelvra_419::RefreshStatus)},
      {"process", slot_of(&kelvra_419::process)},
      {"IsProcessing", slot_of(&kelvra_419::IsProcessing)},
      {"IsStalled", slot_of(&kelvra_419::IsStalled)},
      {"SendData", slot_of(&kelvra_419::SendData)},
      {"SendParityData", slot_of(&kelvra_419::SendParityData)},
      {"OpenPort", slot_of(&kelvra_419::OpenPort)},
      {"ClosePort", slot_of(&kelvra_419::ClosePort)},
      {"process_payload", slot_of(&kelvra_419::process_payload)},
      {"process_error", slot_of(&kelvra_419::process_error)},
      {"RunCheckThreshold", slot_of(&kelvra_419::RunCheckThreshold)},
  };
  const std::vector<long> expected = {0,  1,  2,  3,  4,  5,  6,  7,  10, 11, 12,
                                      13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
                                      24, 25, 26, 27, 28, 29, 30, 31, 32, 33};
  ASSERT_EQ(slots.size(), expected.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    EXPECT_EQ(slots[i].second, expected[i]) << slots[i].first;
  }
}

TEST(DeviceChain, ClassChainIsSingleInheritanceThroughTheTemplates) {
  using Uni = UniDataDevice<kelvra_419_Data_t, PMBusProtocol, 5535>;
  using Pm = pmbuspower_419<kelvra_419_Data_t, 5535>;
  EXPECT_TRUE((std::is_base_of_v<Pm, kelvra_419>));
  EXPECT_TRUE((std::is_base_of_v<Uni, Pm>));
  EXPECT_TRUE((std::is_base_of_v<PMBusProtocol, Uni>));
  EXPECT_TRUE((std::is_base_of_v<SMDSPDevice, PMBusProtocol>));
  EXPECT_TRUE((std::is_base_of_v<SMDVDevice, SMDSPDevice>));
  EXPECT_TRUE((std::is_base_of_v<VDeviceInterface, SMDVDevice>));
  EXPECT_TRUE((std::has_virtual_destructor_v<VDeviceInterface>));
  EXPECT_TRUE((std::is_abstract_v<Uni>));
  EXPECT_FALSE((std::is_abstract_v<kelvra_419>));
}

TEST(DeviceChain, FreshDeviceHoldsTheConstructorDefaults) {
  kelvra_419 device;
  EXPECT_EQ(device.DeviceType(), "kelvra_419");
  EXPECT_EQ(device.b_mode_, 1);
  EXPECT_EQ(device.control_result_, -1);
  EXPECT_EQ(device.cmd_info_, 1);
  EXPECT_EQ(device.rect_dataflag_, 0);
  EXPECT_TRUE(device.has_ac_);
  EXPECT_FALSE(device.has_dc_);
  EXPECT_EQ(device.no_dc_number_, -1);
  EXPECT_TRUE(device.has_a_ && device.has_b_ && device.has_c_);
  EXPECT_EQ(device.dc_i_adjust_, 1);
  EXPECT_EQ(device.baud_rate_, 9600);
  EXPECT_EQ(device.serial_flag_, 1);
  EXPECT_EQ(device.protocol_ver_, 0x20);
  EXPECT_EQ(device.poll_state_, 10);
  EXPECT_EQ(device.data_valid_, 0);
  EXPECT_EQ(device.rule_seq_, 1);
  EXPECT_EQ(device.DataId(), 0u);
  EXPECT_FALSE(device.UseControllerDb());
  EXPECT_EQ(std::vector<std::uint8_t>(device.record_bytes(), device.record_bytes() + 763),
            std::vector<std::uint8_t>(763, 0));
}

TEST(DeviceChain, NoChildDevices) {
  kelvra_419 device;
  for (unsigned index : {0u, 1u, 7u, 0xFFFFFFFFu})
    EXPECT_EQ(device.GetChildVDevice(index), nullptr);
  EXPECT_TRUE(device.GetAllChildVDevices().empty());
}

TEST(DeviceChain, BaseQueryRefusesWithDataNotReady) {
  kelvra_419 device;
  const VDeviceInterface& base = device;
  try {
    (void)base.VDeviceInterface::Get_Value(0, "out_v");
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "数据未就绪");
  }
}

TEST(DeviceChain, CacheOfAnyLengthButTheRecordsIsRefusedAndChangesNothing) {
  kelvra_419 device;
  for (std::size_t len : {0u, 1u, 762u, 764u, 1526u}) {
    SCOPED_TRACE(len);
    EXPECT_FALSE(device.LoadFromCache(std::string(len, '\x5A')));
    EXPECT_EQ(device.data_valid_, 0);
    EXPECT_EQ(std::vector<std::uint8_t>(device.record_bytes(), device.record_bytes() + 763),
              std::vector<std::uint8_t>(763, 0));
  }
}

TEST(Provider, EachCreateGivesAnIndependentDevice) {
  kelvra_419Provider provider;
  std::unique_ptr<SMDSPDevice> first(provider.create());
  std::unique_ptr<SMDSPDevice> second(provider.create());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first.get(), second.get());
  auto& a = static_cast<kelvra_419&>(*first);
  auto& b = static_cast<kelvra_419&>(*second);
  a.has_dc_ = true;
  a.data_.dc.out_v.set(53.5f);
  EXPECT_FALSE(b.has_dc_);
  EXPECT_EQ(b.data_.dc.out_v.get(), 0.0f);
}

TEST(HostTime, SevenBytesOfYearMonthDayHourMinuteSecond) {
  using boost::posix_time::ptime;
  using boost::posix_time::time_from_string;
  EXPECT_EQ(get_ttime(time_from_string("2026-12-08 14:05:09")),
            (ttime{0xEA, 0x07, 12, 8, 14, 5, 9}));
  EXPECT_EQ(get_ttime(time_from_string("1999-01-31 23:59:58")),
            (ttime{0xCF, 0x07, 1, 31, 23, 59, 58}));
  EXPECT_EQ(get_ttime(ptime()), (ttime{}));
}

}  // namespace
