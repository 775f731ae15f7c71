// Retention's schedule as a table, and the query plans of every statement the reader and
// retention run, captured from a real SQLite connection while they run.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "history/history_reader.h"
#include "history/history_store.h"
#include "history/retention.h"
#include "tests/line/bench_fixture.h"

namespace {

using kelvra::history::Database;
using kelvra::history::HistoryOptions;
using kelvra::history::HistoryQuery;
using kelvra::history::HistoryReader;
using kelvra::history::HistoryStore;
using kelvra::history::RetentionSchedule;
using kelvra::history::Statement;
using kelvra::history::StoredRecord;
using State = RetentionSchedule::State;

TEST(RetentionSchedule, StepsOnceAMinuteAndEverySecondThroughABacklog) {
  struct Case {
    const char* name;
    std::optional<std::int64_t> stepped_at;  // the last step, none before the first
    bool budget_used_up;
    std::int64_t now_ms;
    bool due;
    State state;  // after the last step
  } cases[] = {
      {"the first flush", std::nullopt, false, 0, true, State::never_run},
      {"caught up, 59.999 s later", 100000, false, 159999, false, State::caught_up},
      {"caught up, a minute later", 100000, false, 160000, true, State::caught_up},
      {"backlog, 0.999 s later", 100000, true, 100999, false, State::backlog},
      {"backlog, a second later", 100000, true, 101000, true, State::backlog},
      {"clock set back", 100000, false, 99999, true, State::caught_up},
      {"the same instant", 100000, false, 100000, false, State::caught_up},
  };
  for (const Case& c : cases) {
    RetentionSchedule schedule;
    if (c.stepped_at) schedule.stepped(*c.stepped_at, c.budget_used_up);
    EXPECT_EQ(schedule.state(), c.state) << c.name;
    EXPECT_EQ(schedule.due(c.now_ms), c.due) << c.name;
  }
}

constexpr std::int64_t kDayMs = 24 * 3600 * 1000;
constexpr std::int64_t kT0 = 1800000000000;  // UTC ms

int keep_statement(unsigned, void* context, void* statement, void*) {
  char* sql = sqlite3_expanded_sql(static_cast<sqlite3_stmt*>(statement));
  if (sql != nullptr && std::strncmp(sql, "--", 2) != 0) {
    static_cast<std::set<std::string>*>(context)->insert(sql);
  }
  sqlite3_free(sql);
  return 0;
}

// Each line of the plan that sorts or reads a whole table; the devices table (a row per device)
// and SQLite's one-row pragma tables aside.
std::vector<std::string> costly_steps(Database& db, const std::string& sql) {
  std::vector<std::string> costly;
  Statement plan(db, "EXPLAIN QUERY PLAN " + sql);
  while (plan.step()) {
    const std::string step = plan.text(3);
    const bool small_table = step == "SCAN d" || step.rfind("SCAN d ", 0) == 0 ||
                             step.find("devices") != std::string::npos ||
                             step.find("pragma_") != std::string::npos ||
                             step == "SCAN CONSTANT ROW";
    const bool scans = step.rfind("SCAN ", 0) == 0 && !small_table;
    if (scans || step.find("TEMP B-TREE") != std::string::npos) costly.push_back(step);
  }
  return costly;
}

StoredRecord record_at(std::int64_t time_ms, const std::string& device, std::uint32_t data_id) {
  StoredRecord record;
  record.device = device;
  record.data_id = data_id;
  record.bytes.assign(763, 0);
  record.bytes[576] = static_cast<std::uint8_t>(time_ms / 1000);
  record.time_ms = time_ms;
  return record;
}

TEST(HistoryIndexes, EveryReadAndRetentionStepSearchesAnIndexInOrderWithoutSorting) {
  bench_testing::TempDir dir;
  const std::string path = dir.file("h.db");
  {
    HistoryOptions options;
    options.wall_clock = [] { return kT0; };
    HistoryStore history(path, options);
    // Two devices, one name held by two data ids, events of every kind.
    for (int i = 0; i < 200; ++i) {
      history.add_record(record_at(kT0 - 40 * kDayMs + i * 30000, "power1", 1));
      history.add_record(record_at(kT0 - 40 * kDayMs + i * 30000, "power2", 2));
      history.add_record(record_at(kT0 - 40 * kDayMs + i * 30000 + 1, "power2", 3));
    }
    history.add_alarm_event({kT0 - 400 * kDayMs, "power1", true, 1, "K", "1", "n", "t", 1});
    history.add_comm_event({kT0 - 400 * kDayMs, "/dev/ttyS0", "lost", ""});
    history.add_control_event({kT0 - 400 * kDayMs, "power1", "http", 310, "53", "done", "", ""});
    history.add_control_id("r1");
  }
  Database db(path, SQLITE_OPEN_READWRITE);
  std::set<std::string> statements;
  sqlite3_trace_v2(db.handle(), SQLITE_TRACE_STMT, keep_statement, &statements);

  HistoryReader reader(db, path);
  HistoryQuery span;
  span.since_ms = kT0 - 41 * kDayMs;
  span.until_ms = kT0;
  span.last = 1001;
  HistoryQuery of_device = span;
  of_device.device = "power2";
  HistoryQuery continued = of_device;
  continued.before = kelvra::history::ListingPlace{kT0 - 39 * kDayMs, 300};
  for (const HistoryQuery& query : {span, of_device, continued}) {
    EXPECT_FALSE(reader.records(query).empty());
    reader.alarm_events(query);
    reader.comm_events(query);
    reader.control_events(query);
  }
  EXPECT_FALSE(reader.timeline_after(100, 50).empty());
  EXPECT_TRUE(reader.latest_record(3).has_value());
  EXPECT_TRUE(reader.first_record_since("power2", kT0 - 40 * kDayMs + 3600000).has_value());
  for (const std::int64_t step : {60000, 3600000, 45000}) {
    EXPECT_FALSE(
        reader.series_part("power2", "dc.out_v", kT0 - 41 * kDayMs, kT0, step, 10).points.empty());
  }
  HistoryOptions retention;
  retention.keep_days = 30;
  retention.keep_events_days = 365;
  const auto ignore = [](std::int64_t) {};
  kelvra::history::retention_step(db, retention, kT0, ignore);
  retention.max_db_mb = 0;
  kelvra::history::retention_step(db, retention, kT0, ignore);
  sqlite3_trace_v2(db.handle(), 0, nullptr, nullptr);

  EXPECT_GE(statements.size(), 30u);  // each of the paths above ran its statements
  for (const std::string& sql : statements) {
    EXPECT_EQ(costly_steps(db, sql), std::vector<std::string>{}) << sql;
  }
}

}  // namespace
