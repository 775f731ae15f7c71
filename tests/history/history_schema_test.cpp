// The history database's layout and what comes back out of it: the upgrade of a database of the
// first schema, records byte for byte through their deltas, the timeline and its positions,
// cursors, series, retention and the queue's bound.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

#include "history/history_store.h"
#include "hostkit/local_time.h"
#include "run/history_listing.h"
#include "tests/line/bench_fixture.h"

namespace {

using bench_testing::TempDir;
using kelvra::events::AlarmEvent;
using kelvra::events::CommEvent;
using kelvra::events::ControlEvent;
using kelvra::history::HistoryOptions;
using kelvra::history::HistoryQuery;
using kelvra::history::HistoryStore;
using kelvra::history::StoredRecord;
using kelvra::history::TimelineEntry;
using kelvra::history::TimelineKind;

constexpr std::size_t kRecordBytes = 763;
constexpr std::size_t kDcOutV = 576;  // offset of dc.out_v, f32 LE

// A raw connection for looking at what the store wrote.
class Sql {
 public:
  explicit Sql(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
  ~Sql() { sqlite3_close(db_); }
  void exec(const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << sql << ": " << (message ? message : "");
  }
  // Each row's columns as text (blobs as lowercase hex).
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    std::vector<std::vector<std::string>> rows;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      return rows;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        if (sqlite3_column_type(statement, i) == SQLITE_BLOB) {
          const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, i));
          std::string hex;
          char two[3];
          for (int j = 0; j < sqlite3_column_bytes(statement, i); ++j) {
            std::snprintf(two, sizeof two, "%02x", data[j]);
            hex += two;
          }
          row.push_back(hex);
        } else {
          const auto* text = sqlite3_column_text(statement, i);
          row.push_back(text ? reinterpret_cast<const char*>(text) : "");
        }
      }
      rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char two[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(two, sizeof two, "%02x", byte);
    text += two;
  }
  return text;
}

std::string file_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

StoredRecord record_of(std::vector<std::uint8_t> bytes, std::int64_t time_ms,
                       const std::string& device = "power1") {
  StoredRecord record;
  record.device = device;
  record.data_id = 1;
  record.round_seconds = 0.25;
  record.bytes = std::move(bytes);
  record.time_ms = time_ms;
  return record;
}

void put_float(std::vector<std::uint8_t>& bytes, std::size_t offset, float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 4; ++i)
    bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
}

// Local times in these tests are UTC, so that texts are the same on every machine.
class UtcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* zone = getenv("TZ");
    saved_ = zone ? std::optional<std::string>(zone) : std::nullopt;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

using HistorySchema = UtcTest;

