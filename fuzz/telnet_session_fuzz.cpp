// The Telnet COM-PORT-OPTION client fed arbitrary server bytes: chunking changes nothing it
// makes of them, and line data escaped for the wire reads back unchanged with nothing to answer.
#include <algorithm>
#include <cstdint>
#include <string>

#include "telnet/com_port_session.h"

namespace {

using kelvra::telnet::ComPortSession;
using kelvra::telnet::LineFormat;

kelvra::telnet::Received in_chunks(std::string_view stream, std::size_t chunk) {
  ComPortSession session{LineFormat{}};
  kelvra::telnet::Received all;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    auto part = session.receive(stream.substr(at, chunk));
    all.data += part.data;
    all.reply += part.reply;
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t chunk = 1 + data[0] % 17;  // first byte: the chunk size seed
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  const auto whole = in_chunks(stream, std::max<std::size_t>(stream.size(), 1));
  const auto chunked = in_chunks(stream, chunk);
  if (whole.data != chunked.data || whole.reply != chunked.reply) __builtin_trap();
  if (whole.data.size() > stream.size()) __builtin_trap();

  const auto escaped = in_chunks(ComPortSession::escape(stream), chunk);
  if (escaped.data != stream || !escaped.reply.empty()) __builtin_trap();
  return 0;
}
