#include "hostkit/name_lookup.h"

#include <netdb.h>
#include <sys/socket.h>

#include <mutex>
#include <thread>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

namespace kelvra::hostkit {

// Where a lookup's thread posts its answer; emptied when the owner goes.
struct NameLookups::Mailbox {
  std::mutex mutex;
  boost::asio::io_context* io = nullptr;
};

namespace {

LookupResult look_up(const std::string& host, const std::string& service) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  LookupResult result;
  if (rc != 0) {
    result.reason = gai_strerror(rc);
    return result;
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    char text[NI_MAXHOST];
    if (getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) == 0) {
      result.addresses.emplace_back(text);
    }
  }
  freeaddrinfo(found);
  return result;
}

}  // namespace

NameLookups::NameLookups(boost::asio::io_context& io) : mailbox_(std::make_shared<Mailbox>()) {
  mailbox_->io = &io;
}

NameLookups::~NameLookups() {
  const std::lock_guard<std::mutex> lock(mailbox_->mutex);
  mailbox_->io = nullptr;
}

void NameLookups::lookup(const std::string& host, const std::string& service, Done done) {
  std::thread([mailbox = mailbox_, host, service, done = std::move(done)]() mutable {
    LookupResult result = look_up(host, service);
    const std::lock_guard<std::mutex> lock(mailbox->mutex);
    if (mailbox->io == nullptr) return;
    boost::asio::post(*mailbox->io,
                      [mailbox, done = std::move(done), result = std::move(result)]() mutable {
                        // Emptied on this loop's thread, so checking here needs no lock.
                        if (mailbox->io != nullptr) done(std::move(result));
                      });
  }).detach();
}

}  // namespace kelvra::hostkit