TEST_F(HistorySchema, FirstSchemaDatabaseIsUpgradedInPlaceWithEveryRow) {
  struct Case {
    const char* name;
    bool drop_restored_column;  // a database written before records carried the mark
  } cases[] = {{"with the restored mark", false}, {"without the restored mark", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string db = dir.file("v0.db");
    std::filesystem::copy_file(KELVRA_TEST_DATA_DIR "/v0.db", db);
    std::vector<std::vector<std::string>> old_records, old_alarms, old_links;
    {
      Sql sql(db);
      if (c.drop_restored_column) sql.exec("ALTER TABLE records DROP COLUMN restored");
      old_records =
          sql.rows(std::string("SELECT time, device, data_id, round_seconds, record, ") +
                   (c.drop_restored_column ? "0" : "restored") + " FROM records ORDER BY id");
      old_alarms = sql.rows(
          "SELECT time, device, event, level, key, alarm_id, name, text, seq FROM alarm_events "
          "ORDER BY id");
      old_links = sql.rows("SELECT time, port, event, detail FROM comm_events ORDER BY id");
    }
    ASSERT_EQ(old_records.size(), 11u);
    ASSERT_EQ(old_alarms.size(), 2u);
    ASSERT_EQ(old_links.size(), 4u);

    HistoryStore history(db);
    const auto records = history.records({});
    ASSERT_EQ(records.size(), old_records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(kelvra::hostkit::local_time_text(records[i].time_ms), old_records[i][0]) << i;
      EXPECT_EQ(records[i].device, old_records[i][1]);
      EXPECT_EQ(std::to_string(records[i].data_id), old_records[i][2]);
      EXPECT_NEAR(records[i].round_seconds, std::stod(old_records[i][3]), 1e-6);
      EXPECT_EQ(hex(records[i].bytes), old_records[i][4]) << i;
      EXPECT_EQ(records[i].restored, old_records[i][5] == "1") << i;
    }
    const auto alarms = history.alarm_events({});
    ASSERT_EQ(alarms.size(), old_alarms.size());
    for (std::size_t i = 0; i < alarms.size(); ++i) {
      EXPECT_EQ(kelvra::hostkit::local_time_text(alarms[i].time_ms), old_alarms[i][0]);
      EXPECT_EQ(alarms[i].raised, old_alarms[i][2] == "raised");
      EXPECT_EQ(alarms[i].key, old_alarms[i][4]);
      EXPECT_EQ(alarms[i].text, old_alarms[i][7]);
      EXPECT_EQ(std::to_string(alarms[i].seq), old_alarms[i][8]);
    }
    const auto links = history.comm_events({});
    ASSERT_EQ(links.size(), old_links.size());
    for (std::size_t i = 0; i < links.size(); ++i) {
      EXPECT_EQ(kelvra::hostkit::local_time_text(links[i].time_ms), old_links[i][0]);
      EXPECT_EQ(links[i].event, old_links[i][2]);
      EXPECT_EQ(links[i].detail, old_links[i][3]);
    }
    // The timeline interleaves the kinds in time order with one increasing position.
    const auto timeline = history.timeline({});
    ASSERT_EQ(timeline.size(), 17u);
    for (std::size_t i = 1; i < timeline.size(); ++i) {
      EXPECT_LE(timeline[i - 1].time_ms(), timeline[i].time_ms());
      EXPECT_LT(timeline[i - 1].position, timeline[i].position);
    }
    // Series answer from the upgraded raw records, which have no aggregates; restored ones
    // are not counted.
    std::uint32_t counted = 0;
    for (const auto& point : history.series("power1", "dc.out_v", records.front().time_ms,
                                            records.back().time_ms + 1, 3600000)) {
      EXPECT_EQ(point.min, 53.5);
      EXPECT_EQ(point.max, 53.5);
      counted += point.count;
    }
    EXPECT_EQ(counted, c.drop_restored_column ? 11u : 10u);
    Sql after(db);
    EXPECT_EQ(after.rows("PRAGMA user_version")[0][0], "4");
    EXPECT_EQ(after.rows("PRAGMA journal_mode")[0][0], "wal");
    EXPECT_EQ(after.rows("PRAGMA integrity_check")[0][0], "ok");
  }
}

TEST_F(HistorySchema, RecordPayloadsAreRunLengthDeltasOfThePreviousRecord) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  std::vector<std::uint8_t> first(kRecordBytes, 0);
  first[3] = 0xAA;
  first[4] = 0xBB;
  std::vector<std::uint8_t> second = first;
  second[10] = 0x01;
  {
    HistoryStore history(db);
    history.add_record(record_of(first, 1000));
    history.add_record(record_of(second, 2000));
  }
  // (zero run, literal count, literals) pairs as varints; 758 = f6 05, 752 = f0 05.
  EXPECT_EQ(
      Sql(db).rows("SELECT whole, payload FROM records ORDER BY id"),
      (std::vector<std::vector<std::string>>{{"1", "0302aabbf60500"}, {"0", "0a0101f00500"}}));
}

