#pragma once

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/kelvra_419.h"
#include "tests/support/recording_host.h"

namespace decoder_harness {

using Bytes = std::vector<std::uint8_t>;
using Decoder = int (kelvra_419::*)(const unsigned char*, int);
using Record = std::array<std::uint8_t, sizeof(kelvra_419_Data_t)>;

// Fill of the record before a decode, so that a stray write of any usual value shows.
constexpr std::uint8_t kGuard = 0xEE;
// Length meaning "the whole INFO vector".
constexpr int kWhole = INT_MIN;

// Bytes written at a record offset.
struct Patch {
  std::size_t offset;
  Bytes bytes;
};

struct Outcome {
  int result;
  std::string output;
};

inline Record record_of(const kelvra_419& device) {
  Record bytes;
  std::memcpy(bytes.data(), &device.data_, bytes.size());
  return bytes;
}

inline Record patched(Record record, const std::vector<Patch>& patches, std::size_t base = 0) {
  for (const Patch& p : patches) {
    std::copy(p.bytes.begin(), p.bytes.end(), record.begin() + base + p.offset);
  }
  return record;
}

// Every differing offset, one line each; empty when the records are equal.
inline std::string record_diff(const Record& expected, const Record& actual) {
  std::ostringstream os;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (expected[i] != actual[i]) {
      os << "offset " << i << ": expected 0x" << std::hex << int(expected[i]) << " got 0x"
         << int(actual[i]) << std::dec << '\n';
    }
  }
  return os.str();
}

// Runs the decoder on a heap buffer of exactly len bytes (the INFO cut or zero-padded to len;
// an empty buffer for len <= 0), capturing what it prints.
inline Outcome decode(kelvra_419& device, Decoder decoder, const Bytes& info, int len) {
  if (len == kWhole) len = static_cast<int>(info.size());
  const std::size_t size = len > 0 ? static_cast<std::size_t>(len) : 0;
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[size]());
  std::copy_n(info.begin(), std::min(size, info.size()), exact.get());
  Outcome outcome{0, {}};
  outcome.output = testing_support::capture_stdout(
      [&] { outcome.result = (device.*decoder)(exact.get(), len); });
  return outcome;
}

// A device whose record holds kGuard everywhere, then whatever prepare sets.
inline std::unique_ptr<kelvra_419> guarded_device(const std::function<void(kelvra_419&)>& prepare) {
  auto device = std::make_unique<kelvra_419>();
  std::memset(&device->data_, kGuard, sizeof device->data_);
  if (prepare) prepare(*device);
  return device;
}

struct DecodeCase {
  std::string name;
  Decoder decoder;
  Bytes info;
  int len;
  int result;
  std::vector<Patch> changes;  // record offsets relative to base
  std::string output;
  std::function<void(kelvra_419&)> prepare = nullptr;
};

// Decodes on a guarded record and compares the result, the printed lines and all record bytes.
inline void expect_decode(const DecodeCase& c, std::size_t base = 0) {
  SCOPED_TRACE(c.name);
  auto device = guarded_device(c.prepare);
  const Record before = record_of(*device);
  const Outcome outcome = decode(*device, c.decoder, c.info, c.len);
  EXPECT_EQ(outcome.result, c.result);
  EXPECT_EQ(outcome.output, c.output);
  EXPECT_EQ(record_diff(patched(before, c.changes, base), record_of(*device)), "");
}

struct ValidResponse {
  std::string name;
  Decoder decoder;
  Bytes info;
  std::function<void(kelvra_419&)> prepare = nullptr;
};

// Every cut of a valid response, and a negative length, gives -1; a cut response stores nothing
// the whole response does not store.
inline void expect_truncations_refused(const ValidResponse& r) {
  SCOPED_TRACE(r.name);
  auto whole = guarded_device(r.prepare);
  const Record before = record_of(*whole);
  ASSERT_EQ(decode(*whole, r.decoder, r.info, kWhole).result, static_cast<int>(r.info.size()));
  const Record decoded = record_of(*whole);
  for (int len = -1; len < static_cast<int>(r.info.size()); ++len) {
    SCOPED_TRACE("len " + std::to_string(len));
    auto cut = guarded_device(r.prepare);
    EXPECT_EQ(decode(*cut, r.decoder, r.info, len).result, -1);
    const Record after = record_of(*cut);
    for (std::size_t i = 0; i < after.size(); ++i) {
      if (after[i] != before[i]) {
        EXPECT_EQ(after[i], decoded[i]) << "offset " << i;
      }
      if (len < 0) {
        EXPECT_EQ(after[i], before[i]) << "offset " << i;
      }
    }
  }
}

}  // namespace decoder_harness
