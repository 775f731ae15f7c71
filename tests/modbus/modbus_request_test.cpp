// Requests and their answers as bytes on the wire, against a small image of one unit.
#include <gtest/gtest.h>

#include "hostkit/hex.h"
#include "modbus/modbus_request.h"

namespace {

using kelvra::modbus::DeviceImage;

std::vector<std::uint8_t> bytes(const char* hex) {
  return *kelvra::hostkit::parse_hex(hex);
}

// Unit 1: registers 1, 0, 53.5 as float32 (0x42560000), NaN's high word; bits 1011 0000 1.
std::optional<DeviceImage> unit_one(std::uint8_t unit) {
  if (unit != 1) return std::nullopt;
  return DeviceImage{{0x0001, 0x0000, 0x4256, 0x0000, 0x7FC0},
                     {true, false, true, true, false, false, false, false, true}};
}

struct Exchange {
  const char* what;
  const char* request;
  const char* response;
};

const Exchange kExchanges[] = {
    {"input registers", "1234 0000 0006 01 04 0000 0003", "1234 0000 0009 01 04 06 0001 0000 4256"},
    {"holding registers read the same map", "1234 0000 0006 01 03 0002 0002",
     "1234 0000 0007 01 03 04 4256 0000"},
    {"last register", "1234 0000 0006 01 04 0004 0001", "1234 0000 0005 01 04 02 7FC0"},
    {"discrete inputs, least bit first", "1234 0000 0006 01 02 0000 0009",
     "1234 0000 0005 01 02 02 0D 01"},
    {"coils read the same bits", "1234 0000 0006 01 01 0002 0002", "1234 0000 0004 01 01 01 03"},
    {"write single register", "1234 0000 0006 01 06 0000 0001", "1234 0000 0003 01 86 01"},
    {"write multiple registers", "1234 0000 0009 01 10 0000 0001 02 0007",
     "1234 0000 0003 01 90 01"},
    {"write single coil", "1234 0000 0006 01 05 0000 FF00", "1234 0000 0003 01 85 01"},
    {"device identification", "1234 0000 0003 01 2B 0E", "1234 0000 0003 01 AB 01"},
    {"126 registers", "1234 0000 0006 01 04 0000 007E", "1234 0000 0003 01 84 03"},
    {"no register", "1234 0000 0006 01 03 0000 0000", "1234 0000 0003 01 83 03"},
    {"2001 bits", "1234 0000 0006 01 02 0000 07D1", "1234 0000 0003 01 82 03"},
    {"2000 bits past the bits", "1234 0000 0006 01 02 0000 07D0", "1234 0000 0003 01 82 02"},
    {"one register past the map", "1234 0000 0006 01 04 0004 0002", "1234 0000 0003 01 84 02"},
    {"start past the map", "1234 0000 0006 01 04 0005 0001", "1234 0000 0003 01 84 02"},
    {"start and count past 65535", "1234 0000 0006 01 04 FFFF 007D", "1234 0000 0003 01 84 02"},
    {"a byte too many", "1234 0000 0007 01 04 0000 0001 00", "1234 0000 0003 01 84 03"},
    {"a byte too few", "1234 0000 0005 01 04 0000 00", "1234 0000 0003 01 84 03"},
    {"unit no device answers as", "1234 0000 0006 09 04 0000 0001", "1234 0000 0003 09 84 0A"},
};

TEST(ModbusRequest, AnswersEachRequestWithItsBytes) {
  for (const Exchange& exchange : kExchanges) {
    const std::vector<std::uint8_t> request = bytes(exchange.request);
    ASSERT_EQ(kelvra::modbus::request_size(request.data()), request.size()) << exchange.what;
    const auto response = kelvra::modbus::answer_request(request.data(), request.size(), unit_one);
    EXPECT_EQ(response, bytes(exchange.response)) << exchange.what;
  }
}

TEST(ModbusRequest, HeadersThatCannotBeFramedCloseTheConnection) {
  const struct {
    const char* header;
    std::optional<std::size_t> size;
  } cases[] = {
      {"0001 0000 0006 01", 12}, {"0001 0000 00FE 01", 260}, {"0001 0000 0002 01", 8},
      {"0001 0001 0006 01", {}}, {"0001 0000 0001 01", {}},  {"0001 0000 0000 01", {}},
      {"0001 0000 00FF 01", {}}, {"0001 FFFF 0006 01", {}},
  };
  for (const auto& row : cases) {
    EXPECT_EQ(kelvra::modbus::request_size(bytes(row.header).data()), row.size) << row.header;
  }
}

}  // namespace