TEST_F(HistorySchema, RecordsComeBackByteForByte) {
  std::mt19937 random(7);
  auto noise = [&](std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
  };
  std::vector<std::uint8_t> steady(kRecordBytes, 0);
  put_float(steady, kDcOutV, 53.5f);
  struct Case {
    const char* name;
    std::function<std::vector<std::uint8_t>(int)> record;  // the nth record
  } cases[] = {
      {"steady", [&](int) { return steady; }},
      {"one reading drifting",
       [&](int n) {
         auto bytes = steady;
         put_float(bytes, kDcOutV, 53.5f + 0.01f * static_cast<float>(n));
         return bytes;
       }},
      {"every byte changing", [&](int) { return noise(kRecordBytes); }},
      {"all 0xFF then all zero",
       [&](int n) { return std::vector<std::uint8_t>(kRecordBytes, n % 2 ? 0x00 : 0xFF); }},
      {"sizes changing", [&](int n) { return noise(n % 3 == 0 ? 100 : kRecordBytes); }},
      {"empty", [&](int) { return std::vector<std::uint8_t>(); }},
      {"zero runs of 1, 2 and 3 bytes",
       [&](int n) {
         std::vector<std::uint8_t> bytes(kRecordBytes, 0x5A);
         for (std::size_t i = 0; i < bytes.size(); i += 7) {
           bytes[i] = 0;
           if (n % 2) bytes[i + 1 < bytes.size() ? i + 1 : i] = 0;
           if (n % 3 == 0) bytes[i + 2 < bytes.size() ? i + 2 : i] = 0;
         }
         return bytes;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string db = dir.file("h.db");
    std::vector<std::vector<std::uint8_t>> written;
    HistoryOptions options;
    options.key_frame_interval = 4;
    {
      HistoryStore history(db, options);
      for (int n = 0; n < 11; ++n) {
        written.push_back(c.record(n));
        history.add_record(record_of(written.back(), 1000 + n));
        if (n == 5) history.flush();  // a chain that goes on across commits
      }
    }
    HistoryStore reopened(db);
    const auto records = reopened.records({});
    ASSERT_EQ(records.size(), written.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].bytes, written[i]) << i;
    }
    // Any slice decodes alone, from the whole record before it.
    HistoryQuery last_three;
    last_three.last = 3;
    const auto tail = reopened.records(last_three);
    ASSERT_EQ(tail.size(), 3u);
    EXPECT_EQ(tail[0].bytes, written[8]);
    EXPECT_EQ(tail[2].bytes, written[10]);
    EXPECT_EQ(reopened.latest_record(1), written.back());
  }
}

TEST_F(HistorySchema, TimelineIsInTimeOrderAndPositionsInCommitOrder) {
  TempDir dir;
  HistoryStore history(dir.file("h.db"));
  const std::int64_t base = *kelvra::hostkit::parse_local_time("2026-12-08 10:00:00");
  StoredRecord restored = record_of(std::vector<std::uint8_t>(kRecordBytes, 1), base + 1000);
  restored.restored = true;
  history.add_record(restored);
  // The clock was set back between the record and the alarm.
  history.add_alarm_event(
      AlarmEvent{base + 500, "power1", true, 1, "PowerOff", "419415001", "n", "t", 3});
  history.add_comm_event(CommEvent{base + 2000, "/dev/ttyS0", "lost", "End of file"});
  history.add_control_event(
      ControlEvent{base + 1500, "power1", "socket", 310, "{}", "refused", "no", ""});
  history.add_record(record_of(std::vector<std::uint8_t>(kRecordBytes, 2), base + 1000, "power2"));

  auto kinds_of = [](const std::vector<TimelineEntry>& entries) {
    std::string kinds;
    for (const TimelineEntry& entry : entries) {
      kinds += std::string(kinds.empty() ? "" : " ") + timeline_kind_name(entry.kind());
    }
    return kinds;
  };
  struct Case {
    const char* name;
    HistoryQuery query;
    const char* kinds;
  } cases[] = {
      {"all in time order; equal times in commit order", {}, "alarm record record control link"},
      {"since", {base + 1000, {}, {}, {}, {}, {}}, "record record control link"},
      {"until", {{}, base + 1500, {}, {}, {}, {}}, "alarm record record"},
      {"device", {{}, {}, "power2", {}, {}, {}}, "record"},
      {"port", {{}, {}, "/dev/ttyS0", {}, {}, {}}, "link"},
      {"kinds",
       {{}, {}, {}, {TimelineKind::control, TimelineKind::alarm}, {}, {}},
       "alarm control"},
      {"last", {{}, {}, {}, {}, 2, {}}, "control link"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kinds_of(history.timeline(c.query)), c.kinds) << c.name;
  }
  const auto all = history.timeline_after(0, 100);
  EXPECT_EQ(kinds_of(all), "record alarm link control record");
  for (std::size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1].position, all[i].position);
  EXPECT_EQ(kinds_of(history.timeline_after(all[1].position, 2)), "link control");
  EXPECT_EQ(kinds_of(history.timeline_after(all.back().position, 10)), "");
  EXPECT_EQ(std::get<StoredRecord>(all[4].row).bytes, std::vector<std::uint8_t>(kRecordBytes, 2));

  history.flush();
  kelvra::history::HistoryReader reader(dir.file("h.db"));
  std::FILE* out = std::tmpfile();
  kelvra::run::list_timeline(reader, {}, kelvra::run::ListingFormat::csv, out);
  std::rewind(out);
  std::string csv;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, out)) csv += buffer;
  std::fclose(out);
  auto repeated = [](const char* two) {
    std::string text;
    for (std::size_t i = 0; i < kRecordBytes; ++i) text += two;
    return text;
  };
  EXPECT_EQ(csv,
            "time,type,position,device,event,detail\n"
            "2026-12-08 10:00:00.500,alarm,2,power1,raised,\"t [level 1, PowerOff 419415001] n\"\n"
            "2026-12-08 10:00:01.000,record,1,power1,restored from history," +
                repeated("01") +
                "\n"
                "2026-12-08 10:00:01.000,record,5,power2,round," +
                repeated("02") +
                "\n"
                "2026-12-08 10:00:01.500,control,4,power1,refused,code 310 {} from socket: no\n"
                "2026-12-08 10:00:02.000,link,3,/dev/ttyS0,lost,End of file\n");
}

