// What `kelvra-host decode` makes of its argument and how it lists a record; kept apart from the
// command so the fuzz target drives exactly this code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/kelvra_419_data.h"

namespace kelvra::run {

// Hex text (hostkit::parse_hex, at least one byte) gives its bytes; any other content gives
// itself when it was read from a file and nullopt when it was typed as the argument.
std::optional<std::vector<std::uint8_t>> decode_input_bytes(const std::string& content,
                                                            bool from_file);

// The bytes `decode` takes from its argument: a record file (binary or hex, at most 64 KiB), or
// hex given directly. Throws hostkit::InputError "SOURCE: neither a readable file nor hex
// digits", and std::runtime_error "SOURCE: REASON" for a file that exists but cannot be read.
std::vector<std::uint8_t> read_record_source(const std::string& source);

// The record as `decode` prints it: offset, name and value per field, one line each; or as one
// JSON line. Every line ends in a newline.
std::string decode_listing(const kelvra_419_Data_t& record, bool json);

}  // namespace kelvra::run
