// The bus scan over a line with two simulated devices, and the lists its options take.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fieldtools/bus_scan.h"
#include "sim/simulator_server.h"
#include "tests/line/bench_fixture.h"

namespace {

using namespace std::chrono_literals;
using kelvra::fieldtools::ListError;
using kelvra::fieldtools::parse_number_list;

TEST(NumberList, ReadsRangesAndListsAndRefusesTheRest) {
  struct Case {
    const char* text;
    std::vector<unsigned> numbers;  // empty: refused
  };
  const Case cases[] = {
      {"1-254", {}},  // checked by size below
      {"3,17", {3, 17}},
      {"17,3,3", {17, 3}},
      {"1-3,2-4", {1, 2, 3, 4}},
      {"0x20,0x21", {0x20, 0x21}},
      {"254", {254}},
      {"0", {}},
      {"255", {}},
      {"", {}},
      {"3,", {}},
      {",3", {}},
      {"5-3", {}},
      {"1-", {}},
      {"a", {}},
      {"3 ", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (std::string(c.text) == "1-254") {
      const auto all = parse_number_list("--addresses", c.text, 1, 254);
      ASSERT_EQ(all.size(), 254u);
      EXPECT_EQ(all.front(), 1u);
      EXPECT_EQ(all.back(), 254u);
    } else if (c.numbers.empty()) {
      EXPECT_THROW(parse_number_list("--addresses", c.text, 1, 254), ListError);
    } else {
      EXPECT_EQ(parse_number_list("--addresses", c.text, 1, 254), c.numbers);
    }
  }
  EXPECT_EQ(parse_number_list("--ver", "0x20,0x21", 0x20, 0x21),
            (std::vector<unsigned>{0x20, 0x21}));
  try {
    parse_number_list("--baud", "9600,x", 50, 4000000);
    FAIL() << "no error";
  } catch (const ListError& error) {
    EXPECT_STREQ(error.what(), "--baud: \"x\" is not a number from 50 to 4000000");
  }
}

TEST(BusScan, FindsExactlyTheTwoDevicesOnTheLine) {
  kelvra::sim::SimulatorConfig config =
      bench_testing::quiet_simulator(*kelvra::sim::builtin_scenario("normal"));
  config.responder.address = 3;
  kelvra::sim::ResponderSettings second;
  second.address = 17;
  second.ver = 0x21;
  config.more_devices = {second};
  bench_testing::TempDir dir;
  kelvra::sim::SimulatorServer server(config, {"", dir.file("tty")}, nullptr);
  server.start();

  kelvra::fieldtools::CommandPort port(dir.file("tty"), 9600, nullptr);
  kelvra::fieldtools::ScanOptions options;
  for (std::uint8_t address = 1; address <= 20; ++address) options.addresses.push_back(address);
  options.try_timeout = 100ms;
  std::size_t progress_calls = 0;
  const auto report =
      kelvra::fieldtools::scan_bus(port, options, [&](const kelvra::fieldtools::ScanTry& next) {
        EXPECT_EQ(next.index, progress_calls);
        EXPECT_EQ(next.total, 40u);
        ++progress_calls;
      });

  ASSERT_EQ(report.hits.size(), 2u);
  std::vector<std::string> found;
  for (const auto& hit : report.hits) {
    std::string text = kelvra::fieldtools::hit_text(hit);
    // The round trip varies; the rest does not.
    found.push_back(text.substr(0, text.find(", RTN 00, ") + 8) + " " +
                    (hit.modules ? std::to_string(*hit.modules) : "-"));
  }
  EXPECT_EQ(found, (std::vector<std::string>{"address 3: VER 20, 9600 baud, RTN 00 6",
                                             "address 17: VER 21, 9600 baud, RTN 00 6"}));
  // Address 3 answers at the first VER; every other address is asked at both.
  EXPECT_EQ(report.tries, 39u);
  EXPECT_EQ(progress_calls, 39u);
  EXPECT_EQ(kelvra::fieldtools::summary_text(report).substr(0, 29),
            "2 devices answered 39 tries i");
  const Json::Value hit = kelvra::fieldtools::hit_json(report.hits[1]);
  EXPECT_EQ(hit["address"].asUInt(), 17u);
  EXPECT_EQ(hit["ver"].asString(), "21");
  EXPECT_EQ(hit["rtn"].asString(), "00");
  EXPECT_EQ(hit["modules"].asUInt(), 6u);
}

TEST(BusScan, ReportsAVersionErrorWhenNoVersionFits) {
  kelvra::sim::SimulatorConfig config =
      bench_testing::quiet_simulator(*kelvra::sim::builtin_scenario("normal"));
  config.responder.ver = 0x21;
  bench_testing::TempDir dir;
  kelvra::sim::SimulatorServer server(config, {"", dir.file("tty")}, nullptr);
  server.start();
  kelvra::fieldtools::CommandPort port(dir.file("tty"), 9600, nullptr);
  kelvra::fieldtools::ScanOptions options;
  options.addresses = {1, 2};
  options.vers = {0x20};
  options.try_timeout = 150ms;
  const auto report = kelvra::fieldtools::scan_bus(port, options);
  ASSERT_EQ(report.hits.size(), 1u);
  EXPECT_EQ(report.hits[0].address, 1u);
  EXPECT_EQ(report.hits[0].rtn, 0x01);
  EXPECT_FALSE(report.hits[0].modules);
  EXPECT_EQ(report.tries, 2u);
}

TEST(BusScan, NothingAnswersOnASilentLine) {
  kelvra::sim::SimulatorConfig config =
      bench_testing::quiet_simulator(*kelvra::sim::builtin_scenario("normal"));
  config.responder.address = 200;
  bench_testing::TempDir dir;
  kelvra::sim::SimulatorServer server(config, {"", dir.file("tty")}, nullptr);
  server.start();
  kelvra::fieldtools::CommandPort port(dir.file("tty"), 9600, nullptr);
  kelvra::fieldtools::ScanOptions options;
  options.addresses = {1, 2, 3};
  options.bauds = {9600, 19200};
  options.try_timeout = 100ms;
  const auto report = kelvra::fieldtools::scan_bus(port, options);
  EXPECT_TRUE(report.hits.empty());
  EXPECT_EQ(report.tries, 12u);
  EXPECT_EQ(kelvra::fieldtools::summary_text(report).substr(0, 29),
            "nothing answered 12 tries in ");
}

}  // namespace