TEST_F(HistorySchema, CursorsSurviveReopeningAndPositionsAreNeverHandedOutTwice) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  {
    HistoryStore history(db);
    EXPECT_EQ(history.get_cursor("mqtt"), 0);
    history.add_comm_event(CommEvent{kelvra::hostkit::utc_now_ms(), "p", "lost", "d"});
    history.set_cursor("mqtt", 1);
    EXPECT_EQ(history.get_cursor("mqtt"), 1);  // queued, not yet committed
    history.set_cursor("other", 40);
  }
  HistoryStore history(db);
  EXPECT_EQ(history.get_cursor("mqtt"), 1);
  EXPECT_EQ(history.get_cursor("other"), 40);
  history.set_cursor("mqtt", 1);
  history.add_comm_event(CommEvent{kelvra::hostkit::utc_now_ms(), "p", "restored", "d"});
  // Above the acknowledged 40, though no row had it.
  EXPECT_EQ(history.timeline_after(1, 10).at(0).position, 41);
}

TEST_F(HistorySchema, SeriesAnswerFromRawRecordsAndFromMinuteAggregatesAlike) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  const std::int64_t start = *kelvra::hostkit::parse_local_time("2026-12-08 10:00:00");
  std::int64_t now = start;
  HistoryOptions options;
  options.wall_clock = [&now] { return now; };
  options.keep_days = 1;
  auto history = std::make_unique<HistoryStore>(db, options);
  // Ten minutes of rounds every 3 s; in minute m dc.out_v runs 50 + m, 50 + m + 0.25, ...
  std::vector<std::uint8_t> bytes(kRecordBytes, 0);
  for (int round = 0; round < 200; ++round) {
    const int minute = round / 20;
    put_float(bytes, kDcOutV,
              50.0f + static_cast<float>(minute) + 0.25f * static_cast<float>(round % 4));
    history->add_record(record_of(bytes, start + round * 3000));
  }
  history.reset();  // the last minute is closed at stop
  history = std::make_unique<HistoryStore>(db, options);

  auto check = [&](const char* source) {
    SCOPED_TRACE(source);
    for (std::int64_t step : {std::int64_t{60000}, std::int64_t{120000}}) {
      const auto points = history->series("power1", "dc.out_v", start, start + 600000, step);
      ASSERT_EQ(points.size(), static_cast<std::size_t>(600000 / step)) << step;
      for (std::size_t i = 0; i < points.size(); ++i) {
        const double first_minute =
            50.0 + static_cast<double>(i * static_cast<std::size_t>(step) / 60000);
        EXPECT_EQ(points[i].time_ms, start + static_cast<std::int64_t>(i) * step);
        EXPECT_EQ(points[i].min, first_minute);
        const double later_minutes = static_cast<double>(step / 60000 - 1);
        EXPECT_EQ(points[i].max, first_minute + later_minutes + 0.75);
        EXPECT_NEAR(points[i].mean, first_minute + later_minutes / 2.0 + 0.375, 1e-4);
        EXPECT_EQ(points[i].count, static_cast<std::uint32_t>(20 * step / 60000));
      }
    }
  };
  check("raw records and aggregates");
  // Raw records at a step below a minute.
  const auto fine = history->series("power1", "dc.out_v", start, start + 12000, 6000);
  ASSERT_EQ(fine.size(), 2u);
  EXPECT_EQ(fine[0].min, 50.0);
  EXPECT_EQ(fine[0].max, 50.25);
  EXPECT_EQ(fine[1].count, 2u);

  // Two days on, retention has deleted the raw records; the aggregates answer alone.
  now = start + 2 * 24 * 3600 * 1000;
  history->add_comm_event(CommEvent{now, "p", "lost", "d"});
  history->flush();
  EXPECT_LE(history->records({}).size(), 1u);
  check("aggregates only");
  // Finer than a minute, aggregates do not answer: nothing is left.
  EXPECT_TRUE(history->series("power1", "dc.out_v", start, start + 12000, 6000).empty());

  try {
    history->series("power1", "dc.nothing", start, start + 1, 1);
    ADD_FAILURE() << "an unknown series was answered";
  } catch (const kelvra::history::HistoryError& error) {
    EXPECT_NE(std::string(error.what()).find("no series \"dc.nothing\"; the series are ac."),
              std::string::npos)
        << error.what();
  }
  EXPECT_THROW(history->series("power1", "dc.out_v", start, start + 1, 0),
               kelvra::history::HistoryError);
  EXPECT_TRUE(history->series("nobody", "dc.out_v", start, start + 600000, 60000).empty());
}

