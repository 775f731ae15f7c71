// Reading of request targets, listen addresses and token files; series steps; field units and
// metric label escaping.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "record/kelvra_419_fields.h"
#include "run/bench_run.h"
#include "web/api.h"
#include "web/http_server.h"
#include "web/metrics.h"
#include "web/request_params.h"

namespace {

using kelvra::web::RequestError;

TEST(RequestTarget, SplitsAndDecodesStrictly) {
  const struct {
    const char* target;
    const char* path;
    std::map<std::string, std::string> params;
    const char* error;  // empty: accepted
  } cases[] = {
      {"/api/v1/devices", "/api/v1/devices", {}, ""},
      {"/a%20b?x=1&y=two+words&z=%41%42",
       "/a b",
       {{"x", "1"}, {"y", "two words"}, {"z", "AB"}},
       ""},
      {"/p?flag&&empty=", "/p", {{"flag", ""}, {"empty", ""}}, ""},
      {"/p+q", "/p+q", {}, ""},
      {"/p?x=%4", "", {}, "bad percent escape"},
      {"/p?x=%G1", "", {}, "bad percent escape"},
      {"/%", "", {}, "bad percent escape"},
      {"/p?x=1&x=2", "", {}, "given twice"},
  };
  for (const auto& each : cases) {
    if (*each.error) {
      try {
        kelvra::web::parse_target(each.target);
        ADD_FAILURE() << each.target << " was taken";
      } catch (const RequestError& error) {
        EXPECT_EQ(error.status(), 400u);
        EXPECT_NE(std::string(error.what()).find(each.error), std::string::npos) << error.what();
      }
      continue;
    }
    const kelvra::web::Target target = kelvra::web::parse_target(each.target);
    EXPECT_EQ(target.path, each.path) << each.target;
    EXPECT_EQ(target.params, each.params) << each.target;
  }
  EXPECT_THROW(kelvra::web::parse_target("/p?v=" + std::string(257, 'a')), RequestError);
  EXPECT_NO_THROW(kelvra::web::parse_target("/p?v=" + std::string(256, 'a')));
  EXPECT_EQ(kelvra::web::path_parts("//api/v1//devices/x/"),
            (std::vector<std::string>{"api", "v1", "devices", "x"}));
}

TEST(RequestTarget, TimesAreEpochMillisecondsOrLocalTimeText) {
  setenv("TZ", "UTC", 1);
  tzset();
  const struct {
    const char* text;
    std::optional<std::int64_t> ms;  // nullopt: refused
  } cases[] = {
      {"1765200000000", 1765200000000},
      {"0", 0},
      {"2026-12-08", 1796688000000},
      {"2026-12-08 14:30", 1796740200000},
      {"2026-12-08T14:30:05", 1796740205000},
      {"2026-12-08 14:30:05.250", 1796740205250},
      {"2026-12-08 14:3", std::nullopt},
      {"2026-13-08", std::nullopt},
      {"2026-12-08 24:00", std::nullopt},
      {"yesterday", std::nullopt},
      {"-5", std::nullopt},
      {"1e12", std::nullopt},
  };
  for (const auto& each : cases) {
    kelvra::web::Target target;
    target.params["since"] = each.text;
    if (each.ms) {
      EXPECT_EQ(kelvra::web::time_param(target, "since"), each.ms) << each.text;
    } else {
      EXPECT_THROW(kelvra::web::time_param(target, "since"), RequestError) << each.text;
    }
  }
  EXPECT_EQ(kelvra::web::epoch_ms_of("2026-12-08 14:30:05.250"), 1796740205250);
  EXPECT_EQ(kelvra::web::time_param(kelvra::web::Target{}, "since"), std::nullopt);
}

TEST(FieldUnits, ReadingsHaveBaseUnitsOthersNone) {
  const struct {
    const char* field;
    const char* unit;
  } cases[] = {
      {"ac.channel[0].a", "V"},
      {"ac.channel[1].c", "V"},
      {"ac.channel[0].f", "Hz"},
      {"rc.channel[39].value", "A"},
      {"rc.group_value", "V"},
      {"dc.out_v", "V"},
      {"dc2.out_i", "A"},
      {"dc.m[2]", "A"},
      {"ac.channel[0].a_state", ""},
      {"ac.channel[x].a", ""},
      {"dc.m_count", ""},
      {"dc.p[0]", ""},
      {"dc.out_v_state", ""},
      {"data_id", ""},
      {"rc.group_value2", ""},
      {"", ""},
  };
  for (const auto& each : cases) {
    EXPECT_EQ(kelvra::record::describe_field(each.field).unit, each.unit) << each.field;
  }
}

TEST(Metrics, LabelValuesAreEscaped) {
  EXPECT_EQ(kelvra::web::label_value("a\"b\\c\nd 电"), "a\\\"b\\\\c\\nd 电");
}

TEST(ListenAddress, AddressAndPortAreChecked) {
  const struct {
    const char* text;
    const char* address;  // empty: refused
    unsigned short port;
  } cases[] = {
      {"127.0.0.1:8080", "127.0.0.1", 8080},
      {"8080", "127.0.0.1", 8080},
      {":0", "127.0.0.1", 0},
      {"0.0.0.0:80", "0.0.0.0", 80},
      {"[::1]:9000", "::1", 9000},
      {"localhost:8080", "", 0},
      {"127.0.0.1:65536", "", 0},
      {"127.0.0.1:", "", 0},
      {"127.0.0.1:-1", "", 0},
      {"127.0.0.1:80x", "", 0},
  };
  for (const auto& each : cases) {
    kelvra::web::HttpOptions options;
    if (*each.address) {
      kelvra::web::parse_listen_address(each.text, options);
      EXPECT_EQ(options.address, each.address) << each.text;
      EXPECT_EQ(options.port, each.port) << each.text;
    } else {
      EXPECT_THROW(kelvra::web::parse_listen_address(each.text, options), std::invalid_argument)
          << each.text;
    }
  }
}

TEST(TokenFile, OneLineOfPrintableCharacters) {
  char pattern[] = "/tmp/kelvra-token-XXXXXX";
  const int fd = mkstemp(pattern);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string path = pattern;
  const struct {
    std::string content;
    const char* token;  // empty: refused
  } cases[] = {
      {"abc123\n", "abc123"},
      {"abc123", "abc123"},
      {"abc123\r\n", "abc123"},
      {"", ""},
      {"\n", ""},
      {"two words\n", ""},
      {"a\nb\n", ""},
      {std::string(4097, 'k'), ""},
      {std::string(4096, 'k'), "k"},
  };
  for (const auto& each : cases) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << each.content;
    if (*each.token) {
      const std::string token = kelvra::web::read_token_file(path);
      EXPECT_EQ(token.substr(0, std::strlen(each.token)), each.token);
      EXPECT_EQ(token.size(), each.content.size() == 4096 ? 4096u : std::strlen(each.token));
    } else {
      EXPECT_THROW(kelvra::web::read_token_file(path), kelvra::run::RunError)
          << each.content.size();
    }
  }
  std::remove(path.c_str());
  EXPECT_THROW(kelvra::web::read_token_file(path), kelvra::run::RunError);
}

TEST(HostHeader, OnlyAddressesLocalhostAndConfiguredNamesPass) {
  const std::vector<std::string> names{"Gateway.Site.Example"};
  const struct {
    const char* host;
    bool ours;
  } cases[] = {
      {"", true},
      {"127.0.0.1", true},
      {"127.0.0.1:8080", true},
      {"192.0.2.7:80", true},
      {"[::1]:8080", true},
      {"[::1]", true},
      {"localhost:8080", true},
      {"LOCALHOST.", true},
      {"gateway.site.example:8080", true},
      {"gateway.site.example.", true},
      {"attacker.example", false},
      {"attacker.example:8080", false},
      {"127.0.0.1.attacker.example", false},
      {"localhost.attacker.example", false},
      {"[::1", false},
      {"[::1]x", false},
      {"[not-v6]:80", false},
      {"127.0.0.1:80x", false},
      {"127.0.0.1:", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kelvra::web::host_is_ours(c.host, names), c.ours) << c.host;
  }
}

}  // namespace
