#pragma once

#include <climits>
#include <cstdint>
#include <string>

#include <json/value.h>

// Settings arrive as JSON values whose text form holds a decimal number ("1", "0", "-1").

// Decimal text to int the way atoi reads it: leading white space, an optional sign, then digits up
// to the first non-digit; no number gives 0. Values beyond the int range saturate at its ends.
inline int text_to_int(const std::string& text) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  // Magnitude accumulated up to one past INT_MAX, enough to saturate either end.
  const std::int64_t limit = static_cast<std::int64_t>(INT_MAX) + 1;
  std::int64_t magnitude = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    magnitude = magnitude * 10 + (text[pos] - '0');
    if (magnitude > limit) magnitude = limit;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > INT_MAX) return INT_MAX;
  return static_cast<int>(value);
}

// parent[key] when parent is an object, else null.
inline const Json::Value& setting_member(const Json::Value& parent, const char* key) {
  return parent.isObject() ? parent[key] : Json::Value::nullSingleton();
}

// The text form of parent[key] when parent is an object holding key with a value other than null
// that has one; objects and arrays have none and count as absent.
inline bool setting_text(const Json::Value& parent, const char* key, std::string& text) {
  const Json::Value& value = setting_member(parent, key);
  if (value.isNull() || value.isObject() || value.isArray()) return false;
  text = value.asString();
  return true;
}

// Sets number from parent[key] read as decimal text when present; otherwise leaves it.
inline void read_int_setting(const Json::Value& parent, const char* key, int& number) {
  std::string text;
  if (setting_text(parent, key, text)) number = text_to_int(text);
}

// Sets flag to "the decimal text is not 0" when parent[key] is present; otherwise leaves it.
inline void read_flag_setting(const Json::Value& parent, const char* key, bool& flag) {
  std::string text;
  if (setting_text(parent, key, text)) flag = text_to_int(text) != 0;
}
