// The control socket of a running host against requests that are not what a client sends: too
// long, not JSON, of the wrong types, cut short, from another user. The run keeps polling.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <json/reader.h>

#include "bench_fixture.h"

namespace {

using namespace bench_testing;

// A raw client connection to the host's socket.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    timeval limit{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~RawClient() { close(fd_); }

  bool connected() const { return connected_; }
  // Sends what it can of bytes; a host that already answered may have closed.
  void send_bytes(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t got = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (got <= 0) return;
      sent += static_cast<std::size_t>(got);
    }
  }
  void finish_sending() { shutdown(fd_, SHUT_WR); }
  // Everything the host writes until it closes; empty when it closed without a word.
  std::string reply() {
    std::string text;
    char buffer[4096];
    for (;;) {
      const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) return text;
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }

 private:
  int fd_;
  bool connected_ = false;
};

std::uint64_t rounds_of(BenchSession& session) {
  return session.ask(request("status"))["devices"][0]["rounds"].asUInt64();
}

TEST(ControlSocket, MalformedRequestsAreAnsweredAndPollingGoesOn) {
  BenchSession session;
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();
  const std::string path = kelvra::run::control_socket_path(session.db());

  struct Case {
    const char* what;
    std::string bytes;
    const char* error;  // the reply's error text
  } cases[] = {
      {"1 MiB without a line end", std::string(1 << 20, 'x'),
       "request longer than 65536 bytes without a line end"},
      {"binary garbage", std::string("\x00\xff\x13\x80\n", 5), "request is not a JSON object"},
      {"not JSON", "status\n", "request is not a JSON object"},
      {"a JSON array", "[\"status\"]\n", "request is not a JSON object"},
      {"nesting 60000 deep", std::string(60000, '[') + "\n", "request is not a JSON object"},
      {"command not a text",
       R"({"command": ["status"]})"
       "\n",
       "command: expected a text"},
      {"device not a text",
       R"({"command": "query", "key": "out_v", "device": {}})"
       "\n",
       "device: expected a text"},
      {"key not a text",
       R"({"command": "query", "key": 7})"
       "\n",
       "key: expected a text"},
      {"code a text",
       R"({"command": "control", "code": "abc"})"
       "\n",
       "code: expected an integer"},
      {"code beyond int",
       R"({"command": "control", "code": 4294967296})"
       "\n",
       "code: expected an integer"},
      {"code a fraction",
       R"({"command": "control", "code": 300.5})"
       "\n",
       "code: expected an integer"},
      {"argument not a text",
       R"({"command": "control", "code": 310, "argument": 5})"
       "\n",
       "argument: expected a text"},
      {"unknown member",
       R"({"command": "query", "key": "out_v", "devise": "power1"})"
       "\n",
       "devise: unknown member"},
      {"two objects on the line",
       R"({"command": "status"} {"command": "status"})"
       "\n",
       "request is not a JSON object"},
      {"code 300 with 64 KiB of hex short of the line end",
       R"({"command": "control", "code": 300, "argument": ")" + std::string(70000, 'A') + "\"}\n",
       "request longer than 65536 bytes without a line end"},
  };
  for (const Case& c : cases) {
    RawClient client(path);
    ASSERT_TRUE(client.connected()) << c.what;
    client.send_bytes(c.bytes);
    client.finish_sending();
    const std::string text = client.reply();
    Json::Value reply;
    std::istringstream stream(text);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), stream, &reply, nullptr))
        << c.what << ": " << text;
    EXPECT_EQ(reply["error"].asString(), c.error) << c.what;
    EXPECT_FALSE(reply["ok"].asBool()) << c.what;
  }

  const std::uint64_t rounds = rounds_of(session);
  ASSERT_TRUE(session.wait_for_records(rounds + 2)) << session.output();
}

TEST(ControlSocket, CutOrHeldRequestsDoNotHoldUpOthers) {
  BenchSession session;
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();
  const std::string path = kelvra::run::control_socket_path(session.db());

  {
    RawClient cut(path);
    cut.send_bytes(R"({"command": "sta)");
    cut.finish_sending();
    EXPECT_EQ(cut.reply(), "");  // closed without an answer
  }
  RawClient held(path);  // half a request, then nothing: others are served meanwhile
  held.send_bytes(R"({"command": )");
  RawClient silent(path);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(session.ask(request("status"))["ok"].asBool());
  const std::uint64_t rounds = rounds_of(session);
  ASSERT_TRUE(session.wait_for_records(rounds + 2)) << session.output();
}

TEST(ControlSocket, FileInTheSocketsPlaceIsLeftAndTheRunRefused) {
  BenchSession session;
  const std::string path = kelvra::run::control_socket_path(session.db());
  std::ofstream(path) << "notes";
  kelvra::station::Console console(stderr, false);
  kelvra::run::BenchRun run(session.options(), console);
  try {
    run.run();
    ADD_FAILURE() << "the run started";
  } catch (const kelvra::run::RunError& error) {
    EXPECT_EQ(error.what(), path + ": exists and is not a socket; left as it is");
  }
  std::ifstream file(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "notes");
}

// In a child running as `nobody`: 0 when connecting is refused (errno EACCES), 1 when it
// connects and receives a reply containing `expected`, 2 otherwise.
int as_nobody(const std::string& path, const std::string& expected) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    RawClient client(path);
    if (!client.connected()) _exit(errno == EACCES ? 0 : 2);
    client.send_bytes("{\"command\": \"status\"}\n");
    _exit(client.reply().find(expected) != std::string::npos ? 1 : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ControlSocket, PeersOfAnotherUserAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  BenchSession session;
  session.start();
  ASSERT_TRUE(session.wait_for_records(1)) << session.output();
  const std::string path = kelvra::run::control_socket_path(session.db());
  chmod(path.substr(0, path.rfind('/')).c_str(), 0755);  // let nobody reach the socket file

  struct stat socket_file {};
  ASSERT_EQ(stat(path.c_str(), &socket_file), 0);
  EXPECT_EQ(socket_file.st_mode & 0777, 0600u);
  EXPECT_EQ(as_nobody(path, ""), 0) << "mode 0600 keeps other users from connecting";

  // With the file opened up, the peer's credentials still keep another user out.
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  EXPECT_EQ(as_nobody(path, "permission denied: the control socket serves its owner only"), 1);
  EXPECT_TRUE(session.ask(request("status"))["ok"].asBool());
}

}  // namespace
