#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "record/kelvra_419_data.h"

namespace {

struct FieldCase {
  std::string name;
  std::size_t offset;  // from the record's first byte
  std::size_t size;
  std::uint8_t* (*locate)(kelvra_419_Data_t&);
};

#define FIELD(expr, off, len)                                                          \
  FieldCase {                                                                          \
#expr, off, len,                                                                   \
        [](kelvra_419_Data_t & r) { return reinterpret_cast<std::uint8_t*>(&r.expr); } \
  }

const std::vector<FieldCase> kFields = {
    FIELD(data_id, 0, 4),
    FIELD(ac.extra[0], 8, 4),
    FIELD(ac.extra[2], 16, 4),
    FIELD(ac.channel_count, 20, 1),
    FIELD(ac.airlock_count, 21, 1),
    FIELD(ac.p40_43_count, 22, 1),
    FIELD(ac.p40_43, 23, 4),
    FIELD(ac.extra_state, 27, 3),
    FIELD(ac.channel[0].a, 37, 4),
    FIELD(ac.channel[0].b, 41, 4),
    FIELD(ac.channel[0].c, 45, 4),
    FIELD(ac.channel[0].f, 49, 4),
    FIELD(ac.channel[0].p40_41_count, 53, 1),
    FIELD(ac.channel[0].a_state, 54, 1),
    FIELD(ac.channel[0].b_state, 55, 1),
    FIELD(ac.channel[0].c_state, 56, 1),
    FIELD(ac.channel[0].f_state, 57, 1),
    FIELD(ac.channel[0].p40_44_count, 58, 1),
    FIELD(ac.channel[0].p40_44, 59, 3),
    FIELD(ac.channel[1].a, 62, 4),
    FIELD(ac.channel[1].b, 66, 4),
    FIELD(ac.channel[1].c, 70, 4),
    FIELD(ac.channel[1].f, 74, 4),
    FIELD(ac.channel[1].p40_41_count, 78, 1),
    FIELD(ac.channel[1].a_state, 79, 1),
    FIELD(ac.channel[1].f_state, 82, 1),
    FIELD(ac.channel[1].p40_44_count, 83, 1),
    FIELD(ac.channel[1].p40_44, 84, 3),
    FIELD(rc.group_value, 87, 4),
    FIELD(rc.channel_count, 91, 1),
    FIELD(rc.channel[0].value, 92, 4),
    FIELD(rc.channel[0].p41_41_count, 96, 1),
    FIELD(rc.channel[0].switch_state, 97, 3),
    FIELD(rc.channel[0].p41_43_count, 100, 1),
    FIELD(rc.channel[0].p41_43, 101, 1),
    FIELD(rc.channel[0].alarm_state, 102, 1),
    FIELD(rc.channel[0].p41_44_count, 103, 1),
    FIELD(rc.channel[39].value, 92 + 12 * 39, 4),
    FIELD(rc.channel[39].switch_state, 92 + 12 * 39 + 5, 3),
    FIELD(rc.channel[39].p41_44_count, 92 + 12 * 39 + 11, 1),
    FIELD(dc.out_v, 576, 4),
    FIELD(dc.out_i, 580, 4),
    FIELD(dc.m_count, 584, 1),
    FIELD(dc.m, 585, 12),
    FIELD(dc.n_count, 597, 1),
    FIELD(dc.p_count, 598, 1),
    FIELD(dc.p, 599, 24),
    FIELD(dc.out_v_state, 623, 1),
    FIELD(dc.alert_m_count, 624, 1),
    FIELD(dc.alert_m, 625, 20),
    FIELD(dc.alert_p_count, 645, 1),
    FIELD(dc.alert_p, 646, 11),
    FIELD(round_time, 664, 7),
    FIELD(dc2.out_v, 675, 4),
    FIELD(dc2.out_i, 679, 4),
    FIELD(dc2.m_count, 683, 1),
    FIELD(dc2.m, 684, 12),
    FIELD(dc2.n_count, 696, 1),
    FIELD(dc2.p_count, 697, 1),
    FIELD(dc2.p, 698, 24),
    FIELD(dc2.out_v_state, 722, 1),
    FIELD(dc2.alert_m_count, 723, 1),
    FIELD(dc2.alert_m, 724, 20),
    FIELD(dc2.alert_p_count, 744, 1),
    FIELD(dc2.alert_p, 745, 11),
};

#undef FIELD

TEST(RecordLayout, EveryFieldLandsAtItsOffsetAndNowhereElse) {
  for (const FieldCase& field : kFields) {
    SCOPED_TRACE(field.name);
    kelvra_419_Data_t record;
    std::memset(&record, 0, sizeof record);
    std::memset(field.locate(record), 0xA5, field.size);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    for (std::size_t i = 0; i < sizeof record; ++i) {
      const bool inside = i >= field.offset && i < field.offset + field.size;
      ASSERT_EQ(bytes[i], inside ? 0xA5 : 0x00) << "byte " << i;
    }
  }
}

TEST(RecordLayout, FloatsAndIdsAreLeastSignificantByteFirst) {
  kelvra_419_Data_t record;
  std::memset(&record, 0, sizeof record);
  record.dc.out_v.set(53.5f);       // 0x42560000
  record.data_id.set(0x04030201u);  // data id 67305985
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes + 576, bytes + 580),
            (std::vector<std::uint8_t>{0x00, 0x00, 0x56, 0x42}));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 4),
            (std::vector<std::uint8_t>{0x01, 0x02, 0x03, 0x04}));
}

TEST(RecordLayout, TemplateConstantsSizeTheArrays) {
  EXPECT_EQ(kelvra_419_ac_layout::AIRLOCK_MAX(), 0);
  EXPECT_EQ(kelvra_419_ac_layout::P40_43_SIZE(), 4);
  EXPECT_EQ(kelvra_419_ac_channel::P40_41_SIZE(), 0);
  EXPECT_EQ(kelvra_419_ac_channel::p40_44_SIZE(), 3);
  EXPECT_EQ(kelvra_419_rc_channel::P41_41_SIZE(), 0);
  EXPECT_EQ(kelvra_419_rc_channel::P41_43_SIZE(), 1);
  EXPECT_EQ(kelvra_419_rc_channel::P41_44_SIZE(), 0);
  EXPECT_EQ(kelvra_419_dc::M_SIZE(), 3);
  EXPECT_EQ(kelvra_419_dc::N_SIZE(), 0);
  EXPECT_EQ(kelvra_419_dc::P_SIZE(), 6);
  EXPECT_EQ(kelvra_419_dc::ALERT_M_SIZE(), 20);
  EXPECT_EQ(kelvra_419_dc::ALERT_P_SIZE(), 11);
  kelvra_419_Data_t record;
  EXPECT_EQ(sizeof record.ac.p40_43, kelvra_419_ac_layout::P40_43_SIZE());
  EXPECT_EQ(sizeof record.ac.channel[0].p40_44, kelvra_419_ac_channel::p40_44_SIZE());
  EXPECT_EQ(sizeof record.dc.alert_m, kelvra_419_dc::ALERT_M_SIZE());
  EXPECT_EQ(sizeof record.dc.p, 4u * kelvra_419_dc::P_SIZE());
}

}  // namespace
