// kelvra-sim's command line, run as the program: usage errors, --help, --version, hex --ver.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs kelvra-sim with args. With stop_after set, sends SIGTERM once standard output holds that
// text; waits at most 60 s for output in any case.
Outcome run_sim(const std::vector<std::string>& args, const std::string& stop_after = "") {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    close(out_pipe[0]);
    close(err_pipe[0]);
    std::vector<char*> argv{const_cast<char*>(KELVRA_SIM_PATH)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(KELVRA_SIM_PATH, argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  Outcome outcome;
  pollfd fds[] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* texts[] = {&outcome.out, &outcome.err};
  int open_pipes = 2;
  bool stopped = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (open_pipes > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 1000) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      } else {
        texts[i]->append(buffer, static_cast<std::size_t>(got));
      }
    }
    if (!stop_after.empty() && !stopped && outcome.out.find(stop_after) != std::string::npos) {
      kill(child, SIGTERM);
      stopped = true;
    }
  }
  if (open_pipes > 0) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  return outcome;
}

TEST(SimProgram, UsageErrorsExitTwoNamingTheOption) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--baud", "12345"}, "kelvra-sim: --baud: expected one of the rates 50 75 110 "},
      {{"--baud=1500000"}, "--baud: expected one of the rates"},
      {{"--ver", "0x22"}, "kelvra-sim: --ver: expected a number from 0x20 to 0x21, got \"0x22\""},
      {{"--address=0"}, "--address: expected a number from 1 to 254, got \"0\""},
      {{"--rectifiers", "256"}, "--rectifiers: expected a number from 0 to 255, got \"256\""},
      {{"--dc-format", "3"}, "--dc-format: expected a number from 1 to 2, got \"3\""},
      {{"--fault", "late:2"}, "--fault late:2: RATE must be a number from 0 to 1"},
      {{"--fault", "slow:0.5"}, "--fault: expected KIND:RATE with KIND one of no-answer"},
      {{"--seed"}, "--seed: 1 required N:0..2147483647 missing"},
      {{"--frobnicate"}, "The following argument was not expected: --frobnicate"},
      {{"--scenario", "/nonexistent.json"},
       "/nonexistent.json: cannot read the scenario file: No such file or directory"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = run_sim(c.args);
    EXPECT_EQ(outcome.code, 2) << c.args.front() << "\n" << outcome.err;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.out, "") << c.args.front();
  }
}

TEST(SimProgram, HelpAndVersion) {
  const Outcome help = run_sim({"--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* name :
       {"Usage: kelvra-sim [OPTIONS]", "--scenario NAME|FILE=normal", "--port DEVICE",
        "--link PATH", "--address N:1..254", "--ver N:0x20..0x21", "--baud RATE",
        "one of 50 75 110", "--no-pace", "--turnaround N:0..10000", "--ac-inputs N:1..2",
        "--rectifiers N:0..255", "--dc-units N:1..2", "--dc-format N:1..2", "--fault KIND:RATE",
        "--late-ms N:0..600000", "--seed N:0..2147483647", "Built-in scenarios: normal",
        "Scenario JSON:"}) {
    EXPECT_NE(help.out.find(name), std::string::npos) << name;
  }
  const Outcome version = run_sim({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "kelvra-sim 1.0.0\n");
}

TEST(SimProgram, VerInHexIsTakenAndShownInHex) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--ver", "0x21", "--baud", "19200", "--address", "7"},
        std::vector<std::string>{"--ver=33", "--baud=19200", "--address=0x07"}}) {
    const Outcome outcome = run_sim(args, "baud\n");
    EXPECT_EQ(outcome.code, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("address 7, VER 0x21, paced at 19200 baud\n"), std::string::npos)
        << outcome.out;
  }
}

}  // namespace
