// Runs one named workload once, after a warm-up, inside measured_call(); run it under
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*measured_call*'
// so that the count covers exactly that call. "list" prints the workload names.
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <string>

#include <unistd.h>

#include "bench/workloads.h"

namespace kelvra::bench {
namespace {

using Workload = std::function<void()>;

__attribute__((noinline)) void measured_call(const Workload& workload) {
  workload();
}

void run(const Workload& workload) {
  workload();
  measured_call(workload);
}

}  // namespace
}  // namespace kelvra::bench

int main(int argc, char** argv) {
  using namespace kelvra::bench;
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " WORKLOAD|list\n";
    return 2;
  }
  const std::string name = argv[1];
  // The plug-in's diagnostic lines are not part of this driver's output.
  std::fflush(stdout);
  FILE* const output = fdopen(dup(STDOUT_FILENO), "w");
  if (output == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) return 1;

  const DecoderCalls decoders;
  std::map<std::string, std::function<void()>> workloads;
  for (const DecoderCall& call : decoders.calls()) {
    workloads["decoder/" + call.name] = [&decoders, &call] {
      kelvra_419 device;
      decoders.decode_all(device);
      run(std::bind(run_decoder, std::ref(device), std::cref(call)));
    };
  }
  workloads["round/full"] = [] {
    SteadyStateDevice device(kelvra::sim::DcFormat::kCounted, RoundKind::kFull);
    run([&] { device.run_round(); });
  };
  workloads["round/quiet"] = [] {
    SteadyStateDevice device(kelvra::sim::DcFormat::kCounted, RoundKind::kQuiet);
    run([&] { device.run_round(); });
  };
  workloads["rules/mode2"] = [] {
    SteadyStateDevice device(kelvra::sim::DcFormat::kCounted, RoundKind::kFull);
    run([&] { device.run_rules(); });
  };

  if (name == "list") {
    for (const auto& workload : workloads) std::fprintf(output, "%s\n", workload.first.c_str());
    return 0;
  }
  const auto found = workloads.find(name);
  if (found == workloads.end()) {
    std::cerr << "unknown workload: " << name << '\n';
    return 2;
  }
  found->second();
  return 0;
}
