#include "station/control_check.h"

#include <cctype>
#include <cstdlib>
#include <regex>

#include "device/control_codes.h"
#include "device/pmbuspower_419.h"
#include "hostkit/hex.h"
#include "hostkit/input_error.h"
#include "hostkit/json_input.h"
#include "record/kelvra_419_fields.h"

namespace kelvra::station {
namespace {

using pmbuspower_control::kRectifierCommand;
using pmbuspower_control::kRectifierSwitch;
using pmbuspower_control::kSetDcValue;
constexpr auto kRectifierCommandBytes =
    static_cast<std::size_t>(pmbuspower_control::kRectifierCommandLength);
constexpr const char* kNothingSent = ": nothing was sent";

ControlVerdict refuse(const std::string& words) {
  return ControlVerdict{true, words, false};
}

// A refusal of the number and range checks, which --force overrides.
ControlVerdict refuse_forceable(const std::string& words) {
  return ControlVerdict{true, words, true};
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// Digits with at most one decimal point and an optional sign: what the device's conversion reads
// in full. Anything else it turns into 0 or a part of the text.
bool is_decimal(const std::string& text) {
  static const std::regex decimal(R"([+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+))");
  return std::regex_match(text, decimal);
}

std::string number_text(double value) {
  return record::float_text(static_cast<float>(value));
}

ControlVerdict check_set_value(const std::string& argument, const ControlTable& table,
                               const SetValueRange& range) {
  const std::string example =
      R"(code 310 takes a JSON object such as {"signal_id":")" +
      (table.set_value_signals.empty() ? std::string("006201") : table.set_value_signals.front()) +
      R"(","SetValue":"53.5"})";
  Json::Value request;
  try {
    request = hostkit::parse_json(argument, hostkit::JsonLimits{argument.size(), 10});
  } catch (const hostkit::InputError&) {
    return refuse(example);
  }
  if (!request.isObject()) return refuse(example);
  const Json::Value& signal = request["signal_id"];
  if (!signal.isString()) return refuse(example);
  bool known = false;
  for (const std::string& id : table.set_value_signals) known = known || id == signal.asString();
  if (!known) {
    return refuse("no such signal \"" + signal.asString() + "\" (" +
                  joined(table.set_value_signals) + ")");
  }
  const Json::Value& set_value = request["SetValue"];
  double value = 0;
  if (set_value.isString()) {
    if (!is_decimal(set_value.asString())) {
      return refuse_forceable("SetValue \"" + set_value.asString() +
                              "\" is not a decimal number; the device would send 0");
    }
    value = std::strtod(set_value.asString().c_str(), nullptr);
  } else if (set_value.isNumeric()) {
    value = set_value.asDouble();
  } else {
    return refuse(example);
  }
  if (value < range.min || value > range.max) {
    return refuse_forceable("SetValue " + number_text(value) + " lies outside " +
                            number_text(range.min) + " to " + number_text(range.max) + " V");
  }
  return {};
}

}  // namespace

const ControlTable& device_control_table() {
  static const ControlTable table = [] {
    ControlTable built;
    for (const auto& signal : pmbuspower_control::kSetValueSignals) {
      built.set_value_signals.emplace_back(signal.id);
    }
    for (const auto& command : pmbuspower_control::kSwitchSignals) {
      built.switch_commands.emplace_back(command.id);
    }
    return built;
  }();
  return table;
}

ControlVerdict check_control(int code, const std::string& argument, const ControlTable& table,
                             const SetValueRange& range) {
  switch (code) {
    case kRectifierCommand: {
      const auto hex = hostkit::parse_hex(argument);
      if (!hex) {
        return refuse("code 300 takes its bytes in hex, e.g. 01020304050607");
      }
      const std::size_t bytes = hex->size();
      if (bytes != kRectifierCommandBytes) {
        return refuse("code 300 takes 7 bytes, got " + std::to_string(bytes));
      }
      return {};
    }
    case kSetDcValue:
      return check_set_value(argument, table, range);
    case kRectifierSwitch:
      for (const std::string& command : table.switch_commands) {
        if (command == argument) return {};
      }
      return refuse("no such command");
    default:
      return ControlVerdict{
          false, "code " + std::to_string(code) + " reads back the last control outcome", false};
  }
}

std::string refusal_text(const ControlVerdict& verdict, bool origin_can_force) {
  std::string text = verdict.words + kNothingSent;
  if (!verdict.forceable) return text;
  return text + (origin_can_force
                     ? " (--force sends it)"
                     : " (forcing is only possible on the host itself: kelvra-host control "
                       "--force, through its control socket)");
}

}  // namespace kelvra::station
