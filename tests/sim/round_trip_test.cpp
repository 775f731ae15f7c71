// The simulator's answers, decoded by the device's own decoders, give back the model's values.
#include <gtest/gtest.h>

#include <initializer_list>

#include "device/kelvra_419.h"
#include "frame-codec/frame_codec.h"
#include "sim/info_encoders.h"
#include "sim/responder.h"

namespace kelvra::sim {
namespace {

struct Shape {
  int ac_inputs;
  int modules;
  int dc_units;
  DcFormat format;
};

std::string shape_name(const testing::TestParamInfo<Shape>& info) {
  const Shape& s = info.param;
  return "ac" + std::to_string(s.ac_inputs) + "_rect" + std::to_string(s.modules) + "_dc" +
         std::to_string(s.dc_units) + "_format" + std::to_string(static_cast<int>(s.format));
}

// Distinct values everywhere, with a missing value in each place that has an invalid marker.
Equipment distinctive_equipment(const Shape& shape) {
  Equipment e = make_equipment({shape.ac_inputs, shape.modules, shape.dc_units});
  for (std::size_t i = 0; i < e.ac.inputs.size(); ++i) {
    AcInput& input = e.ac.inputs[i];
    const float base = 220.0f + 3.0f * static_cast<float>(i);
    input.phase_a = base;
    input.phase_b = i == 0 ? Reading() : Reading(base + 1);
    input.phase_c = base + 2;
    input.frequency = 49.5f + static_cast<float>(i);
    input.states = {static_cast<std::uint8_t>(i + 1), 2, 3, 4};
    input.extra_alarms = {0x55};
    input.user_alarms = {kAcBreakerTripped, kAcMainsFailed, static_cast<std::uint8_t>(0x30 + i)};
  }
  e.ac.extra = {1.5f, std::nullopt, 2.5f};
  e.ac.user_switches = {1, 2, 3, 4};
  e.ac.extra_states = {7, 8, 9};
  e.rectifiers.group_value = 54.25f;
  for (std::size_t i = 0; i < e.rectifiers.modules.size(); ++i) {
    RectifierModule& module = e.rectifiers.modules[i];
    const auto n = static_cast<std::uint8_t>(i);
    module.value = 0.5f * static_cast<float>(i + 1);
    module.switch_states = {n, static_cast<std::uint8_t>(n + 1), static_cast<std::uint8_t>(n + 2)};
    module.user_status = {static_cast<std::uint8_t>(0x80 | n)};
    module.alarm_state = static_cast<std::uint8_t>(i % 3);
  }
  for (std::size_t u = 0; u < e.dc.size(); ++u) {
    DcUnit& unit = e.dc[u];
    const float k = static_cast<float>(u + 1);
    unit.voltage = 53.0f + k;
    unit.current = -12.5f * k;
    unit.float_group = {1.0f * k, 2.0f * k, 3.0f * k};
    unit.second_group = {99.0f};
    unit.user_floats = {10.0f * k, std::nullopt, 30.0f, 40.0f, 50.0f, 60.0f * k};
    unit.voltage_state = static_cast<std::uint8_t>(u + 1);
    unit.alarm_group = {0x11, 0x22, static_cast<std::uint8_t>(u)};
    for (std::size_t b = 0; b < unit.user_alarms.size(); ++b) {
      unit.user_alarms[b] = static_cast<std::uint8_t>(16 * u + b);
    }
  }
  return e;
}

float reading_or(const Reading& reading, float missing) {
  return reading.value_or(missing);
}

class SimRoundTrip : public testing::TestWithParam<Shape> {
 protected:
  // The decoded-response layout of the simulator's answer to CID1/CID2.
  std::vector<std::uint8_t> respond(std::uint8_t cid1, std::uint8_t cid2) {
    const auto answer = responder_.answer(frame::Frame{0x20, 0x01, cid1, cid2, {}});
    EXPECT_TRUE(answer && answer->code == frame::kRtnNormal);
    return frame::decoded_response(*answer);
  }
  static int info_length(const std::vector<std::uint8_t>& response) {
    return (response[4] | response[5] << 8) / 2;
  }

