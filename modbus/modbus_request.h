// Modbus TCP requests answered without I/O: an application data unit (the 7-byte MBAP header and
// the PDU, big-endian) in, the response's out. Only reads are served.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "modbus/modbus_map.h"

namespace kelvra::modbus {

constexpr std::size_t kHeaderSize = 7;        // transaction, protocol, length, unit
constexpr std::size_t kMaxRequestSize = 260;  // header and the longest PDU, 253 bytes

enum class ExceptionCode : std::uint8_t {
  illegal_function = 0x01,
  illegal_data_address = 0x02,
  illegal_data_value = 0x03,
  gateway_path_unavailable = 0x0A,  // no device answers as that unit
};

// The whole request's size from its header; nullopt for a header that is not Modbus TCP
// (protocol other than 0, or a length that leaves no function code or passes 253 bytes of PDU),
// after which the stream cannot be framed and the connection is closed.
std::optional<std::size_t> request_size(const std::uint8_t* header);

// The image a unit answers with; nullopt for a unit no device answers as.
using UnitImage = std::function<std::optional<DeviceImage>(std::uint8_t unit)>;

// The response to one whole request of request_size's size: the data read, or an exception.
std::vector<std::uint8_t> answer_request(const std::uint8_t* request, std::size_t size,
                                         const UnitImage& image_of);

}  // namespace kelvra::modbus
