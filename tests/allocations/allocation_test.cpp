// Heap allocations of the hot path, counted by replacing the global operator new: decoders make
// none, a steady-state round a fixed number.
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "bench/workloads.h"
#include "frame-codec/frame_trace.h"
#include "tests/support/recording_host.h"

namespace {

long allocations = 0;
// Keeps the allocations of the self-check from being optimised away.
const char* volatile allocation_sink;

void* counted_allocation(std::size_t size, std::size_t alignment) {
  ++allocations;
  const std::size_t bytes = size == 0 ? 1 : size;
  void* block =
      alignment <= alignof(std::max_align_t)
          ? std::malloc(bytes)
          : std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
  return block;
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* block = counted_allocation(size, 0)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  if (void* block = counted_allocation(size, static_cast<std::size_t>(alignment))) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return operator new(size, alignment);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}

namespace kelvra::bench {
namespace {

// operator new calls made while fn runs; the plug-in's diagnostic lines are captured around it.
template <class Fn>
long allocations_during(Fn&& fn) {
  long counted = 0;
  testing_support::capture_stdout([&] {
    const long before = allocations;
    fn();
    counted = allocations - before;
  });
  return counted;
}

// Without it every "none" below would also pass with the replacement not in effect.
// The count of a case, also recorded as the test property "<name>_allocations" for the report.
long reported(const std::string& name, long count) {
  testing::Test::RecordProperty(name + "_allocations", std::to_string(count));
  return count;
}

TEST(Allocations, CountingSeesHeapAllocations) {
  EXPECT_EQ(2, allocations_during([] {
              const std::vector<char> block(100, 'x');
              const std::string text(40, 'y');  // beyond the short-string buffer
              allocation_sink = block.data();
              allocation_sink = text.data();
            }));
}

TEST(Allocations, EveryDecoderMakesNone) {
  const DecoderCalls decoders;
  kelvra_419 device;
  decoders.decode_all(device);
  long all_decoders = 0;
  for (const DecoderCall& call : decoders.calls()) {
    int consumed = -1;
    const long count = allocations_during([&] { consumed = run_decoder(device, call); });
    EXPECT_EQ(0, count) << call.name;
    all_decoders += count;
    // Each representative response is decoded to its end, not refused early.
    EXPECT_EQ(call.unit_len, consumed) << call.name;
  }
  reported("decoders, all " + std::to_string(decoders.calls().size()), all_decoders);
}

TEST(Allocations, ValueQueriesMakeNone) {
  SteadyStateDevice device(sim::DcFormat::kCounted, RoundKind::kFull);
  for (const std::string key : {"out_v", "ac"}) {
    EXPECT_EQ(0, reported("Get_Value/" + key, allocations_during([&] { device.query_value(key); })))
        << key;
  }
}

struct RoundCase {
  const char* name;
  sim::DcFormat format;
  RoundKind kind;
  int responses;
  long allocations;
};

TEST(Allocations, SteadyStateRoundMakesAKnownNumber) {
  const RoundCase cases[] = {
      {"full/counted", sim::DcFormat::kCounted, RoundKind::kFull, 8, 2},
      {"full/single", sim::DcFormat::kSingleUnit, RoundKind::kFull, 8, 2},
      {"quiet/counted", sim::DcFormat::kCounted, RoundKind::kQuiet, 3, 2},
      {"quiet/single", sim::DcFormat::kSingleUnit, RoundKind::kQuiet, 3, 2},
  };
  for (const RoundCase& c : cases) {
    SteadyStateDevice device(c.format, c.kind);
    int responses = 0;
    EXPECT_EQ(c.allocations, reported(std::string("round/") + c.name,
                                      allocations_during([&] { responses = device.run_round(); })))
        << c.name;
    EXPECT_EQ(c.responses, responses) << c.name;
    // The same number again: nothing accumulates from round to round.
    EXPECT_EQ(c.allocations, allocations_during([&] { device.run_round(); })) << c.name;
  }
}

TEST(Allocations, RulesRoundMakesAKnownNumber) {
  SteadyStateDevice device(sim::DcFormat::kCounted, RoundKind::kFull);
  EXPECT_EQ(2, reported("rules/mode2", allocations_during([&] { device.run_rules(); })));
}

TEST(Allocations, WireTraceMakesNonePerFrame) {
  std::FILE* out = std::fopen("/dev/null", "w");
  ASSERT_NE(out, nullptr);
  for (const bool json : {false, true}) {
    frame::FrameTrace trace(out, json, frame::TraceSide::kHost);
    const frame::Frame command{0x20, 0x01, 0x42, 0x41, {0x01}};
    const frame::Frame answer{0x20, 0x01, 0x42, 0x00, std::vector<std::uint8_t>(200, 0xA5)};
    const std::string wire = frame::encode(command);
    const std::string digits = frame::encode(answer).substr(1, 2 * 200 + 16);
    // The first line settles the stream's own buffer.
    trace.written("power1", wire, &command);
    EXPECT_EQ(0, reported(json ? "trace/json" : "trace/text", allocations_during([&] {
                            for (int i = 0; i < 100; ++i) {
                              trace.written("power1", wire, &command);
                              trace.read("power1", answer, digits, frame::FrameVerdict::kTaken);
                              trace.bad_input("power1", frame::DecodeError::kBadChecksum, &answer,
                                              digits);
                            }
                          })))
        << (json ? "json" : "text");
  }
  std::fclose(out);
}

}  // namespace
}  // namespace kelvra::bench
