// History that cannot be written: a missing directory, a full disk, a read-only file system, a
// file that is not a database, a lock held by another connection, a second run on the same
// database. The store says once why it does not store, keeps the rows, writes them when it can
// and never harms what is already stored.
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

#include "tests/history/history_rounds.h"

namespace {

using namespace bench_testing;
using kelvra::history::HistoryStore;

// A file system mounted for one test; unmounted on the way out.
class Mount {
 public:
  Mount(const std::string& source, const std::string& target, const char* type, unsigned long flags,
        const char* options)
      : target_(target),
        mounted_(mount(source.c_str(), target.c_str(), type, flags, options) == 0) {}
  ~Mount() {
    if (mounted_) umount2(target_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool remount(unsigned long flags) {
    return mount("", target_.c_str(), nullptr, MS_REMOUNT | MS_BIND | flags, nullptr) == 0;
  }

 private:
  std::string target_;
  bool mounted_;
};

// Runs failing rounds until the store says why, then `more` rounds: one message for all.
void expect_one_message_while_failing(HistoryStore& history, std::vector<std::string>& said,
                                      const std::string& reason, int more) {
  for (std::uint8_t marker = 10; said.empty() && marker < 100; ++marker) {
    store_round(history, marker);
  }
  for (int i = 0; i < more; ++i) store_round(history, 100);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0], "history not stored: " + reason +
                         "; rows are kept (up to 16384) and written when the database can be "
                         "written again");
}

TEST(HistoryFaults, MissingDirectoryIsSaidOnceAndStoringResumesWhenItAppears) {
  TempDir dir;
  const std::string db = dir.file("later/h.db");
  std::vector<std::string> said;
  auto store = keep_going(db, said);
  HistoryStore& history = *store;
  for (std::uint8_t marker = 1; marker <= 3; ++marker) store_round(history, marker);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0],
            "history not stored: cannot open the history database: unable to open database "
            "file; rows are kept (up to 16384) and written when the database can be written "
            "again");
  EXPECT_EQ(history.not_stored_reason(),
            "cannot open the history database: unable to open database file");
  EXPECT_EQ(history.queued_rows(), 6u);

  ASSERT_EQ(mkdir(dir.file("later").c_str(), 0700), 0);
  store_round(history, 4);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[1], "history stored again; 8 rows kept meanwhile written, 0 dropped");
  EXPECT_FALSE(history.not_stored_reason());
  EXPECT_EQ(markers_in(db), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST(HistoryFaults, FullDiskKeepsWhatIsStoredAndStoresAgainWhenSpaceReturns) {
  TempDir dir;
  Mount disk("tmpfs", dir.file(""), "tmpfs", 0, "size=256k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here";
  const std::string db = dir.file("h.db");
  std::vector<std::string> said;
  auto store = keep_going(db, said);
  HistoryStore& history = *store;
  store_round(history, 1);
  store_round(history, 2);
  {
    std::ofstream filler(dir.file("filler"), std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), block.size())) {
    }
  }
  expect_one_message_while_failing(history, said, "database or disk is full", 5);
  const std::size_t kept = history.queued_rows();
  EXPECT_GE(kept, 12u);

  ASSERT_EQ(unlink(dir.file("filler").c_str()), 0);
  store_round(history, 200);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[1], "history stored again; " + std::to_string(kept + 2) +
                         " rows kept meanwhile written, 0 dropped");
  std::vector<std::uint8_t> markers = markers_in(db);
  ASSERT_EQ(markers.size(), 2 + kept / 2 + 1);
  EXPECT_EQ(markers[0], 1);
  EXPECT_EQ(markers[1], 2);
  EXPECT_EQ(markers[2], 10);
  EXPECT_EQ(markers.back(), 200);
}

TEST(HistoryFaults, ReadOnlyFileSystemIsSaidOnceAndStoringResumesWhenWritable) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  {
    HistoryStore history(db);
    store_round(history, 1);
  }
  Mount bound(dir.file(""), dir.file(""), nullptr, MS_BIND, nullptr);
  if (!bound.mounted() || !bound.remount(MS_RDONLY)) GTEST_SKIP() << "cannot mount read-only";
  std::vector<std::string> said;
  auto store = keep_going(db, said);
  HistoryStore& history = *store;
  ASSERT_TRUE(history.latest_record(1));  // the stored record is still handed back
  // The log's index cannot be created beside the database: said when the store opens.
  expect_one_message_while_failing(history, said, "unable to open database file", 3);

  ASSERT_TRUE(bound.remount(0));
  store_round(history, 2);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[1], "history stored again; 8 rows kept meanwhile written, 0 dropped");
  EXPECT_EQ(markers_in(db), (std::vector<std::uint8_t>{1, 100, 100, 100, 2}));
}

TEST(HistoryFaults, FileThatIsNotADatabaseIsNeverWritten) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  std::string noise(8192, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 7919 % 251);
  std::ofstream(db, std::ios::binary) << noise;

  std::vector<std::string> said;
  {
    auto store = keep_going(db, said);
    EXPECT_FALSE(store->latest_record(1));
    expect_one_message_while_failing(*store, said, "file is not a database", 3);
  }
  EXPECT_EQ(file_bytes(db), noise);
}

TEST(HistoryFaults, RunOnAFileThatIsNotADatabaseKeepsPolling) {
  BenchSession session;
  std::ofstream(session.db(), std::ios::binary) << std::string(4096, 'x');
  session.start();
  // Rounds as the run counts them; history has none to show.
  const auto rounds = [&session]() -> std::uint64_t {
    try {
      return session.ask(request("status"))["devices"][0]["rounds"].asUInt64();
    } catch (const kelvra::run::ControlError&) {
      return 0;  // not listening yet
    }
  };
  for (int i = 0; i < 300 && rounds() < 3; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_GE(rounds(), 3u);
  session.stop();
  const std::string output = session.output();
  EXPECT_EQ(count_of(output, "history not stored: file is not a database"), 1u) << output;
  EXPECT_EQ(file_bytes(session.db()), std::string(4096, 'x'));
}

TEST(HistoryFaults, SecondRunOnTheSameDatabaseIsRefused) {
  BenchSession first;
  first.start();
  ASSERT_TRUE(first.wait_for_records(2)) << first.output();

  kelvra::run::RunOptions options = first.options();
  std::FILE* out = std::tmpfile();
  kelvra::station::Console console(out, false);
  kelvra::run::BenchRun second(options, console);
  try {
    second.run();
    ADD_FAILURE() << "a second run started";
  } catch (const kelvra::run::RunError& error) {
    EXPECT_EQ(error.what(), first.db() + ": in use by another kelvra-host run (pid " +
                                std::to_string(getpid()) + ", holding " + first.db() + ".lock)");
  }
  std::fclose(out);
  const std::size_t stored = kelvra::history::HistoryReader(first.db()).records({}).size();
  EXPECT_TRUE(first.wait_for_records(stored + 1)) << "the first run stops storing";
  EXPECT_TRUE(first.ask(request("status"))["ok"].asBool());
}

}  // namespace
