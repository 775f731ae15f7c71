// Runs kelvra-host on one script and compares its transcript with the expected one.
// Usage: transcript_check HOST SCRIPT EXPECTED_STDOUT [EXPECTED_STDERR]
// The script runs from its own directory under its file name, so messages naming it are stable.
// A '?' in an expected line matches any one character (the time stamp of a round). Without an
// expected standard error the exit code must be 0 and standard error empty; with one it must
// be 2 and standard error must match it exactly.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool matches(const std::string& expected, const std::string& actual, std::size_t& where) {
  for (where = 0; where < expected.size() && where < actual.size(); ++where) {
    if (expected[where] != '?' && expected[where] != actual[where]) return false;
  }
  return expected.size() == actual.size();
}

// The part of a line around a position; record lines are 1500 characters long.
std::string around(const std::string& line, std::size_t where) {
  const std::size_t start = where > 60 ? where - 60 : 0;
  return (start > 0 ? "..." : "") + line.substr(start, 120) +
         (start + 120 < line.size() ? "..." : "");
}

struct Run {
  int exit_code = -1;
  std::string out;
  std::string err;
};

Run run_host(const std::string& host, const std::filesystem::path& script) {
  const auto out_path =
      std::filesystem::temp_directory_path() / ("transcript-" + std::to_string(getpid()) + ".out");
  const auto err_path = std::filesystem::path(out_path).replace_extension(".err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const std::string directory = script.parent_path().string();
  const std::string name = script.filename().string();
  std::filesystem::current_path(directory);
  std::vector<char*> args = {const_cast<char*>(host.c_str()), const_cast<char*>("script"),
                             const_cast<char*>(name.c_str()), nullptr};
  Run run;
  pid_t pid = 0;
  if (posix_spawn(&pid, host.c_str(), &actions, nullptr, args.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  std::filesystem::remove(out_path);
  std::filesystem::remove(err_path);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: transcript_check HOST SCRIPT EXPECTED_STDOUT [EXPECTED_STDERR]\n");
    return 2;
  }
  const std::string host = std::filesystem::absolute(argv[1]).string();
  const auto script = std::filesystem::absolute(argv[2]);
  const std::vector<std::string> expected = split_lines(read_file(argv[3]));
  const bool expect_error = argc == 5;
  const std::string expected_err = expect_error ? read_file(argv[4]) : std::string();

  const Run run = run_host(host, script);
  int failures = 0;
  const int expected_exit = expect_error ? 2 : 0;
  if (run.exit_code != expected_exit) {
    std::printf("exit code %d, expected %d\n", run.exit_code, expected_exit);
    ++failures;
  }
  if (run.err != expected_err) {
    std::printf("standard error:\n%s\nexpected:\n%s\n", run.err.c_str(), expected_err.c_str());
    ++failures;
  }
  const std::vector<std::string> actual = split_lines(run.out);
  for (std::size_t i = 0; i < expected.size() || i < actual.size(); ++i) {
    const std::string want = i < expected.size() ? expected[i] : "(end of transcript)";
    const std::string got = i < actual.size() ? actual[i] : "(end of transcript)";
    std::size_t where = 0;
    if (matches(want, got, where)) continue;
    std::printf("transcript line %zu differs at column %zu:\n  got      %s\n  expected %s\n", i + 1,
                where + 1, around(got, where).c_str(), around(want, where).c_str());
    if (++failures >= 5) break;
  }
  if (failures > 0) std::printf("--- whole transcript ---\n%s", run.out.c_str());
  return failures == 0 ? 0 : 1;
}
