// A control request the run stops under: stored when sent, stored as stopped, and answered.
#include <future>

#include "bench_fixture.h"
#include "run/control_socket.h"

namespace {

using namespace bench_testing;

TEST(ControlOutcome, AStopBeforeTheReadBackIsStoredAndAnswered) {
  BenchSession session;
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();
  // The equipment takes the command and answers nothing more: the read-back never comes.
  session.simulator().with_simulator([](kelvra::sim::Simulator& sim) {
    sim.faults().set_rate(kelvra::sim::FaultKind::kNoAnswer, 1.0);
    return 0;
  });
  Json::Value ask = request("control");
  ask["code"] = 320;
  ask["argument"] = "419500201001";
  auto reply = std::async(std::launch::async, [&] {
    try {
      return session.ask(ask);
    } catch (const kelvra::run::ControlError& error) {
      Json::Value failed(Json::objectValue);
      failed["error"] = error.what();
      return failed;
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (session.received("41/45") == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(session.received("41/45"), 1u) << session.output();
  session.stop();

  const Json::Value answer = reply.get();
  EXPECT_TRUE(answer["ok"].asBool()) << answer.toStyledString();
  EXPECT_EQ(answer["outcome"].asString(), "stopped before read-back");
  const auto stored = kelvra::history::HistoryStore(session.db()).control_events({});
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].verdict, "sent");
  EXPECT_EQ(stored[0].detail,
            "passed; device returned " + answer["result"].asString() + "; read-back pending");
  EXPECT_EQ(stored[1].verdict, "passed");
  EXPECT_EQ(stored[1].detail,
            "device returned " + answer["result"].asString() + "; stopped before read-back");
  EXPECT_EQ(stored[1].readback, "");
}

}  // namespace
