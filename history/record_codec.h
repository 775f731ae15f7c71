// Record payloads: key frames and run-length XOR deltas of the previous record; no SQLite.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kelvra::history {

// `bytes` XOR `base` (zeros where base is shorter; no base: bytes as they are) as pairs of
// (count of zero bytes, count of literal bytes, the literals), counts as LEB128 varints. Zero
// runs shorter than 3 bytes stay inside the literal, where they cost less than a new pair.
std::vector<std::uint8_t> encode_runs(const std::vector<std::uint8_t>& bytes,
                                      const std::vector<std::uint8_t>* base);

// The inverse of encode_runs; nullopt when the payload is damaged or does not fit the base.
std::optional<std::vector<std::uint8_t>> decode_runs(const std::vector<std::uint8_t>& payload,
                                                     const std::vector<std::uint8_t>* base);

// One stored record: `whole` for a key frame (coded against nothing), else a delta.
struct EncodedRecord {
  bool whole;
  std::vector<std::uint8_t> payload;
};

// The records of one device in order: every `key_frame_interval`th record, the first and any of a
// new size are key frames, the rest deltas of the record before.
class RecordChainEncoder {
 public:
  explicit RecordChainEncoder(unsigned key_frame_interval);
  EncodedRecord encode(const std::vector<std::uint8_t>& bytes);

 private:
  unsigned key_frame_interval_;
  std::vector<std::uint8_t> previous_;
  unsigned since_whole_ = 0;
};

}  // namespace kelvra::history
