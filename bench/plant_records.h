// The bench's plant over time: the simulator's normal scenario as a record, stamped with a round
// time, steady or with every reading moved by noise.
#pragma once

#include <cstdint>
#include <ctime>
#include <random>
#include <vector>

#include "record/kelvra_419_fields.h"

namespace kelvra::bench {

// What the simulator's normal scenario reports: two AC inputs, six rectifiers, one DC unit.
inline kelvra_419_Data_t steady_record() {
  const std::vector<std::uint8_t> zeros(kelvra::record::kRecordSize, 0);
  kelvra_419_Data_t record = *kelvra::record::from_bytes(zeros.data(), zeros.size());
  record.ac.channel_count = 2;
  for (int i = 0; i < 2; ++i) {
    record.ac.channel[i].a.set(230);
    record.ac.channel[i].b.set(230);
    record.ac.channel[i].c.set(230);
    record.ac.channel[i].f.set(50);
  }
  record.rc.channel_count = 6;
  record.rc.group_value.set(53.5f);
  for (int i = 0; i < 6; ++i) record.rc.channel[i].value.set(10);
  record.dc.out_v.set(53.5f);
  record.dc.out_i.set(40);
  record.dc.m_count = 2;
  record.dc.m[0].set(-1.5f);
  record.dc.m[1].set(-1.5f);
  return record;
}

// The host's round time (year - 2000, month, day, hour, minute, second, 0) of a UTC time.
inline void stamp(kelvra_419_Data_t& record, std::int64_t time_ms) {
  const std::time_t seconds = static_cast<std::time_t>(time_ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  const int parts[] = {
      utc.tm_year - 100, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, 0};
  for (int i = 0; i < 7; ++i) record.round_time[i] = static_cast<std::uint8_t>(parts[i]);
}

// Every reading moved by noise, as a plant whose values all change every round.
inline void jitter(kelvra_419_Data_t& record, std::mt19937& random) {
  std::normal_distribution<float> noise(0, 0.5f);
  const kelvra_419_Data_t base = steady_record();
  for (int i = 0; i < 2; ++i) {
    record.ac.channel[i].a.set(base.ac.channel[i].a.get() + noise(random));
    record.ac.channel[i].b.set(base.ac.channel[i].b.get() + noise(random));
    record.ac.channel[i].c.set(base.ac.channel[i].c.get() + noise(random));
    record.ac.channel[i].f.set(base.ac.channel[i].f.get() + noise(random) / 10);
  }
  record.rc.group_value.set(53.5f + noise(random) / 10);
  for (int i = 0; i < 6; ++i) record.rc.channel[i].value.set(10 + noise(random));
  record.dc.out_v.set(53.5f + noise(random) / 10);
  record.dc.out_i.set(40 + noise(random));
  record.dc.m[0].set(-1.5f + noise(random));
  record.dc.m[1].set(-1.5f + noise(random));
}

}  // namespace kelvra::bench
