#pragma once

#include <cstddef>
#include <cstdint>

#include "record/wire_types.h"

// Layout templates: each constant sizes one array of the record and bounds the decoders that fill
// it. An array of room 0 takes no bytes; the field behind it starts where it would have.

template <std::uint8_t AirlockMax, std::uint8_t P40_43Size>
struct tele_c_pmbuspower_ac {
  static constexpr std::uint8_t AIRLOCK_MAX() { return AirlockMax; }
  static constexpr std::uint8_t P40_43_SIZE() { return P40_43Size; }
};

template <std::uint8_t P40_41Size, std::uint8_t P40_44Size>
struct tele_c_pmbuspower_ac_channel {
  static constexpr std::uint8_t P40_41_SIZE() { return P40_41Size; }
  static constexpr std::uint8_t p40_44_SIZE() { return P40_44Size; }

  f32le a;  // phase A voltage, V
  f32le b;  // phase B voltage, V
  f32le c;  // phase C voltage, V
  f32le f;  // input frequency, Hz
  std::uint8_t p40_41_count;
  f32le p40_41[P40_41Size];
  std::uint8_t a_state;
  std::uint8_t b_state;
  std::uint8_t c_state;
  std::uint8_t f_state;
  std::uint8_t p40_44_count;
  std::uint8_t p40_44[P40_44Size];
};

template <std::uint8_t P41_41Size, std::uint8_t P41_43Size, std::uint8_t P41_44Size>
struct tele_c_pmbuspower_rc_channel {
  static constexpr std::uint8_t P41_41_SIZE() { return P41_41Size; }
  static constexpr std::uint8_t P41_43_SIZE() { return P41_43Size; }
  static constexpr std::uint8_t P41_44_SIZE() { return P41_44Size; }

  f32le value;
  std::uint8_t p41_41_count;
  f32le p41_41[P41_41Size];
  std::uint8_t switch_state[3];
  std::uint8_t p41_43_count;
  std::uint8_t p41_43[P41_43Size];
  std::uint8_t alarm_state;
  std::uint8_t p41_44_count;
  std::uint8_t p41_44[P41_44Size];
};

template <std::uint8_t MSize, std::uint8_t NSize, std::uint8_t PSize, std::uint8_t AlertMSize,
          std::uint8_t AlertPSize>
struct tele_c_pmbuspower_dc {
  static constexpr std::uint8_t M_SIZE() { return MSize; }
  static constexpr std::uint8_t N_SIZE() { return NSize; }
  static constexpr std::uint8_t P_SIZE() { return PSize; }
  static constexpr std::uint8_t ALERT_M_SIZE() { return AlertMSize; }
  static constexpr std::uint8_t ALERT_P_SIZE() { return AlertPSize; }

  f32le out_v;  // DC output voltage, V
  f32le out_i;  // DC current, A, as received times the current adjustment factor
  std::uint8_t m_count;
  f32le m[MSize];
  std::uint8_t n_count;
  f32le n[NSize];
  std::uint8_t p_count;
  f32le p[PSize];
  std::uint8_t out_v_state;
  std::uint8_t alert_m_count;
  std::uint8_t alert_m[AlertMSize];
  std::uint8_t alert_p_count;
  std::uint8_t alert_p[AlertPSize];
};

using kelvra_419_ac_layout = tele_c_pmbuspower_ac<0, 4>;
using kelvra_419_ac_channel = tele_c_pmbuspower_ac_channel<0, 3>;
using kelvra_419_rc_channel = tele_c_pmbuspower_rc_channel<0, 1, 0>;
using kelvra_419_dc = tele_c_pmbuspower_dc<3, 0, 6, 20, 11>;

#pragma pack(push, 1)

// The device data record: 763 bytes, packed, little-endian. Published, stored as history and
// restored from the cache as raw bytes, so every offset is part of an external format.
struct kelvra_419_Data_t {
  static constexpr std::size_t AC_CHANNEL_ROOM = 2;
  static constexpr std::size_t RC_CHANNEL_ROOM = 40;

  struct ac_t {
    f32le extra[3];
    std::uint8_t channel_count;
    std::uint8_t airlock_count;
    std::uint8_t airlock[kelvra_419_ac_layout::AIRLOCK_MAX()];
    std::uint8_t p40_43_count;
    std::uint8_t p40_43[kelvra_419_ac_layout::P40_43_SIZE()];
    std::uint8_t extra_state[3];
    std::uint8_t reserved[7];
    kelvra_419_ac_channel channel[AC_CHANNEL_ROOM];
  };

  struct rc_t {
    f32le group_value;
    std::uint8_t channel_count;
    kelvra_419_rc_channel channel[RC_CHANNEL_ROOM];
  };

