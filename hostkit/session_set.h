// The live sessions of a TCP server, held weakly: a session ends when its last handler does,
// and the server can still reach every one that lives to close it or push to it.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <utility>

#include <boost/system/error_code.hpp>

namespace kelvra::hostkit {

// Session derives from std::enable_shared_from_this<Session> and has close().
template <typename Session>
class SessionSet {
 public:
  void add(Session& session) { sessions_[&session] = session.weak_from_this(); }
  void remove(const Session& session) { sessions_.erase(&session); }
  std::size_t size() const { return sessions_.size(); }

  // Calls visit on each session that lives; visit may close sessions (a copy is walked).
  template <typename Visit>
  void for_each(Visit&& visit) const {
    const auto sessions = sessions_;
    for (const auto& [raw, weak] : sessions) {
      if (const auto session = weak.lock()) visit(*session);
    }
  }
  void close_all() const {
    for_each([](Session& session) { session.close(); });
  }
  // Starts a session for the socket (Session(socket, args...)->begin()), or closes the socket at
  // once when `limit` sessions live.
  template <typename Socket, typename... Args>
  void start_or_close(Socket socket, std::size_t limit, Args&&... args) {
    if (size() >= limit) {
      boost::system::error_code ignored;
      socket.close(ignored);
      return;
    }
    std::make_shared<Session>(std::move(socket), std::forward<Args>(args)...)->begin();
  }

 private:
  std::map<const Session*, std::weak_ptr<Session>> sessions_;
};

}  // namespace kelvra::hostkit