TEST_F(HistorySchema, RetentionDeletesTheOldestRecordsWholeAndKeepsEventsLonger) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  const std::int64_t day = 24 * 3600 * 1000;
  const std::int64_t start = *kelvra::hostkit::parse_local_time("2026-01-01");
  std::int64_t now = start;
  HistoryOptions options;
  options.wall_clock = [&now] { return now; };
  options.keep_days = 2;
  options.key_frame_interval = 8;
  std::mt19937 random(3);
  std::vector<std::vector<std::uint8_t>> written;
  {
    HistoryStore history(db, options);
    // Five days, a record an hour; an alarm event a day.
    for (int hour = 0; hour < 5 * 24; ++hour) {
      now = start + hour * 3600 * 1000;
      std::vector<std::uint8_t> bytes(kRecordBytes, 0);
      bytes[random() % kRecordBytes] = static_cast<std::uint8_t>(random());
      written.push_back(bytes);
      history.add_record(record_of(bytes, now));
      if (hour % 24 == 0) {
        history.add_alarm_event(AlarmEvent{now, "power1", true, 1, "k", "i", "n", "t", 0});
      }
      history.flush();
    }
  }
  HistoryStore history(db, options);
  const auto records = history.records({});
  ASSERT_FALSE(records.empty());
  // Everything younger than two days is there; older only up to the group's next whole record.
  const std::int64_t cutoff = now - 2 * day;
  EXPECT_GE(records.front().time_ms, cutoff - 8 * 3600 * 1000);
  EXPECT_LE(records.front().time_ms, cutoff);
  const std::size_t first = static_cast<std::size_t>((records.front().time_ms - start) / 3600000);
  ASSERT_EQ(records.size(), written.size() - first);
  for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].bytes, written[first + i]);
  EXPECT_EQ(history.alarm_events({}).size(), 5u);
}

