// History that is where the run says it is: a database deleted or replaced under the run, a
// second run on the same database, a wall clock that jumps, a database that becomes writable.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "tests/history/history_rounds.h"

namespace {

using namespace bench_testing;
using kelvra::history::HistoryStore;

TEST(FaultHistory, DatabaseDeletedOrReplacedWhileRunningIsSaidOnceAndFollowed) {
  struct Case {
    const char* name;
    bool replace;  // another database moved onto the path; else the file is deleted
    std::vector<std::uint8_t> stored;
  };
  const Case cases[] = {{"deleted", false, {2, 3}}, {"replaced", true, {50, 2, 3}}};
  for (const Case& fault : cases) {
    SCOPED_TRACE(fault.name);
    TempDir dir;
    const std::string db = dir.file("h.db");
    std::vector<std::string> said;
    auto store = keep_going(db, said);
    store_round(*store, 1);
    if (fault.replace) {
      {
        HistoryStore other(dir.file("other.db"));
        store_round(other, 50);
      }
      ASSERT_EQ(std::rename(dir.file("other.db").c_str(), db.c_str()), 0);
    } else {
      ASSERT_EQ(unlink(db.c_str()), 0);
    }
    store_round(*store, 2);
    store_round(*store, 3);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], fault.replace
                           ? "history database replaced while running (another file is at " + db +
                                 " now): the rows from here on go into it"
                           : "history database deleted while running: the rows from here on go "
                             "into a new file at " +
                                 db);
    store.reset();
    EXPECT_EQ(markers_in(db), fault.stored);
  }
}

TEST(FaultHistory, SecondHostIsRefusedNamingTheHolderEvenWithItsSocketDeleted) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  const std::vector<std::string> run{"run",       "--db",       db,   "--poll-interval",   "100",
                                     "--no-pace", "--duration", "20", "--commit-interval", "1"};
  const pid_t first = spawn_host(run, dir.file("first.err"));
  std::size_t stored = 0;
  for (int i = 0; i < 300 && stored < 2; ++i) {
    std::this_thread::sleep_for(50ms);
    try {
      stored = kelvra::history::HistoryReader(db).records({}).size();
    } catch (const kelvra::history::HistoryError&) {
      // not laid out yet
    }
  }
  ASSERT_GE(stored, 2u) << file_bytes(dir.file("first.err"));
  ASSERT_EQ(unlink(kelvra::run::control_socket_path(db).c_str()), 0);

  EXPECT_EQ(exit_code(spawn_host(run, dir.file("second.err"))), 2);
  EXPECT_NE(file_bytes(dir.file("second.err"))
                .find("kelvra-host run: " + db + ": in use by another kelvra-host run (pid " +
                      std::to_string(first) + ", holding " + db + ".lock)\n"),
            std::string::npos)
      << file_bytes(dir.file("second.err"));
  // The reading tools do not need the lock.
  EXPECT_EQ(exit_code(spawn_host({"history", "--db", db, "--last", "1"}, dir.file("read.err"))), 0)
      << file_bytes(dir.file("read.err"));
  kill(first, SIGTERM);
  EXPECT_EQ(exit_code(first), 0) << file_bytes(dir.file("first.err"));
}

