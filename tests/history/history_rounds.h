// Rounds stored as a run stores them, and what a test reads back of them.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/line/bench_fixture.h"

namespace bench_testing {

// Stores one round as a run does: the record and one alarm event in one transaction.
inline void store_round(kelvra::history::HistoryStore& history, std::uint8_t marker) {
  history.begin();
  kelvra::history::StoredRecord record;  // time_ms 0: the store's clock
  record.device = "power1";
  record.data_id = 1;
  record.bytes.assign(763, marker);
  history.add_record(record);
  history.add_alarm_event(kelvra::events::AlarmEvent{record.time_ms, "power1", true, 1, "PowerOff",
                                                     "419415001", "n", "t", marker});
  history.commit();
}

inline std::vector<std::uint8_t> markers_in(const std::string& db) {
  std::vector<std::uint8_t> markers;
  for (const kelvra::history::StoredRecord& record :
       kelvra::history::HistoryStore(db).records({})) {
    EXPECT_EQ(record.bytes, std::vector<std::uint8_t>(763, record.bytes[0]));
    markers.push_back(record.bytes[0]);
  }
  return markers;
}

inline std::size_t count_of(const std::string& output, const std::string& text) {
  std::size_t count = 0;
  for (std::size_t at = output.find(text); at != std::string::npos;
       at = output.find(text, at + 1)) {
    ++count;
  }
  return count;
}

// A keep-going store that commits at every round's end, as a run does once a second.
inline std::unique_ptr<kelvra::history::HistoryStore> keep_going(
    const std::string& db, std::vector<std::string>& said,
    kelvra::history::HistoryOptions options = {}) {
  options.flush_interval = std::chrono::milliseconds(0);
  return std::make_unique<kelvra::history::HistoryStore>(
      db, [&said](const std::string& text) { said.push_back(text); }, options);
}

inline std::string file_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The real kelvra-host with `args`, as user `uid` unless 0, standard output and error into
// `out_path`; returns its pid.
inline pid_t spawn_host(const std::vector<std::string>& args, const std::string& out_path,
                        uid_t uid = 0) {
  std::vector<char*> argv{const_cast<char*>(KELVRA_HOST_PATH)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
    execv(KELVRA_HOST_PATH, argv.data());
    _exit(127);
  }
  return child;
}

// The exit code of a child, or 128 + its signal.
inline int exit_code(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace bench_testing
