// History through a crash and a lock: a host killed mid-run leaves a database that is intact and
// holds every committed round; rows that meet a lock held by another connection wait and arrive.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include "history/history_store.h"
#include "hostkit/local_time.h"
#include "tests/line/bench_fixture.h"

namespace {

using namespace bench_testing;
using kelvra::history::HistoryStore;
using kelvra::history::StoredRecord;

// Records as a reader sees them now; empty while the database is not there yet.
std::vector<StoredRecord> records_now(const std::string& db) {
  try {
    return kelvra::history::HistoryReader(db).records({});
  } catch (const kelvra::history::HistoryError&) {
    return {};
  }
}

std::string integrity(const std::string& db) {
  sqlite3* connection = nullptr;
  sqlite3_open(db.c_str(), &connection);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(connection, "PRAGMA integrity_check", -1, &statement, nullptr);
  std::string verdict = "no answer";
  if (sqlite3_step(statement) == SQLITE_ROW) {
    verdict = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  sqlite3_close(connection);
  return verdict;
}

TEST(HistoryDurability, KilledHostLeavesAnIntactDatabaseWithEveryCommittedRound) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl(KELVRA_HOST_PATH, "kelvra-host", "run", "--db", db.c_str(), "--poll-interval", "100",
          "--commit-interval", "1", "--no-pace", "--duration", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Kill it once several commits are on disk, between commits or in one.
  std::vector<StoredRecord> seen;
  for (int i = 0; i < 600 && seen.size() < 3; ++i) {
    std::this_thread::sleep_for(50ms);
    seen = records_now(db);
  }
  ASSERT_GE(seen.size(), 3u) << "the host stored too few rounds";
  std::this_thread::sleep_for(1200ms);
  seen = records_now(db);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  EXPECT_EQ(integrity(db), "ok");
  const auto after = HistoryStore(db).records({});
  ASSERT_GE(after.size(), seen.size());
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(after[i].id, seen[i].id) << i;
    EXPECT_EQ(after[i].bytes, seen[i].bytes) << i;
  }
  for (std::size_t i = 1; i < after.size(); ++i) EXPECT_LT(after[i - 1].id, after[i].id);
}

TEST(HistoryDurability, RowsMeetingALockWaitAndArriveWhenItIsReleased) {
  BenchSession session;
  session.start();
  ASSERT_TRUE(session.wait_for_records(2)) << session.output();

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(session.db().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const std::int64_t locked_at = kelvra::hostkit::utc_now_ms();
  const std::size_t before_lock = records_now(session.db()).size();
  const auto rounds_polled = [&] {
    return session.ask(request("status"))["devices"][0]["rounds"].asUInt64();
  };
  // Held while two more rounds are polled, both after the lock was taken.
  std::this_thread::sleep_for(100ms);
  const std::uint64_t rounds_at_lock = rounds_polled();
  for (int i = 0; i < 400 && rounds_polled() < rounds_at_lock + 2; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  const std::size_t while_locked = records_now(session.db()).size();
  const std::int64_t released_at = kelvra::hostkit::utc_now_ms();
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  const std::uint64_t rounds_at_release = rounds_polled();
  EXPECT_TRUE(session.wait_for([&](kelvra::history::HistoryReader& history) {
    return history.records({}).size() >= rounds_at_release;
  })) << session.output();
  session.stop();
  const std::string output = session.output();

  EXPECT_LE(while_locked, before_lock + 1);  // a commit may have been under way
  // The rounds polled under the lock are stored, in order, and the outage was said as a pair.
  std::size_t under_lock = 0;
  const auto stored = HistoryStore(session.db()).records({});
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(stored[i - 1].id, stored[i].id);
    }
    if (stored[i].time_ms > locked_at + 100 && stored[i].time_ms < released_at) ++under_lock;
  }
  EXPECT_GE(under_lock, 2u) << output;
  EXPECT_NE(output.find("history not stored: database is locked; rows are kept (up to 16384)"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find(" 0 dropped"), std::string::npos) << output;
  EXPECT_NE(output.find("history in "), std::string::npos) << output;
}

}  // namespace

// Records wait for the commit interval; an alarm or link event is committed at its round's end and
// takes the records queued before it along. Counts are what another connection reads.
TEST(HistoryDurability, RecordsWaitForTheCommitIntervalAndEventsDoNot) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  std::chrono::steady_clock::time_point steady{};
  kelvra::history::HistoryOptions options;
  options.flush_interval = 60s;
  options.wall_clock = [&steady] {
    return 1700000000000 +
           std::chrono::duration_cast<std::chrono::milliseconds>(steady.time_since_epoch()).count();
  };
  options.steady_clock = [&steady] { return steady; };
  HistoryStore store(db, options);

  enum class Add { record, alarm_in_round, link_outside_round, nothing };
  struct Step {
    std::chrono::seconds advance;
    Add add;
    std::size_t records_read;
    std::size_t alarms_read;
  };
  const Step steps[] = {
      {0s, Add::record, 1, 0},              // the first row opens the database and commits
      {2s, Add::record, 1, 0},              // waits
      {2s, Add::record, 1, 0},              // waits
      {2s, Add::alarm_in_round, 4, 1},      // the round's end commits it and what waited
      {2s, Add::record, 4, 1},              // waits again
      {2s, Add::link_outside_round, 5, 1},  // a link event outside a round commits at once
      {30s, Add::record, 5, 1},             // 30 s after the last commit: still waits
      {26s, Add::nothing, 5, 1},            // a tick at 56 s: nothing
      {4s, Add::nothing, 6, 1},             // a tick at 60 s commits
  };
  kelvra::history::StoredRecord record;
  record.device = "d";
  record.data_id = 1;
  record.bytes = {0x01, 0x02};
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const Step& step = steps[i];
    steady += step.advance;
    if (step.add == Add::record || step.add == Add::alarm_in_round) {
      store.begin();
      store.add_record(record);
      if (step.add == Add::alarm_in_round) {
        kelvra::events::AlarmEvent alarm;
        alarm.device = "d";
        alarm.raised = true;
        alarm.key = "k";
        alarm.text = "t";
        store.add_alarm_event(alarm);
      }
      store.commit();
    } else if (step.add == Add::link_outside_round) {
      kelvra::events::CommEvent link;
      link.port = "/dev/x";
      store.add_comm_event(link);
    } else {
      store.tick();
    }
    kelvra::history::HistoryReader other(db);
    EXPECT_EQ(other.records({}).size(), step.records_read) << "step " << i;
    EXPECT_EQ(other.alarm_events({}).size(), step.alarms_read) << "step " << i;
  }
}
