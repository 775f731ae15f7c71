// Time per call of the decoders, a whole poll round, the rules, value queries and a control
// request. The plug-in's standard output goes to /dev/null; results go to standard error and to
// the file named by --benchmark_out.
#include <cstdio>
#include <iostream>

#include <benchmark/benchmark.h>

#include "bench/workloads.h"

namespace kelvra::bench {
namespace {

void register_decoders(const DecoderCalls& decoders) {
  for (const DecoderCall& call : decoders.calls()) {
    benchmark::RegisterBenchmark(("decoder/" + call.name).c_str(),
                                 [&decoders, &call](benchmark::State& state) {
                                   kelvra_419 device;
                                   decoders.decode_all(device);
                                   for (auto _ : state) {
                                     benchmark::DoNotOptimize(run_decoder(device, call));
                                     benchmark::ClobberMemory();
                                   }
                                   state.SetItemsProcessed(state.iterations());
                                   state.SetBytesProcessed(state.iterations() * call.len);
                                 });
  }
}

void register_rounds() {
  struct Variant {
    const char* name;
    sim::DcFormat format;
    RoundKind kind;
  };
  static constexpr Variant kVariants[] = {
      {"round/full/counted", sim::DcFormat::kCounted, RoundKind::kFull},
      {"round/full/single", sim::DcFormat::kSingleUnit, RoundKind::kFull},
      {"round/quiet/counted", sim::DcFormat::kCounted, RoundKind::kQuiet},
      {"round/quiet/single", sim::DcFormat::kSingleUnit, RoundKind::kQuiet},
  };
  for (const Variant& variant : kVariants) {
    benchmark::RegisterBenchmark(variant.name, [&variant](benchmark::State& state) {
      SteadyStateDevice device(variant.format, variant.kind);
      int responses = 0;
      for (auto _ : state) responses = device.run_round();
      state.SetItemsProcessed(state.iterations());
      state.counters["responses"] = responses;
    });
  }
}

void rules(benchmark::State& state) {
  SteadyStateDevice device(sim::DcFormat::kCounted, RoundKind::kFull);
  for (auto _ : state) device.run_rules();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(rules)->Name("rules/mode2");

void get_value(benchmark::State& state, const char* key) {
  SteadyStateDevice device(sim::DcFormat::kCounted, RoundKind::kFull);
  const std::string query = key;
  for (auto _ : state) benchmark::DoNotOptimize(device.query_value(query));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(get_value, out_v, "out_v")->Name("Get_Value/out_v");
BENCHMARK_CAPTURE(get_value, ac, "ac")->Name("Get_Value/ac");

void set_dc_value(benchmark::State& state) {
  SteadyStateDevice device(sim::DcFormat::kCounted, RoundKind::kFull);
  for (auto _ : state) benchmark::DoNotOptimize(device.set_dc_value());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(set_dc_value)->Name("DeviceIoControl/310");

}  // namespace
}  // namespace kelvra::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;

  const kelvra::bench::DecoderCalls decoders;
  kelvra::bench::register_decoders(decoders);
  kelvra::bench::register_rounds();

  benchmark::ConsoleReporter console;
  console.SetOutputStream(&std::cerr);
  console.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&console);
  benchmark::Shutdown();
  return 0;
}
