// Noise before every answer on a real line: the run says it once, however many rounds it lasts,
// while the line's counters take every one.
#include "bench_fixture.h"

namespace {

using namespace bench_testing;

TEST(FaultLineNoise, GarbageBeforeEveryAnswerIsSaidOnceAndCounted) {
  kelvra::sim::SimulatorConfig config = quiet_simulator(*kelvra::sim::builtin_scenario("normal"));
  config.scenario.faults.emplace_back(kelvra::sim::FaultKind::kGarbageBeforeSoi, 1.0);
  BenchSession session(config);
  session.start();
  ASSERT_TRUE(session.wait_for_records(3)) << session.output();
  const Json::Value status = session.ask(request("status"));
  session.stop();
  EXPECT_GE(status["lines"][0]["errors"]["bytes before SOI"].asUInt64(), 3u);
  const std::string output = session.output();
  std::size_t said = 0;
  for (std::size_t at = output.find("bad input: bytes before SOI"); at != std::string::npos;
       at = output.find("bad input: bytes before SOI", at + 1)) {
    ++said;
  }
  EXPECT_EQ(said, 1u) << output.substr(0, 3000);
}

}  // namespace
