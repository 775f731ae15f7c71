// The UPS protocol handler as conversations: each request's exact reply in a fresh session.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "upsd/ups_protocol.h"
#include "upsd/ups_server.h"

namespace kelvra::upsd {
namespace {

struct Exchange {
  const char* request;
  const char* reply;
  bool close = false;
};

const std::vector<UpsView> kUpses = {
    {"power1",
     "48 V \"DC\" \\ plant",
     false,
     {{"battery.voltage", "49.5"}, {"ups.status", "OB LB"}},
     2},
    {"power2", "stale one", true, {{"ups.status", "OL"}}, 0},
};
const std::vector<UpsUser> kUsers = {{"mon", "secret", false}, {"admin", "pw", true}};

TEST(UpsProtocol, ConversationsGetTheirExactReplies) {
  const std::vector<std::vector<Exchange>> conversations = {
      {{"VER", "kelvra-host 1.0\n"}, {"NETVER", "1.3\n"}},
      {{"LIST UPS",
        "BEGIN LIST UPS\nUPS power1 \"48 V \\\"DC\\\" \\\\ plant\"\nUPS power2 \"stale one\"\n"
        "END LIST UPS\n"}},
      {{"LIST VAR power1",
        "BEGIN LIST VAR power1\nVAR power1 battery.voltage \"49.5\"\n"
        "VAR power1 ups.status \"OB LB\"\nEND LIST VAR power1\n"},
       {"LIST VAR power2", "ERR DATA-STALE\n"},
       {"LIST VAR power3", "ERR UNKNOWN-UPS\n"},
       {"LIST VAR", "ERR INVALID-ARGUMENT\n"},
       {"LIST CMD power2", "BEGIN LIST CMD power2\nEND LIST CMD power2\n"},
       {"LIST ENUM power1 ups.status", "ERR INVALID-ARGUMENT\n"}},
      {{"GET VAR power1 battery.voltage", "VAR power1 battery.voltage \"49.5\"\n"},
       {"get var \"power1\"   ups.status", "VAR power1 ups.status \"OB LB\"\n"},
       {"GET VAR power1 input.voltage", "ERR VAR-NOT-SUPPORTED\n"},
       {"GET VAR power2 ups.status", "ERR DATA-STALE\n"},
       {"GET VAR power1", "ERR INVALID-ARGUMENT\n"},
       {"GET UPSDESC power2", "UPSDESC power2 \"stale one\"\n"},
       {"GET NUMLOGINS power1", "NUMLOGINS power1 2\n"},
       {"GET NUMLOGINS power9", "ERR UNKNOWN-UPS\n"}},
      {{"LOGIN power1", "ERR USERNAME-REQUIRED\n"},
       {"USERNAME mon", "OK\n"},
       {"USERNAME admin", "ERR ALREADY-SET-USERNAME\n"},
       {"LOGIN power1", "ERR PASSWORD-REQUIRED\n"},
       {"PASSWORD wrong", "OK\n"},
       {"PASSWORD secret", "ERR ALREADY-SET-PASSWORD\n"},
       {"LOGIN power1", "ERR ACCESS-DENIED\n"}},
      {{"USERNAME mon", "OK\n"},
       {"PASSWORD \"secret\"", "OK\n"},
       {"LOGIN power9", "ERR UNKNOWN-UPS\n"},
       {"LOGIN power1", "OK\n"},
       {"LOGIN power2", "ERR ALREADY-LOGGED-IN\n"},
       {"PRIMARY power1", "ERR ACCESS-DENIED\n"},
       {"LOGOUT", "OK Goodbye\n", true}},
      {{"USERNAME admin", "OK\n"},
       {"PASSWORD pw", "OK\n"},
       {"PRIMARY power1", "ERR ACCESS-DENIED\n"},
       {"LOGIN power1", "OK\n"},
       {"PRIMARY power2", "ERR ACCESS-DENIED\n"},
       {"MASTER power1", "OK MASTER-GRANTED\n"},
       {"PRIMARY power1", "OK PRIMARY-GRANTED\n"}},
      {{"", "ERR UNKNOWN-COMMAND\n"},
       {"FOO power1", "ERR UNKNOWN-COMMAND\n"},
       {"GET VAR \"power1", "ERR INVALID-ARGUMENT\n"},
       {"GET VAR power1 x\\", "ERR INVALID-ARGUMENT\n"},
       {"SET VAR power1 battery.voltage 60", "ERR ACCESS-DENIED\n"},
       {"INSTCMD power1 shutdown.return", "ERR ACCESS-DENIED\n"},
       {"FSD power1", "ERR ACCESS-DENIED\n"},
       {"STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n"}},
  };
  const ProtocolContext context{kUpses, kUsers, "kelvra-host 1.0"};
  for (const auto& conversation : conversations) {
    SessionState session;
    for (const Exchange& exchange : conversation) {
      const Reply reply = handle_request(exchange.request, session, context);
      EXPECT_EQ(reply.text, exchange.reply) << exchange.request;
      EXPECT_EQ(reply.close, exchange.close) << exchange.request;
    }
  }
}

TEST(UpsProtocol, RequestWordsAndQuotes) {
  using Words = std::vector<std::string>;
  EXPECT_EQ(split_request("a  \"b c\"\td\\\"e"), (Words{"a", "b c", "d\"e"}));
  EXPECT_EQ(split_request("\"\" x"), (Words{"", "x"}));
  EXPECT_EQ(split_request(" \t "), Words{});
  EXPECT_EQ(split_request("\"open"), std::nullopt);
  EXPECT_EQ(split_request("end\\"), std::nullopt);
  EXPECT_EQ(quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
}

TEST(UpsProtocol, ListenAddresses) {
  struct Case {
    const char* text;
    const char* address;  // nullptr: refused
    unsigned short port;
  } cases[] = {
      {"127.0.0.1", "127.0.0.1", 3493}, {"0.0.0.0:1234", "0.0.0.0", 1234},
      {"[::1]:3494", "::1", 3494},      {"::1", "::1", 3493},
      {"[::1]", "::1", 3493},           {"127.0.0.1:", nullptr, 0},
      {"127.0.0.1:65536", nullptr, 0},  {"localhost:3493", nullptr, 0},
  };
  for (const Case& c : cases) {
    UpsServerOptions options;
    if (c.address == nullptr) {
      EXPECT_THROW(parse_ups_listen(c.text, options), std::invalid_argument) << c.text;
      continue;
    }
    parse_ups_listen(c.text, options);
    EXPECT_EQ(options.address, c.address) << c.text;
    EXPECT_EQ(options.port, c.port) << c.text;
  }
}

TEST(UpsProtocol, UsersFile) {
  const std::string path = ::testing::TempDir() + "ups_users_test";
  const auto users_of = [&path](const char* text) {
    std::ofstream(path) << text;
    return read_users_file(path);
  };
  const std::vector<UpsUser> users = users_of("# site monitors\n\nmon  secret\nadmin pw primary\n");
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0].name + " " + users[0].password, "mon secret");
  EXPECT_FALSE(users[0].primary);
  EXPECT_TRUE(users[1].primary);
  const struct {
    const char* text;
    const char* error;
  } refused[] = {
      {"mon secret\nlonely\n", " line 2: expected NAME PASSWORD [primary]"},
      {"mon secret admin\n", " line 1: \"admin\": expected primary"},
      {"mon secret primary x\n", " line 1: text after the role"},
  };
  for (const auto& c : refused) {
    try {
      users_of(c.text);
      ADD_FAILURE() << c.text << " was taken";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), path + c.error);
    }
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace kelvra::upsd