  u32le data_id;
  std::uint8_t reserved_4[4];
  ac_t ac;
  rc_t rc;
  std::uint8_t reserved_572[4];
  kelvra_419_dc dc;
  std::uint8_t reserved_657[7];
  std::uint8_t round_time[7];
  std::uint8_t reserved_671[4];
  kelvra_419_dc dc2;
  std::uint8_t reserved_756[7];
};

#pragma pack(pop)

static_assert(sizeof(kelvra_419_ac_channel) == 25);
static_assert(offsetof(kelvra_419_ac_channel, a) == 0);
static_assert(offsetof(kelvra_419_ac_channel, b) == 4);
static_assert(offsetof(kelvra_419_ac_channel, c) == 8);
static_assert(offsetof(kelvra_419_ac_channel, f) == 12);
static_assert(offsetof(kelvra_419_ac_channel, p40_41_count) == 16);
static_assert(offsetof(kelvra_419_ac_channel, a_state) == 17);
static_assert(offsetof(kelvra_419_ac_channel, b_state) == 18);
static_assert(offsetof(kelvra_419_ac_channel, c_state) == 19);
static_assert(offsetof(kelvra_419_ac_channel, f_state) == 20);
static_assert(offsetof(kelvra_419_ac_channel, p40_44_count) == 21);
static_assert(offsetof(kelvra_419_ac_channel, p40_44) == 22);

static_assert(sizeof(kelvra_419_rc_channel) == 12);
static_assert(offsetof(kelvra_419_rc_channel, value) == 0);
static_assert(offsetof(kelvra_419_rc_channel, p41_41_count) == 4);
static_assert(offsetof(kelvra_419_rc_channel, switch_state) == 5);
static_assert(offsetof(kelvra_419_rc_channel, p41_43_count) == 8);
static_assert(offsetof(kelvra_419_rc_channel, p41_43) == 9);
static_assert(offsetof(kelvra_419_rc_channel, alarm_state) == 10);
static_assert(offsetof(kelvra_419_rc_channel, p41_44_count) == 11);

static_assert(sizeof(kelvra_419_dc) == 81);
static_assert(offsetof(kelvra_419_dc, out_v) == 0);
static_assert(offsetof(kelvra_419_dc, out_i) == 4);
static_assert(offsetof(kelvra_419_dc, m_count) == 8);
static_assert(offsetof(kelvra_419_dc, m) == 9);
static_assert(offsetof(kelvra_419_dc, n_count) == 21);
static_assert(offsetof(kelvra_419_dc, p_count) == 22);
static_assert(offsetof(kelvra_419_dc, p) == 23);
static_assert(offsetof(kelvra_419_dc, out_v_state) == 47);
static_assert(offsetof(kelvra_419_dc, alert_m_count) == 48);
static_assert(offsetof(kelvra_419_dc, alert_m) == 49);
static_assert(offsetof(kelvra_419_dc, alert_p_count) == 69);
static_assert(offsetof(kelvra_419_dc, alert_p) == 70);

static_assert(sizeof(kelvra_419_Data_t) == 763);
static_assert(alignof(kelvra_419_Data_t) == 1);
static_assert(offsetof(kelvra_419_Data_t, data_id) == 0);
static_assert(offsetof(kelvra_419_Data_t, ac.extra) == 8);
static_assert(offsetof(kelvra_419_Data_t, ac.channel_count) == 20);
static_assert(offsetof(kelvra_419_Data_t, ac.airlock_count) == 21);
static_assert(offsetof(kelvra_419_Data_t, ac.p40_43_count) == 22);
static_assert(offsetof(kelvra_419_Data_t, ac.p40_43) == 23);
static_assert(offsetof(kelvra_419_Data_t, ac.extra_state) == 27);
static_assert(offsetof(kelvra_419_Data_t, ac.channel) == 37);
static_assert(offsetof(kelvra_419_Data_t, ac.channel[1]) == 62);
static_assert(offsetof(kelvra_419_Data_t, rc.group_value) == 87);
static_assert(offsetof(kelvra_419_Data_t, rc.channel_count) == 91);
static_assert(offsetof(kelvra_419_Data_t, rc.channel) == 92);
static_assert(offsetof(kelvra_419_Data_t, rc.channel[39]) == 92 + 12 * 39);
static_assert(offsetof(kelvra_419_Data_t, dc) == 576);
static_assert(offsetof(kelvra_419_Data_t, round_time) == 664);
static_assert(offsetof(kelvra_419_Data_t, dc2) == 675);
static_assert(offsetof(kelvra_419_Data_t, reserved_756) == 756);
