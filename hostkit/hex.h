// Hex text of bytes, read and written the same way by every command that takes or shows hex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra::hostkit {

// Bytes written as pairs of hex digits, either case. Blanks (space, tab, CR, LF) may stand
// between pairs but never inside one; nullopt on any other character or a lone digit. Empty
// text gives no bytes.
std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view text);

enum class HexCase { lower, upper };

// Two digits per byte, no blanks; lower case unless asked (the wire trace and control texts
// write the protocol's upper case).
std::string to_hex(const std::uint8_t* bytes, std::size_t count, HexCase letters = HexCase::lower);

}  // namespace kelvra::hostkit
