// Port texts as the settings and --port take them: what each names, or why it is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostkit/input_error.h"
#include "serial/port_address.h"

namespace {

using kelvra::serial::parse_port_address;
using Kind = kelvra::serial::PortAddress::Kind;

TEST(PortAddress, NamesTheCarrierOrSaysWhatIsWrong) {
  struct Row {
    std::string text;
    Kind kind;
    std::string host_or_path;
    int tcp_port;
    std::string refusal;  // empty: accepted
  };
  const std::string expected = " (expected a device path, tcp://HOST:PORT or rfc2217://HOST:PORT)";
  const std::vector<Row> rows = {
      {"/dev/ttyUSB0", Kind::kDevice, "/dev/ttyUSB0", 0, ""},
      {"tcp://10.0.0.7:4001", Kind::kRawTcp, "10.0.0.7", 4001, ""},
      {"rfc2217://site-12.example:2217", Kind::kComPortTelnet, "site-12.example", 2217, ""},
      {"tcp://[fe80::1]:65535", Kind::kRawTcp, "fe80::1", 65535, ""},
      {"udp://10.0.0.7:4001", Kind::kDevice, "", 0, "unknown scheme udp"},
      {"tcp://10.0.0.7", Kind::kDevice, "", 0, "no :PORT"},
      {"tcp://:4001", Kind::kDevice, "", 0, "no host"},
      {"tcp://10.0.0.7:0", Kind::kDevice, "", 0, "the port is not a number in 1..65535"},
      {"tcp://10.0.0.7:65536", Kind::kDevice, "", 0, "the port is not a number in 1..65535"},
      {"tcp://10.0.0.7:40x1", Kind::kDevice, "", 0, "the port is not a number in 1..65535"},
      {"tcp://[fe80::1:4001", Kind::kDevice, "", 0, "no ] after the IPv6 address"},
      {"tcp://[fe80::1]", Kind::kDevice, "", 0, "no :PORT"},
      {"tcp://user@host:4001", Kind::kDevice, "", 0, "a host name has no / ? # @ or space"},
  };
  for (const Row& row : rows) {
    if (!row.refusal.empty()) {
      try {
        parse_port_address(row.text);
        ADD_FAILURE() << row.text << " accepted";
      } catch (const kelvra::hostkit::InputError& error) {
        EXPECT_EQ(error.what(), row.text + ": " + row.refusal + expected);
      }
      continue;
    }
    const auto address = parse_port_address(row.text);
    EXPECT_EQ(address.kind, row.kind) << row.text;
    EXPECT_EQ(address.is_tcp() ? address.host : address.path, row.host_or_path) << row.text;
    EXPECT_EQ(address.tcp_port, row.tcp_port) << row.text;
  }
}

}  // namespace
