// UPS protocol request lines of arbitrary bytes, one session: every reply is whole lines of one
// "ERR"/"OK"/answer each, and the words of a line read back the same once quoted again.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "upsd/ups_protocol.h"

namespace {

using kelvra::upsd::UpsUser;
using kelvra::upsd::UpsView;

const std::vector<UpsView> kUpses = {
    {"power1",
     "48 V \"DC\" plant",
     false,
     {{"battery.voltage", "49.5"}, {"ups.status", "OB LB"}},
     1},
    {"power2", "stale", true, {{"ups.status", "OL"}}, 0},
};
const std::vector<UpsUser> kUsers = {{"mon", "secret", false}, {"admin", "pw", true}};

void check_words(std::string_view line) {
  const auto words = kelvra::upsd::split_request(line);
  if (!words) return;
  std::string again;
  for (const std::string& word : *words) again += kelvra::upsd::quoted(word) + " ";
  if (kelvra::upsd::split_request(again) != words) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  kelvra::upsd::SessionState session;
  const kelvra::upsd::ProtocolContext context{kUpses, kUsers, "kelvra-host fuzz"};
  std::size_t start = 0;
  while (start <= input.size()) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view line = input.substr(start, end - start);
    check_words(line);
    const kelvra::upsd::Reply reply = kelvra::upsd::handle_request(line, session, context);
    if (reply.text.empty() || reply.text.back() != '\n') __builtin_trap();
    if (reply.close && reply.text != "OK Goodbye\n") __builtin_trap();
    if (!session.login_ups.empty() && session.login_ups != "power1" &&
        session.login_ups != "power2") {
      __builtin_trap();
    }
    start = end + 1;
  }
  return 0;
}
