// One round driven only through the host layer: settings in, response bytes in, record out.
#include <gtest/gtest.h>

#include <cstring>

#include <json/reader.h>

#include "tests/poll/poll_responses.h"

namespace {

using namespace poll_testing;

f32le float_of(float value) {
  f32le field;
  field.set(value);
  return field;
}

// The record the round below must publish, written field by field from its responses.
kelvra_419_Data_t expected_record(std::uint32_t data_id, const ttime& stamp) {
  kelvra_419_Data_t r;
  std::memset(&r, 0, sizeof r);
  r.data_id.set(data_id);
  r.ac.extra[0] = float_of(1.0f);
  std::memcpy(r.ac.extra[1].bytes, "\xCD\xCC\xCC\xBD", 4);  // invalid marker: -0.1
  r.ac.extra[2] = float_of(2.0f);
  r.ac.channel_count = 2;
  r.ac.p40_43_count = 4;
  std::memcpy(r.ac.p40_43, "\x11\x12\x13\x14", 4);
  std::memcpy(r.ac.extra_state, "\x21\x22\x23", 3);
  auto& ch1 = r.ac.channel[0];
  ch1.a = float_of(220.0f);
  ch1.b = float_of(220.5f);
  ch1.c = float_of(221.0f);
  ch1.f = float_of(50.0f);
  ch1.a_state = 0x01, ch1.b_state = 0x02, ch1.c_state = 0x03, ch1.f_state = 0x04;
  ch1.p40_44_count = 3;
  std::memcpy(ch1.p40_44, "\x05\xE0\xE1", 3);
  auto& ch2 = r.ac.channel[1];
  ch2.a = float_of(222.0f);  // b: invalid marker stored as 0.0
  ch2.c = float_of(223.0f);
  ch2.f = float_of(50.0f);
  ch2.a_state = 0x05, ch2.b_state = 0x06, ch2.c_state = 0x07, ch2.f_state = 0x08;
  ch2.p40_44_count = 3;
  r.rc.group_value = float_of(48.0f);
  r.rc.channel_count = 2;
  const std::uint8_t switch_base[] = {0x31, 0x41};
  const std::uint8_t alarm_state[] = {0x51, 0x61};
  for (int i = 0; i < 2; ++i) {
    auto& module = r.rc.channel[i];
    module.value = float_of(10.0f + static_cast<float>(i));
    for (int k = 0; k < 3; ++k) module.switch_state[k] = std::uint8_t(switch_base[i] + k);
    module.p41_43_count = 1;
    module.p41_43[0] = std::uint8_t(switch_base[i] + 3);
    module.alarm_state = alarm_state[i];
  }
  r.dc.out_v = float_of(53.5f);
  r.dc.out_i = float_of(20.0f);  // 10.0 times dc_i_adjust 2
  r.dc.out_v_state = 0x01;
  std::memcpy(r.round_time, stamp.data(), stamp.size());
  return r;
}

TEST(EndToEnd, FirstRoundPublishesTheRecordBuiltFromTheResponses) {
  testing_support::RecordingHost host;
  kelvra_419 device;
  device.AttachHost(&host);
  ASSERT_TRUE(device.Init({}, 0x00C0FFEE, Json::Value()));
  Json::Value settings;
  ASSERT_TRUE(Json::Reader().parse(
      R"({"appSetting": {"has_dc": "1", "dc_i_adjust": "2", "b_mode": "1"}})", settings));
  testing_support::capture_stdout([&] { EXPECT_TRUE(device.InitSetting(settings)); });

  ASSERT_TRUE(device.RefreshStatus());
  const std::vector<Bytes> responses = {decoded_response(0x40, ac_analog_info(0)),
                                        decoded_response(0x40, ac_switch_info(0)),
                                        decoded_response(0x40, ac_alarm_info(0)),
                                        decoded_response(0x41, rect_analog_info(0)),
                                        decoded_response(0x41, rect_switch_info(0)),
                                        decoded_response(0x41, rect_alarm_info(0)),
                                        decoded_response(0x42, dc_analog_info_format1(0)),
                                        decoded_response(0x42, dc_alarm_info_format1(0))};
  testing_support::capture_stdout([&] {
    for (const Bytes& response : responses) testing_support::respond(device, response);
  });
  EXPECT_EQ(host.sent.size(), 8u);
  EXPECT_EQ(device.no_dc_number_, 1);
  ASSERT_EQ(host.published.size(), 1u);

  const kelvra_419_Data_t expected =
      expected_record(0x00C0FFEE, get_ttime(device.last_round_time_));
  const auto* expected_bytes = reinterpret_cast<const std::uint8_t*>(&expected);
  EXPECT_EQ(host.published[0], Bytes(expected_bytes, expected_bytes + sizeof expected));
  EXPECT_EQ(host.stored.at(0), host.published[0]);
}

}  // namespace
