#include "hostkit/serial_rates.h"

#include <cctype>
#include <cstdlib>
#include <iterator>

#include "hostkit/input_error.h"

namespace kelvra::hostkit {
namespace {

struct SerialRate {
  unsigned baud;
  speed_t speed;
};

constexpr SerialRate kSerialRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {2000000, B2000000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

[[noreturn]] void refuse(const std::string& field, const std::string& got) {
  throw InputError(field + ": expected one of the rates " + serial_rates_text() + ", got " + got);
}

}  // namespace

std::optional<speed_t> serial_speed(unsigned baud) {
  for (const SerialRate& rate : kSerialRates) {
    if (rate.baud == baud) return rate.speed;
  }
  return std::nullopt;
}

std::string serial_rates_text() {
  std::string text;
  for (const SerialRate& rate : kSerialRates) {
    if (!text.empty()) text += ' ';
    text += std::to_string(rate.baud);
  }
  return text;
}

unsigned parse_serial_rate(const std::string& field, const std::string& text) {
  char* end = nullptr;
  const unsigned long baud = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' ||
      baud > 4000000UL || !serial_speed(static_cast<unsigned>(baud))) {
    refuse(field, "\"" + text + "\"");
  }
  return static_cast<unsigned>(baud);
}

unsigned check_serial_rate(const std::string& field, long long baud) {
  if (baud < 0 || baud > 4000000 || !serial_speed(static_cast<unsigned>(baud))) {
    refuse(field, std::to_string(baud));
  }
  return static_cast<unsigned>(baud);
}

}  // namespace kelvra::hostkit
