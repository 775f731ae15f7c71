// Response decoders of pmbuspower_419; included by pmbuspower_419.h only.
//
// Every decoder reads through a ByteReader, so no byte at or beyond len is read; a field is
// written as soon as its bytes are read, and a shortfall returns -1 with the fields before it
// kept. Floats are copied in the byte order received (least significant first).

#include <cstdio>
#include <cstring>
#include <iostream>
#include <type_traits>

#include "record/kelvra_419_data.h"

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::is_invalid_marker(const std::uint8_t* bytes) {
  return bytes[0] != 0 && bytes[1] == bytes[0] && bytes[2] == bytes[0] && bytes[3] == bytes[0];
}

template <class Data, int SpId>
const std::uint8_t* pmbuspower_419<Data, SpId>::take_marked_float(ByteReader& in, f32le& field,
                                                                  float missing) {
  const std::uint8_t* received = in.take(sizeof field.bytes);
  if (received == nullptr) return nullptr;
  if (is_invalid_marker(received)) {
    field.set(missing);
  } else {
    std::memcpy(field.bytes, received, sizeof field.bytes);
  }
  return received;
}

// AC analog values, INFO behind the DATAFLAG: channel count, per channel a, b, c, f and a counted
// group of user-defined floats, then the three extra floats.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_41(const unsigned char* info, int len) {
  auto& ac = this->data_.ac;
  ByteReader in(info, len);
  if (!in.read_u8(ac.channel_count)) return -1;
  std::cout << "parse40_41 channel_count is " << int(ac.channel_count) << std::endl;
  std::remove_reference_t<decltype(ac.channel[0])> scratch{};
  for (int i = 0; i < ac.channel_count; ++i) {
    auto& channel = entry_or_scratch(ac.channel, i, scratch);
    const std::uint8_t* a = take_marked_float(in, channel.a, kMissingChannelValue);
    if (a == nullptr) return -1;
    std::printf("a %x %x %x %x\n", a[0], a[1], a[2], a[3]);
    std::cout << "parse40_41 acChannel.a is " << channel.a.get() << std::endl;
    if (!take_marked_float(in, channel.b, kMissingChannelValue) ||
        !take_marked_float(in, channel.c, kMissingChannelValue) ||
        !take_marked_float(in, channel.f, kMissingChannelValue) ||
        !in.read_u8(channel.p40_41_count)) {
      return -1;
    }
    if (channel.p40_41_count != channel.P40_41_SIZE()) {
      std::cout << "acChannel.p40_41_count " << int(channel.p40_41_count) << std::endl;
    }
    if (!in.read_if_exact(channel.p40_41_count, reinterpret_cast<std::uint8_t*>(channel.p40_41),
                          channel.P40_41_SIZE(), sizeof(f32le))) {
      return -1;
    }
  }
  for (f32le& extra : ac.extra) {
    if (!take_marked_float(in, extra, kMissingValue)) return -1;
  }
  return in.consumed();
}

// AC switch states, INFO behind the DATAFLAG: counted airlock group (no room, so the count must
// be 0), counted group of user-defined switch states.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_43(const unsigned char* info, int len) {
  using Layout = kelvra_419_ac_layout;
  auto& ac = this->data_.ac;
  ByteReader in(info, len);
  if (!in.read_u8(ac.airlock_count)) return -1;
  if (ac.airlock_count > Layout::AIRLOCK_MAX()) return -1;
  if (!in.read_bytes(ac.airlock, ac.airlock_count) || !in.read_u8(ac.p40_43_count) ||
      !in.read_if_exact(ac.p40_43_count, ac.p40_43, Layout::P40_43_SIZE())) {
    return -1;
  }
  return in.consumed();
}

// AC alarm states, INFO behind the DATAFLAG: a channel count that is only printed, always two
// channel blocks (four states, an unstored counted group, counted user-defined alarm states),
// then three extra states.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_44(const unsigned char* info, int len) {
  auto& ac = this->data_.ac;
  ByteReader in(info, len);
  std::uint8_t channel_count = 0;
  if (!in.read_u8(channel_count)) return -1;
  std::cout << "channel is " << int(channel_count) << std::endl;
  for (auto& channel : ac.channel) {
    std::uint8_t unstored_count = 0;
    if (!in.read_u8(channel.a_state) || !in.read_u8(channel.b_state) ||
        !in.read_u8(channel.c_state) || !in.read_u8(channel.f_state) ||
        !in.read_u8(unstored_count) || !in.skip(unstored_count) ||
        !in.read_u8(channel.p40_44_count) ||
        !in.read_if_exact(channel.p40_44_count, channel.p40_44, channel.p40_44_SIZE())) {
      return -1;
    }
  }
  if (!in.read_bytes(ac.extra_state, sizeof ac.extra_state)) return -1;
  return in.consumed();
}

