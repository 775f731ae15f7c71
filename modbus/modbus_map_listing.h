// The Modbus map as an integrator imports it into a SCADA system.
#pragma once

#include <string>

#include "run/history_listing.h"

namespace kelvra::modbus {

// Address, function codes, type, field, unit and English label of every entry: aligned text,
// CSV with a header line, or one JSON array.
std::string map_listing(run::ListingFormat format);

}  // namespace kelvra::modbus
