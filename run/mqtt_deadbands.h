// The "deadbands" member of the MQTT settings: the least change of a reading, per field, that is
// published on its own.
#pragma once

#include <map>
#include <string>

#include "hostkit/json_input.h"

namespace kelvra::run {

// Field name as the record lists it ("ac.channel[0].a") to deadband in the field's base unit.
using Deadbands = std::map<std::string, double>;

// {FIELD: number}; throws naming the member for a field that is not a reading of the record or a
// negative or non-finite number.
Deadbands read_deadbands(const hostkit::JsonNode& node);

}  // namespace kelvra::run