// Rectifier analog values, INFO from the DATAFLAG on: DATAFLAG, group float, module count, per
// module its float and a counted group of user-defined floats.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_41(const unsigned char* info, int len) {
  auto& rc = this->data_.rc;
  ByteReader in(info, len);
  if (!in.skip(1) || !in.read_bytes(rc.group_value.bytes, sizeof rc.group_value.bytes) ||
      !in.read_u8(rc.channel_count)) {
    return -1;
  }
  std::printf("parse 41_41 channel is %d\n", rc.channel_count);
  std::remove_reference_t<decltype(rc.channel[0])> scratch{};
  for (int i = 0; i < rc.channel_count; ++i) {
    auto& module = entry_or_scratch(rc.channel, i, scratch);
    if (!in.read_bytes(module.value.bytes, sizeof module.value.bytes) ||
        !in.read_u8(module.p41_41_count) ||
        !in.read_if_exact(module.p41_41_count, reinterpret_cast<std::uint8_t*>(module.p41_41),
                          module.P41_41_SIZE(), sizeof(f32le))) {
      return -1;
    }
  }
  return in.consumed();
}

// Rectifier switch states, INFO from the DATAFLAG on: DATAFLAG, the response's own module count
// (unused), then per module of the analog count three states and counted user-defined states.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_43(const unsigned char* info, int len) {
  auto& rc = this->data_.rc;
  ByteReader in(info, len);
  if (!in.skip(2)) return -1;
  std::remove_reference_t<decltype(rc.channel[0])> scratch{};
  for (int i = 0; i < rc.channel_count; ++i) {
    auto& module = entry_or_scratch(rc.channel, i, scratch);
    if (!in.read_bytes(module.switch_state, sizeof module.switch_state) ||
        !in.read_u8(module.p41_43_count) ||
        !in.read_if_exact(module.p41_43_count, module.p41_43, module.P41_43_SIZE())) {
      return -1;
    }
  }
  return in.consumed();
}

// Rectifier alarm states, INFO from the DATAFLAG on: DATAFLAG, the response's own module count
// (unused), then per module of the analog count one state and a counted group never stored.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_44(const unsigned char* info, int len) {
  auto& rc = this->data_.rc;
  ByteReader in(info, len);
  if (!in.skip(2)) return -1;
  std::remove_reference_t<decltype(rc.channel[0])> scratch{};
  for (int i = 0; i < rc.channel_count; ++i) {
    auto& module = entry_or_scratch(rc.channel, i, scratch);
    if (!in.read_u8(module.alarm_state) || !in.read_u8(module.p41_44_count) ||
        !in.skip(module.p41_44_count)) {
      return -1;
    }
  }
  return in.consumed();
}

// DC unit analog block: out_v, out_i (scaled by dc_i_adjust_ in single precision), counted
// groups m and n (stored only when they fit), counted group p of floats with the invalid marker
// stored as -0.1. A p group above its room ends the block with the result len.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse_dc_analog(DcUnit& unit, const unsigned char* info, int len) {
  ByteReader in(info, len);
  if (!in.read_bytes(unit.out_v.bytes, sizeof unit.out_v.bytes) ||
      !in.read_bytes(unit.out_i.bytes, sizeof unit.out_i.bytes)) {
    return -1;
  }
  unit.out_i.set(unit.out_i.get() * static_cast<float>(dc_i_adjust_));
  std::printf("parse42_41 %f %f\n", unit.out_v.get(), unit.out_i.get());
  if (!in.read_u8(unit.m_count) ||
      !in.read_if_fits(unit.m_count, reinterpret_cast<std::uint8_t*>(unit.m), unit.M_SIZE(),
                       sizeof(f32le)) ||
      !in.read_u8(unit.n_count) ||
      !in.read_if_fits(unit.n_count, reinterpret_cast<std::uint8_t*>(unit.n), unit.N_SIZE(),
                       sizeof(f32le)) ||
      !in.read_u8(unit.p_count)) {
    return -1;
  }
  if (unit.p_count > unit.P_SIZE()) return len;
  for (int i = 0; i < unit.p_count; ++i) {
    if (!take_marked_float(in, unit.p[i], kMissingValue)) return -1;
  }
  return in.consumed();
}

// DC unit alarm block: output voltage state, then two counted state groups, each kept up to its
// room and stepped over beyond it.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse_dc_alarm(DcUnit& unit, const unsigned char* info, int len) {
  ByteReader in(info, len);
  if (!in.read_u8(unit.out_v_state) || !in.read_u8(unit.alert_m_count) ||
      !in.read_clipped(unit.alert_m_count, unit.alert_m, unit.ALERT_M_SIZE()) ||
      !in.read_u8(unit.alert_p_count) ||
      !in.read_clipped(unit.alert_p_count, unit.alert_p, unit.ALERT_P_SIZE())) {
    return -1;
  }
  return in.consumed();
}

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_41(const unsigned char* info, int len) {
  return parse_dc_analog(this->data_.dc, info, len);
}

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_41_2(const unsigned char* info, int len) {
  return parse_dc_analog(this->data_.dc2, info, len);
}

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_44(const unsigned char* info, int len) {
  return parse_dc_alarm(this->data_.dc, info, len);
}

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_44_2(const unsigned char* info, int len) {
  return parse_dc_alarm(this->data_.dc2, info, len);
}
