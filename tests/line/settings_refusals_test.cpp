// Settings and options that can never work, through the real program: each is refused at start
// with exit 2 and a message naming the field, before the database is made unless only the broker
// service's start can see it, and none crashes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bench_fixture.h"

namespace {

struct Ended {
  int code;  // the exit code, or 128 + the signal that ended the program
  std::string output;
};

Ended run_host(std::vector<std::string> args, const std::string& log) {
  args.insert(args.begin(), KELVRA_HOST_PATH);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {-1, "not started"};
  int status = 0;
  waitpid(pid, &status, 0);
  std::ifstream file(log);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
          std::string(std::istreambuf_iterator<char>(file), {})};
}

// A pseudo-terminal nobody answers on: a port that is a terminal.
class Terminal {
 public:
  Terminal() : fd_(posix_openpt(O_RDWR | O_NOCTTY)) {
    if (fd_ >= 0 && grantpt(fd_) == 0 && unlockpt(fd_) == 0) path_ = ptsname(fd_);
  }
  ~Terminal() { close(fd_); }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

TEST(SettingsRefusals, MistakesExitTwoNamingTheFieldBeforeAnythingStarts) {
  bench_testing::TempDir dir;
  Terminal terminal;
  ASSERT_FALSE(terminal.path().empty());
  const std::string alias = dir.file("alias");
  ASSERT_EQ(symlink(terminal.path().c_str(), alias.c_str()), 0);
  const std::string& pty = terminal.path();
  const std::string big_password = dir.file("password");
  std::ofstream(big_password) << std::string(5000, 'p');  // opens; its size is seen at start
  const std::string broker = R"("url": "mqtt://127.0.0.1:1")";
  const auto named = [&broker](const std::string& name) {
    return R"({"host": {"name": ")" + name + R"("}, "mqtt": {)" + broker + "}}";
  };
  struct Case {
    std::string settings;  // JSON text; empty: no settings file
    std::vector<std::string> args;
    std::string message;
    bool after_history = false;  // refused once history is open: by the broker service's start
  } cases[] = {
      {R"({"mqtt": {)" + broker + R"(, "username": "u", "password_file": ")" + dir.file("none") +
           R"("}})",
       {},
       "mqtt.password_file " + dir.file("none") + ": No such file or directory"},
      {R"({"mqtt": {)" + broker + R"(, "username": "u", "password_file": ")" + big_password +
           R"("}})",
       {},
       "mqtt.password_file " + big_password + ": larger than 4096 bytes (5000)",
       true},
      {R"({"mqtt": {"url": "mqtts://127.0.0.1:1", "ca_file": ")" + dir.file("none.crt") + R"("}})",
       {},
       "mqtt.ca_file " + dir.file("none.crt") + ": No such file or directory"},
      {R"({"mqtt": {"url": "mqtts://127.0.0.1:1", "ca_file": ")" + dir.file("") + R"("}})",
       {},
       "mqtt.ca_file " + dir.file("") + ": a directory, not a file"},
      {R"({"mqtt": {)" + broker + R"(, "deadbands": {"dc.out_v": -1}}})",
       {},
       "mqtt.deadbands.dc.out_v: expected a number from 0 up, in V"},
      {named("a+b"), {}, R"(host.name: "a+b" cannot name a device: it holds '+')"},
      {named("a/b"), {}, R"(host.name: "a/b" cannot name a device: it holds '/')"},
      {named("#"), {}, R"(host.name: "#" cannot name a device: it holds '#')"},
      {named(""), {}, R"(host.name: "" cannot name a device: it is empty)"},
      {named("a\\u0000b"), {}, "it holds the control character 0x00"},
      {named("a\\tb"), {}, "it holds the control character 0x09"},
      {named("a\\u007f"), {}, "it holds the control character 0x7F"},
      {named("a\\u0085"), {}, "it is not UTF-8 text without control characters"},
      {named(" a"), {}, "it begins or ends with a space"},
      {named("a "), {}, "it begins or ends with a space"},
      {named(".."), {}, "it names a directory"},
      {named(std::string(256, 'x')), {}, "it is longer than 255 bytes"},
      {R"({"host": {"devices": [{"name": "a"}, {"name": "b\r"}]}})",
       {},
       "host.devices[1].name: \"b\\r\" cannot name a device"},
      {"", {"--port", ""}, "--port: empty; leave it out to poll the built-in simulator"},
      {R"({"host": {"port": ""}})", {}, "host.port: empty; leave it out"},
      {"", {"--port", "telnet://ts1:4001"}, "--port: telnet://ts1:4001: unknown scheme telnet"},
      {R"({"host": {"devices": [{"port": "tcp://ts1:70000"}]}})",
       {},
       "host.devices[0].port: tcp://ts1:70000: the port is not a number in 1..65535"},
      {"", {"--port", "/dev/null"}, "power1: port /dev/null is a character device but not a "},
      {"", {"--scenario", "nosuch"}, "--scenario nosuch: "},
      {R"({"host": {"devices": [{"name": "a", "port": ")" + pty + R"("}, {"name": "b", "port": ")" +
           alias + R"("}]}})",
       {},
       "b: address 1 on port " + alias + " is polled by a on " + pty + ", the same port"},
      {R"({"host": {"devices": [{"name": "a", "port": ")" + pty + R"("}, {"name": "b", "port": ")" +
           pty + R"(", "address": 2}]}})",
       {"--address", "1"},
       "b: address 1 on port " + pty + " is polled by a; give each device an address"},
  };
  int row = 0;
  for (const Case& c : cases) {
    const std::string db = dir.file("h" + std::to_string(++row) + ".db");
    std::vector<std::string> args = {"run",        "--db", db, "--plugin", KELVRA_PLUGIN_PATH,
                                     "--duration", "3"};
    if (!c.settings.empty()) {
      std::ofstream(dir.file("settings.json"), std::ios::trunc) << c.settings;
      args.insert(args.end(), {"--settings", dir.file("settings.json")});
    }
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Ended ended = run_host(args, dir.file("host.log"));
    EXPECT_EQ(ended.code, 2) << "row " << row << "\n" << ended.output;
    EXPECT_NE(ended.output.find(c.message), std::string::npos) << "row " << row << "\n"
                                                               << ended.output;
    EXPECT_EQ(access(db.c_str(), F_OK) == 0, c.after_history) << "row " << row;
  }
}

}  // namespace
