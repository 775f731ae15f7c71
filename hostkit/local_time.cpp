#include "hostkit/local_time.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace kelvra::hostkit {
namespace {

constexpr std::int64_t kMsPerSecond = 1000;

bool is_leap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// The digits of text[at, at + count) as a number; -1 unless they are all digits.
int digits(const std::string& text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::int64_t utc_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string local_time_text(std::int64_t utc_ms) {
  std::int64_t seconds = utc_ms / kMsPerSecond;
  std::int64_t millis = utc_ms % kMsPerSecond;
  if (millis < 0) {
    millis += kMsPerSecond;
    --seconds;
  }
  const auto whole = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&whole, &local);
  char text[48];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + length, sizeof text - length, ".%03d", static_cast<int>(millis));
  return text;
}

std::optional<std::int64_t> parse_local_time(const std::string& text) {
  // Shape: "YYYY-MM-DD" then optionally " HH:MM", ":SS", ".mmm".
  const std::size_t size = text.size();
  if (size != 10 && size != 16 && size != 19 && size != 23) return std::nullopt;
  if (text[4] != '-' || text[7] != '-') return std::nullopt;
  if (size > 10 && ((text[10] != ' ' && text[10] != 'T') || text[13] != ':')) return std::nullopt;
  if (size > 16 && text[16] != ':') return std::nullopt;
  if (size > 19 && text[19] != '.') return std::nullopt;
  const int year = digits(text, 0, 4);
  const int month = digits(text, 5, 2);
  const int day = digits(text, 8, 2);
  const int hour = size > 10 ? digits(text, 11, 2) : 0;
  const int minute = size > 10 ? digits(text, 14, 2) : 0;
  const int second = size > 16 ? digits(text, 17, 2) : 0;
  const int millis = size > 19 ? digits(text, 20, 3) : 0;
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millis < 0) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;  // the zone's rules decide; in the hour repeated at a change, the first
  const std::time_t seconds = std::mktime(&local);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(seconds) * kMsPerSecond + millis;
}

}  // namespace kelvra::hostkit
