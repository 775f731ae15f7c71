#include "modbus/modbus_map_listing.h"

#include <cstdio>

#include "hostkit/json_output.h"
#include "modbus/modbus_map.h"

namespace kelvra::modbus {
namespace {

std::string text_listing() {
  std::string text = "address  function  type     field                    unit  label\n";
  char line[512];
  for (const MapEntry& entry : modbus_map()) {
    std::snprintf(line, sizeof line, "%-8u %-9s %-8s %-24s %-5s %s\n", unsigned{entry.address},
                  function_codes(entry.table), value_type_name(entry.type), entry.field.c_str(),
                  entry.unit.c_str(), entry.label.c_str());
    text += line;
  }
  return text;
}

std::string csv_listing() {
  std::string text = run::csv_line({"address", "function", "type", "field", "unit", "label"});
  for (const MapEntry& entry : modbus_map()) {
    text += run::csv_line({std::to_string(entry.address), function_codes(entry.table),
                           value_type_name(entry.type), entry.field, entry.unit, entry.label});
  }
  return text;
}

std::string json_listing() {
  Json::Value entries(Json::arrayValue);
  for (const MapEntry& entry : modbus_map()) {
    Json::Value item(Json::objectValue);
    item["address"] = entry.address;
    item["function"] = function_codes(entry.table);
    item["type"] = value_type_name(entry.type);
    item["field"] = entry.field;
    item["unit"] = entry.unit;
    item["label"] = entry.label;
    entries.append(item);
  }
  Json::Value root(Json::objectValue);
  root["map_version"] = kMapVersion;
  root["entries"] = entries;
  return hostkit::json_text(root) + "\n";
}

}  // namespace

std::string map_listing(run::ListingFormat format) {
  switch (format) {
    case run::ListingFormat::csv:
      return csv_listing();
    case run::ListingFormat::json:
      return json_listing();
    case run::ListingFormat::text:
      break;
  }
  return text_listing();
}

}  // namespace kelvra::modbus