  Shape shape_ = GetParam();
  Equipment equipment_ = distinctive_equipment(shape_);
  Responder responder_{equipment_, ResponderSettings{0x01, 0x20, shape_.format}};
  kelvra_419 device_;
};

TEST_P(SimRoundTrip, AcResponses) {
  auto& ac = device_.data_.ac;
  for (std::uint8_t cid2 : std::initializer_list<std::uint8_t>{0x41, 0x43, 0x44}) {
    const auto r = respond(0x40, cid2);
    const int len = info_length(r) - 1;
    const int used = cid2 == 0x41   ? device_.parse40_41(&r[7], len)
                     : cid2 == 0x43 ? device_.parse40_43(&r[7], len)
                                    : device_.parse40_44(&r[7], len);
    EXPECT_EQ(len, used) << "40/" << int{cid2};
  }
  ASSERT_EQ(shape_.ac_inputs, ac.channel_count);
  for (std::size_t i = 0; i < equipment_.ac.inputs.size(); ++i) {
    const AcInput& input = equipment_.ac.inputs[i];
    const auto& channel = ac.channel[i];
    EXPECT_FLOAT_EQ(reading_or(input.phase_a, 0.0f), channel.a.get());
    EXPECT_FLOAT_EQ(reading_or(input.phase_b, 0.0f), channel.b.get());
    EXPECT_FLOAT_EQ(reading_or(input.phase_c, 0.0f), channel.c.get());
    EXPECT_FLOAT_EQ(reading_or(input.frequency, 0.0f), channel.f.get());
    EXPECT_EQ(0, channel.p40_41_count);
    EXPECT_EQ(input.states[0], channel.a_state);
    EXPECT_EQ(input.states[3], channel.f_state);
    EXPECT_EQ(3, channel.p40_44_count);
    EXPECT_EQ(input.user_alarms, Bytes(channel.p40_44, channel.p40_44 + 3));
  }
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_FLOAT_EQ(reading_or(equipment_.ac.extra[k], -0.1f), ac.extra[k].get());
    EXPECT_EQ(equipment_.ac.extra_states[k], ac.extra_state[k]);
  }
  EXPECT_EQ(4, ac.p40_43_count);
  EXPECT_EQ(equipment_.ac.user_switches, Bytes(ac.p40_43, ac.p40_43 + 4));
}

TEST_P(SimRoundTrip, RectifierResponses) {
  auto& rc = device_.data_.rc;
  const auto analog = respond(0x41, 0x41);
  EXPECT_EQ(info_length(analog), device_.parse41_41(&analog[6], info_length(analog)));
  const auto switches = respond(0x41, 0x43);
  EXPECT_EQ(info_length(switches), device_.parse41_43(&switches[6], info_length(switches)));
  const auto alarms = respond(0x41, 0x44);
  EXPECT_EQ(info_length(alarms), device_.parse41_44(&alarms[6], info_length(alarms)));

  EXPECT_FLOAT_EQ(equipment_.rectifiers.group_value, rc.group_value.get());
  ASSERT_EQ(shape_.modules, rc.channel_count);
  for (std::size_t i = 0; i < equipment_.rectifiers.modules.size(); ++i) {
    const RectifierModule& module = equipment_.rectifiers.modules[i];
    const auto& entry = rc.channel[i];
    EXPECT_FLOAT_EQ(module.value, entry.value.get()) << i;
    EXPECT_EQ(0, entry.p41_41_count);
    EXPECT_EQ(Bytes(module.switch_states.begin(), module.switch_states.end()),
              Bytes(entry.switch_state, entry.switch_state + 3));
    EXPECT_EQ(1, entry.p41_43_count);
    EXPECT_EQ(module.user_status[0], entry.p41_43[0]);
    EXPECT_EQ(module.alarm_state, entry.alarm_state);
    EXPECT_EQ(0, entry.p41_44_count);
  }
}

void expect_unit(const DcUnit& unit, const kelvra_419_dc& record) {
  EXPECT_FLOAT_EQ(unit.voltage, record.out_v.get());
  EXPECT_FLOAT_EQ(unit.current, record.out_i.get());
  ASSERT_EQ(3, record.m_count);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(unit.float_group[k], record.m[k].get());
  EXPECT_EQ(1, record.n_count);
  ASSERT_EQ(6, record.p_count);
  for (std::size_t k = 0; k < 6; ++k) {
    EXPECT_FLOAT_EQ(reading_or(unit.user_floats[k], -0.1f), record.p[k].get()) << k;
  }
  EXPECT_EQ(unit.voltage_state, record.out_v_state);
  ASSERT_EQ(unit.alarm_group.size(), record.alert_m_count);
  EXPECT_EQ(unit.alarm_group, Bytes(record.alert_m, record.alert_m + record.alert_m_count));
  ASSERT_EQ(11, record.alert_p_count);
  EXPECT_EQ(unit.user_alarms, Bytes(record.alert_p, record.alert_p + 11));
}

TEST_P(SimRoundTrip, DcResponses) {
  for (std::uint8_t cid2 : std::initializer_list<std::uint8_t>{0x41, 0x44}) {
    const auto r = respond(0x42, cid2);
    const int length = info_length(r);
    const auto first = cid2 == 0x41 ? &kelvra_419::parse42_41 : &kelvra_419::parse42_44;
    const auto second = cid2 == 0x41 ? &kelvra_419::parse42_41_2 : &kelvra_419::parse42_44_2;
    if (shape_.format == DcFormat::kSingleUnit) {
      EXPECT_EQ(length - 1, (device_.*first)(&r[7], length - 1));
      continue;
    }
    ASSERT_EQ(shape_.dc_units, r[7]);
    const int used = (device_.*first)(&r[8], length - 2);
    ASSERT_GT(used, 0);
    if (shape_.dc_units == 2) {
      EXPECT_EQ(length - 2 - used, (device_.*second)(&r[8 + used], length - 2 - used));
    } else {
      EXPECT_EQ(length - 2, used);
    }
  }
  expect_unit(equipment_.dc[0], device_.data_.dc);
  const bool second_sent = shape_.format == DcFormat::kCounted && shape_.dc_units == 2;
  if (second_sent) {
    expect_unit(equipment_.dc[1], device_.data_.dc2);
  } else {
    EXPECT_EQ(0.0f, device_.data_.dc2.out_v.get());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SimRoundTrip,
    testing::Values(Shape{1, 0, 1, DcFormat::kSingleUnit}, Shape{2, 6, 1, DcFormat::kSingleUnit},
                    Shape{2, 6, 2, DcFormat::kSingleUnit}, Shape{1, 6, 1, DcFormat::kCounted},
                    Shape{2, 40, 2, DcFormat::kCounted}, Shape{2, 0, 2, DcFormat::kCounted}),
    shape_name);

}  // namespace
}  // namespace kelvra::sim
