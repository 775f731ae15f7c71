// A host name looked up on a thread of its own, so that a resolver that never answers holds up
// neither the event loop nor the end of the program: the thread is left behind, not joined.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

namespace kelvra::hostkit {

// Numeric addresses of a name, or why there are none.
struct LookupResult {
  std::string reason;  // empty when found
  std::vector<std::string> addresses;
  bool found() const { return reason.empty(); }
};

class NameLookups {
 public:
  using Done = std::function<void(LookupResult)>;
  explicit NameLookups(boost::asio::io_context& io);
  // Lookups still running are forgotten: their answers are never delivered.
  ~NameLookups();
  NameLookups(const NameLookups&) = delete;
  NameLookups& operator=(const NameLookups&) = delete;

  // Looks up `host` for TCP and calls `done` on the loop of `io` with what was found.
  void lookup(const std::string& host, const std::string& service, Done done);

 private:
  struct Mailbox;
  std::shared_ptr<Mailbox> mailbox_;
};

}  // namespace kelvra::hostkit