TEST_F(HistorySchema, SizeLimitDeletesTheOldestRecords) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  HistoryOptions options;
  options.max_db_mb = 1;
  std::int64_t now = 1000;
  options.wall_clock = [&now] { return now; };  // a minute a flush: retention steps at each
  std::mt19937 random(5);
  HistoryStore history(db, options);
  for (int round = 0; round < 4000; ++round) {
    std::vector<std::uint8_t> bytes(kRecordBytes);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    history.add_record(record_of(bytes, 1000 + round));
    if (round % 50 == 0) {
      now += 60000;
      history.flush();
      // The file never grows past the limit: room is made before each commit.
      const auto pages = Sql(db).rows(
          "SELECT page_count * page_size FROM pragma_page_count(), "
          "pragma_page_size()");
      ASSERT_LE(std::stoll(pages[0][0]), 1024 * 1024) << "after round " << round;
    }
  }
  const auto records = history.records({});
  EXPECT_LT(records.size(), 4000u);
  EXPECT_EQ(records.back().time_ms, 1000 + 3999);
}

TEST_F(HistorySchema, QueuePastItsBoundDropsTheOldestAndSaysTheCounts) {
  TempDir dir;
  const std::string db = dir.file("later/h.db");
  std::vector<std::string> said;
  HistoryOptions options;
  options.queue_bound = 10;
  options.flush_interval = std::chrono::milliseconds(0);
  HistoryStore history(
      db, [&](const std::string& text) { said.push_back(text); }, options);
  for (int i = 0; i < 25; ++i) {
    history.add_comm_event(CommEvent{0, "p", "lost", std::to_string(i)});
  }
  EXPECT_EQ(history.queued_rows(), 10u);
  EXPECT_EQ(history.dropped_rows(), 15u);
  ASSERT_EQ(mkdir(dir.file("later").c_str(), 0700), 0);
  EXPECT_TRUE(history.flush());
  EXPECT_EQ(said, (std::vector<std::string>{
                      "history not stored: cannot open the history database: unable to open "
                      "database file; rows are kept (up to 10) and written when the database can "
                      "be written again",
                      "history queue full (10 rows): the oldest are dropped until the database "
                      "can be written",
                      "history stored again; 10 rows kept meanwhile written, 15 dropped"}));
  const auto links = history.comm_events({});
  ASSERT_EQ(links.size(), 10u);
  EXPECT_EQ(links.front().detail, "15");
  EXPECT_EQ(links.back().detail, "24");
}

TEST_F(HistorySchema, ReaderRefusesWhatIsNotAHistoryDatabaseAndChangesNothing) {
  TempDir dir;
  std::string noise(4096, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 31 % 253);
  std::ofstream(dir.file("noise.db"), std::ios::binary) << noise;
  std::ofstream(dir.file("empty.db"), std::ios::binary);
  Sql(dir.file("foreign.db")).exec("CREATE TABLE t(x); INSERT INTO t VALUES (1)");
  std::filesystem::copy_file(KELVRA_TEST_DATA_DIR "/v0.db", dir.file("v0.db"));
  struct Case {
    const char* file;
    const char* error;
  } cases[] = {
      {"missing.db", "missing.db: no such history database"},
      {"empty.db", "empty.db: empty file, not a history database"},
      {"noise.db", "noise.db: not a history database (not an SQLite file)"},
      {"foreign.db", "foreign.db: not a history database"},
      {"v0.db", "v0.db: history of an older kelvra-host; `kelvra-host run --db` on it upgrades it"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file(c.file);
    const std::string before = file_bytes(path);
    try {
      kelvra::history::HistoryReader reader(path);
      ADD_FAILURE() << c.file << " was opened";
    } catch (const kelvra::history::HistoryError& error) {
      EXPECT_EQ(error.what(), dir.file(c.error)) << c.file;
    }
    EXPECT_EQ(file_bytes(path), before) << c.file;
    EXPECT_EQ(std::filesystem::exists(path + "-wal"), false) << c.file;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.db")));
}

}  // namespace
