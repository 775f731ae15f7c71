// A real broker for the tests: Debian's mosquitto on a free loopback port with a configuration
// of the test's own, stopped at the end; and a subscriber that keeps every message it receives.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

extern char** environ;

namespace broker_testing {

using namespace std::chrono_literals;

// A loopback port nobody listens on at the moment of asking.
inline int free_port() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  close(probe);
  return ntohs(address.sin_port);
}

inline bool accepts(int port) {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return connected;
}

inline bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

// How often `part` occurs in `text`: what is said once must occur once.
inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A child process, ended with SIGTERM (or the signal given) and reaped.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv, const std::string& output = "/dev/null") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { end(SIGTERM); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool running() const { return pid_ > 0; }
  // Sends the signal and waits for the process; its exit status, or -1 when it was not running.
  int end(int signal_number) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal_number);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  // Waits up to `limit` for the process to end by itself; its exit code, or -1.
  int wait_exit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
};

// mosquitto on a port of its own; `extra` is appended to the configuration (listener options,
// bridges). Not persistent: a restart forgets every retained and queued message.
class Broker {
 public:
  Broker(std::string directory, std::string extra = "", std::string listener_options = "")
      : directory_(std::move(directory)),
        port_(free_port()),
        extra_(std::move(extra)),
        listener_options_(std::move(listener_options)) {
    start();
  }
  ~Broker() { stop(); }

  int port() const { return port_; }
  std::string url(const char* scheme = "mqtt") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }
  std::string log() const { return directory_ + "/mosquitto-" + std::to_string(port_) + ".log"; }

  void start() {
    const std::string config = directory_ + "/mosquitto-" + std::to_string(port_) + ".conf";
    // Run as root, mosquitto would read the test's files as another user; keep this one.
    const passwd* user = getpwuid(geteuid());
    std::ofstream(config) << "user " << (user ? user->pw_name : "root") << "\n"
                          << "listener " << port_ << " 127.0.0.1\n"
                          << (listener_options_.empty() ? "allow_anonymous true\n"
                                                        : listener_options_)
                          << "persistence false\n"
                          << extra_;
    process_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/mosquitto", "-c", config}, log());
    ASSERT_TRUE(process_->running());
    ASSERT_TRUE(wait_until([this] { return accepts(port_); }, 10s)) << "broker did not start";
  }
  void stop() { process_.reset(); }

 private:
  std::string directory_;
  int port_;
  std::string extra_;
  std::string listener_options_;
  std::unique_ptr<Child> process_;
};

struct Message {
  std::string topic;
  std::string payload;
  bool retained = false;
};

inline Json::Value parse_json(const std::string& text) {
  Json::Value value;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors))
      << errors << ": " << text;
  return value;
}

// A client of the test's own, on a thread of its own, subscribed to `pattern` from the start;
// reconnects by itself while the broker is away.
class Subscriber {
 public:
  struct Access {
    std::string ca_file;  // set: TLS
    std::string username;
    std::string password;
  };

  Subscriber(int port, std::string pattern, const Access& access = {})
      : pattern_(std::move(pattern)) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    if (!access.ca_file.empty()) {
      mosquitto_tls_set(client_, access.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (!access.username.empty()) {
      mosquitto_username_pw_set(client_, access.username.c_str(), access.password.c_str());
    }
    mosquitto_connect_callback_set(client_, [](mosquitto* client, void* self, int rc) {
      if (rc == 0) {
        mosquitto_subscribe(client, nullptr, static_cast<Subscriber*>(self)->pattern_.c_str(), 1);
      }
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Subscriber*>(self)->subscribed_ = true;
      ++static_cast<Subscriber*>(self)->subscriptions_;
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self,
                                               const mosquitto_message* message) {
      auto& subscriber = *static_cast<Subscriber*>(self);
      const auto* bytes = static_cast<const char*>(message->payload);
      std::lock_guard<std::mutex> lock(subscriber.mutex_);
      subscriber.messages_.push_back(Message{
          message->topic, std::string(bytes, bytes ? message->payloadlen : 0), message->retain});
    });
    mosquitto_connect(client_, "127.0.0.1", port, 10);
    thread_ = std::thread([this] {
      while (running_) {
        if (mosquitto_loop(client_, 100, 1) != MOSQ_ERR_SUCCESS) {
          std::this_thread::sleep_for(50ms);
          mosquitto_reconnect(client_);
        }
      }
    });
    EXPECT_TRUE(wait_until([this] { return subscribed_.load(); }, 10s)) << "not subscribed";
  }
  ~Subscriber() {
    running_ = false;
    thread_.join();
    mosquitto_disconnect(client_);
    mosquitto_destroy(client_);
  }

  void publish(const std::string& topic, const std::string& payload, bool retain = false) {
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, retain);
  }
  int subscriptions() const { return subscriptions_.load(); }

  std::vector<Message> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::vector<Message> on(const std::string& topic) {
    std::vector<Message> matching;
    for (Message& message : messages()) {
      if (message.topic == topic) matching.push_back(std::move(message));
    }
    return matching;
  }
  // Waits until the topic has received `count` messages; false after `limit`.
  bool wait_for(const std::string& topic, std::size_t count,
                std::chrono::milliseconds limit = 20s) {
    return wait_until([&] { return on(topic).size() >= count; }, limit);
  }
  // Waits until the newest message on the topic is `payload`.
  bool wait_until_last(const std::string& topic, const std::string& payload,
                       std::chrono::milliseconds limit = 20s) {
    return wait_until(
        [&] {
          const auto received = on(topic);
          return !received.empty() && received.back().payload == payload;
        },
        limit);
  }
  bool wait_for_payload(const std::string& topic, const std::string& payload,
                        std::chrono::milliseconds limit = 20s) {
    return wait_until(
        [&] {
          for (const Message& message : on(topic)) {
            if (message.payload == payload) return true;
          }
          return false;
        },
        limit);
  }

 private:
  std::string pattern_;
  mosquitto* client_ = nullptr;
  std::atomic<bool> running_{true};
  std::atomic<bool> subscribed_{false};
  std::atomic<int> subscriptions_{0};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Message> messages_;
};

}  // namespace broker_testing
