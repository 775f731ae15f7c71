#include "hostkit/json_output.h"

#include <cmath>

#include <json/writer.h>

namespace kelvra::hostkit {

Json::Value finite_json(const Json::Value& value) {
  if (value.isDouble()) return std::isfinite(value.asDouble()) ? value : Json::Value();
  if (value.isArray()) {
    Json::Value out(Json::arrayValue);
    for (const Json::Value& element : value) out.append(finite_json(element));
    return out;
  }
  if (value.isObject()) {
    Json::Value out(Json::objectValue);
    for (const std::string& name : value.getMemberNames()) out[name] = finite_json(value[name]);
    return out;
  }
  return value;
}

std::string json_text(const Json::Value& value) {
  static const Json::StreamWriterBuilder builder = [] {
    Json::StreamWriterBuilder settings;
    settings["indentation"] = "";
    settings["precision"] = 15;
    settings["emitUTF8"] = true;
    return settings;
  }();
  return Json::writeString(builder, finite_json(value));
}

}  // namespace kelvra::hostkit
