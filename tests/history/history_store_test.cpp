#include <sqlite3.h>

#include <gtest/gtest.h>

#include "history/history_reader.h"
#include "history/history_store.h"
#include "hostkit/local_time.h"
#include "tests/line/bench_fixture.h"

namespace {

using kelvra::events::AlarmEvent;
using kelvra::events::CommEvent;
using kelvra::events::ControlEvent;
using kelvra::history::HistoryOptions;
using kelvra::history::HistoryQuery;
using kelvra::history::HistoryStore;
using kelvra::history::StoredRecord;

// UTC milliseconds of a local time text.
std::int64_t at(const std::string& local) {
  return *kelvra::hostkit::parse_local_time(local);
}

StoredRecord record_at(const std::string& time, std::uint32_t data_id, std::uint8_t first_byte) {
  StoredRecord record;
  record.time_ms = *kelvra::hostkit::parse_local_time(time);
  record.device = "power" + std::to_string(data_id);
  record.data_id = data_id;
  record.round_seconds = 0.5;
  record.bytes.assign(763, 0);
  record.bytes[0] = first_byte;
  return record;
}

TEST(HistoryStore, LatestRecordIsPerDataId) {
  bench_testing::TempDir dir;
  {
    HistoryStore history(dir.file("h.db"));
    EXPECT_FALSE(history.latest_record(1));
    history.add_record(record_at("2026-12-08 10:00:00.000", 1, 0xA1));
    history.add_record(record_at("2026-12-08 10:00:01.000", 2, 0xB1));
    history.add_record(record_at("2026-12-08 10:00:02.000", 1, 0xA2));
  }
  HistoryStore reopened(dir.file("h.db"));
  ASSERT_TRUE(reopened.latest_record(1));
  EXPECT_EQ(reopened.latest_record(1)->at(0), 0xA2);
  EXPECT_EQ(reopened.latest_record(2)->at(0), 0xB1);
  EXPECT_FALSE(reopened.latest_record(3));
}

TEST(HistoryStore, ListingsSelectBySinceAndLastOldestFirst) {
  bench_testing::TempDir dir;
  HistoryStore history(dir.file("h.db"));
  const char* times[] = {"2026-12-07 23:59:59.900", "2026-12-08 10:00:00.000",
                         "2026-12-08 10:30:00.000", "2026-12-08 11:00:00.000"};
  std::uint8_t marker = 1;
  for (const char* time : times) {
    history.add_record(record_at(time, 1, marker++));
    history.add_alarm_event(
        AlarmEvent{at(time), "power1", marker % 2 == 0, 1, "PowerOff", "419415001", "n", "t", 100});
    history.add_comm_event(CommEvent{at(time), "/dev/ttyS0", "lost", "d"});
  }
  struct Case {
    const char* since;  // nullptr: from the first
    std::size_t last;   // 0: all
    std::vector<std::uint8_t> markers;
  } cases[] = {
      {nullptr, 0, {1, 2, 3, 4}},      {nullptr, 2, {3, 4}},
      {"2026-12-08", 0, {2, 3, 4}},    {"2026-12-08 10:30", 0, {3, 4}},
      {"2026-12-08 10:30:01", 0, {4}}, {"2026-12-08", 1, {4}},
      {"2026-12-09", 0, {}},
  };
  for (const Case& c : cases) {
    HistoryQuery query;
    if (c.since) query.since_ms = kelvra::hostkit::parse_local_time(c.since);
    if (c.last) query.last = c.last;
    std::vector<std::uint8_t> markers;
    for (const StoredRecord& record : history.records(query)) markers.push_back(record.bytes[0]);
    EXPECT_EQ(markers, c.markers) << (c.since ? c.since : "-") << " " << c.last;
    EXPECT_EQ(history.alarm_events(query).size(), c.markers.size());
    EXPECT_EQ(history.comm_events(query).size(), c.markers.size());
  }
  const auto events = history.alarm_events({});
  EXPECT_TRUE(events[0].raised);
  EXPECT_FALSE(events[1].raised);
  EXPECT_EQ(events[0].text, "t");
  EXPECT_EQ(events[0].seq, 100u);
}

TEST(HistoryStore, UncommittedRoundIsNotSeenByOthersUntilCommit) {
  bench_testing::TempDir dir;
  HistoryStore writer(dir.file("h.db"));
  writer.begin();
  writer.add_record(record_at("2026-12-08 10:00:00.000", 1, 1));
  EXPECT_TRUE(writer.in_transaction());
  {
    HistoryStore reader(dir.file("h.db"));
    EXPECT_TRUE(reader.records({}).empty());
  }
  writer.commit();
  HistoryStore reader(dir.file("h.db"));
  EXPECT_EQ(reader.records({}).size(), 1u);
}

TEST(HistoryStore, UnopenableDatabaseIsNamed) {
  try {
    HistoryStore history("/nonexistent/dir/h.db");
    ADD_FAILURE();
  } catch (const kelvra::history::HistoryError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("/nonexistent/dir/h.db: cannot open", 0), 0u)
        << error.what();
  }
}