TEST(FaultHistory, WallClockJumpNeverErasesHistoryNorDatesRowsInTheFuture) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  constexpr std::int64_t kDay = 86400 * 1000;
  const std::int64_t start = 1'800'000'000'000;
  std::int64_t wall = start;
  auto steady = std::chrono::steady_clock::time_point(std::chrono::hours(1));
  kelvra::history::HistoryOptions options;
  options.wall_clock = [&wall] { return wall; };
  options.steady_clock = [&steady] { return steady; };
  options.keep_days = 30;  // events are kept a year
  std::vector<std::string> said;
  auto store = keep_going(db, said, options);
  // Ten days old: a record and an alarm event, within every age kept.
  kelvra::history::StoredRecord old;
  old.time_ms = start - 10 * kDay;
  old.device = "power1";
  old.data_id = 1;
  old.bytes.assign(763, 0);
  store->add_record(old);
  store->add_alarm_event({old.time_ms, "power1", true, 1, "PowerOff", "419415001", "n", "t", 0});
  store->flush();

  // One round a second; seconds 2 to 11 with the wall clock 400 days ahead.
  for (std::uint8_t second = 1; second <= 14; ++second) {
    steady += std::chrono::seconds(1);
    wall = start + second * 1000 + (second >= 2 && second < 12 ? 400 * kDay : 0);
    store_round(*store, second);
  }
  store.reset();
  const auto records = kelvra::history::HistoryReader(db).records({});
  ASSERT_EQ(records.size(), 15u);
  EXPECT_EQ(records.front().time_ms, old.time_ms);
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_EQ(records[i].time_ms, start + static_cast<std::int64_t>(i) * 1000) << i;
  }
  EXPECT_EQ(kelvra::history::HistoryReader(db).alarm_events({}).size(), 15u);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[0].rfind("wall clock jumped +400 d 0 s against the monotonic clock", 0), 0u);
  EXPECT_EQ(said[1], "wall clock agrees with the monotonic clock again");
}

// As an unprivileged user: permissions do not hold back root.
TEST(FaultHistory, DatabaseThatWasReadOnlyIsStoredAgainOnceWritable) {
  constexpr uid_t kNobody = 65534;
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the host as another user";
  TempDir dir;
  ASSERT_EQ(chown(dir.file("").c_str(), kNobody, kNobody), 0);
  const std::string db = dir.file("h.db");
  const std::vector<std::string> run{"run", "--db", db, "--rounds", "1", "--no-pace"};
  const auto rounds_stored = [&db] {
    return kelvra::history::HistoryReader(db).records({}).size();
  };
  ASSERT_EQ(exit_code(spawn_host(run, dir.file("first.out"), kNobody)), 0)
      << file_bytes(dir.file("first.out"));
  ASSERT_EQ(rounds_stored(), 1u);

  ASSERT_EQ(chmod(db.c_str(), 0444), 0);
  EXPECT_EQ(exit_code(spawn_host(run, dir.file("read-only.out"), kNobody)), 1);
  const std::string read_only = file_bytes(dir.file("read-only.out"));
  EXPECT_NE(read_only.find("history not stored: " + db + " is not writable: "), std::string::npos)
      << read_only;
  EXPECT_EQ(rounds_stored(), 1u);

  ASSERT_EQ(chmod(db.c_str(), 0644), 0);
  EXPECT_EQ(exit_code(spawn_host(run, dir.file("writable.out"), kNobody)), 0)
      << file_bytes(dir.file("writable.out"));
  EXPECT_GE(rounds_stored(), 2u) << file_bytes(dir.file("writable.out"));
}

TEST(FaultHistory, RunThatNeverStoredItsHistoryFailsAndSaysSoMeanwhile) {
  BenchSession session;
  std::ofstream(session.db(), std::ios::binary) << std::string(4096, 'x');
  session.start();
  Json::Value status;
  for (int i = 0; i < 300 && status["devices"][0]["rounds"].asUInt64() < 2; ++i) {
    std::this_thread::sleep_for(50ms);
    try {
      status = session.ask(request("status"));
    } catch (const kelvra::run::ControlError&) {
      // not listening yet
    }
  }
  const std::string reason = "file is not a database";
  const std::string history = status["history"].asString();
  EXPECT_EQ(history.rfind("history not stored since ", 0), 0u) << history;
  EXPECT_EQ(history.substr(history.find(": ") + 2), reason) << history;
  session.stop();
  const std::string& failure = session.summary().failure;
  EXPECT_EQ(failure.rfind("history NOT stored: " + reason + "; ", 0), 0u) << failure;
  EXPECT_NE(failure.find(" queued rows lost at exit"), std::string::npos) << failure;
  EXPECT_EQ(failure.find("; 0 queued"), std::string::npos) << failure;
  const std::string output = session.output();
  EXPECT_NE(output.find(failure.substr(failure.find("; ")) + "\n"), std::string::npos) << output;
}

}  // namespace
