// The one JSON writer of the tools: compact, one line, UTF-8 as it is, every number with at most
// 15 significant digits (so a reading made by record::reading_number prints as "53.3"), and NaN
// or an infinity as null (never 1e+9999, which readers that check a number's range refuse).
#pragma once

#include <string>

#include <json/value.h>

namespace kelvra::hostkit {

std::string json_text(const Json::Value& value);

// The value with every NaN and infinity replaced by null.
Json::Value finite_json(const Json::Value& value);

}  // namespace kelvra::hostkit