// A row without time_ms takes the store's clock, whatever kind it is.
TEST(HistoryStore, RowWithoutTimeMsTakesTheStoreClock) {
  bench_testing::TempDir dir;
  constexpr std::int64_t kNow = 1793923200123;
  const std::string text = "2026-10-25 02:30:00.000";
  HistoryOptions options;
  options.wall_clock = [] { return kNow; };
  {
    HistoryStore history(dir.file("h.db"), options);
    StoredRecord record = record_at(text, 1, 1);
    record.time_ms = 0;
    history.add_record(record);
    history.add_alarm_event(AlarmEvent{0, "power1", true, 1, "k", "i", "n", "t", 1});
    history.add_comm_event(CommEvent{0, "/dev/ttyS0", "lost", "d"});
    history.add_control_event(ControlEvent{0, "power1", "socket", 310, "", "refused", "", ""});
  }
  const auto timeline = kelvra::history::HistoryReader(dir.file("h.db")).timeline({});
  ASSERT_EQ(timeline.size(), 4u);
  for (const auto& entry : timeline) EXPECT_EQ(entry.time_ms(), kNow);
}

TEST(HistoryStore, ControlIdsOutliveAnUpgradeAndReopeningAndGoWithTheEvents) {
  bench_testing::TempDir dir;
  const std::string db = dir.file("h.db");
  const std::int64_t day = 24 * 3600 * 1000;
  std::int64_t now = at("2026-03-01 12:00");
  HistoryOptions options;
  options.wall_clock = [&now] { return now; };
  options.keep_events_days = 30;
  HistoryStore(db, options).add_comm_event(CommEvent{0, "p", "lost", ""});
  {
    // As an older kelvra-host left it: schema version 1, without the ids.
    kelvra::history::Database older(db, SQLITE_OPEN_READWRITE);
    older.exec("DROP TABLE control_ids; PRAGMA user_version = 1;");
  }
  {
    HistoryStore upgraded(db, options);
    EXPECT_EQ(upgraded.control_id_time("r1"), std::nullopt);
    upgraded.add_control_id("r1");
    EXPECT_EQ(upgraded.control_id_time("r1"), now);  // queued, not yet committed
  }
  HistoryStore reopened(db, options);
  EXPECT_EQ(reopened.control_id_time("r1"), now);
  EXPECT_EQ(reopened.control_id_time("r2"), std::nullopt);
  now += 31 * day;
  reopened.add_comm_event(CommEvent{0, "p", "restored", ""});
  reopened.flush();
  EXPECT_EQ(reopened.control_id_time("r1"), std::nullopt);
}

}  // namespace

TEST(HistoryStore, ControlEventsAndTheRestoredMarkReadBackAsStored) {
  bench_testing::TempDir dir;
  {
    HistoryStore history(dir.file("h.db"));
    StoredRecord restored = record_at("2026-12-08 10:00:00.000", 1, 0xA1);
    restored.restored = true;
    history.add_record(restored);
    history.add_record(record_at("2026-12-08 10:00:03.000", 1, 0xA2));
    history.add_control_event({at("2026-12-08 10:00:04.000"), "power1", "socket uid 1000 pid 42",
                               310, R"({"signal_id":"006201","SetValue":"abc"})", "refused",
                               "\"SetValue\" abc is not a decimal number: nothing was sent", ""});
  }
  HistoryStore reopened(dir.file("h.db"));
  const auto records = reopened.records({});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[0].restored);
  EXPECT_FALSE(records[1].restored);
  const auto controls = reopened.control_events({});
  ASSERT_EQ(controls.size(), 1u);
  EXPECT_EQ(controls[0].origin, "socket uid 1000 pid 42");
  EXPECT_EQ(controls[0].code, 310);
  EXPECT_EQ(controls[0].argument, R"({"signal_id":"006201","SetValue":"abc"})");
  EXPECT_EQ(controls[0].verdict, "refused");
  EXPECT_EQ(controls[0].readback, "");
}
