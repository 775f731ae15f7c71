#include "modbus/modbus_request.h"

namespace kelvra::modbus {
namespace {

constexpr std::uint8_t kReadCoils = 0x01;
constexpr std::uint8_t kReadDiscreteInputs = 0x02;
constexpr std::uint8_t kReadHoldingRegisters = 0x03;
constexpr std::uint8_t kReadInputRegisters = 0x04;
constexpr std::uint8_t kExceptionFlag = 0x80;
constexpr std::size_t kReadPduSize = 5;  // function, address, count
constexpr std::size_t kMaxPduSize = 253;

std::uint16_t word_at(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

void append_word(std::vector<std::uint8_t>& out, std::uint16_t word) {
  out.push_back(static_cast<std::uint8_t>(word >> 8));
  out.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

// The response PDU to a read, or the exception code it earns.
struct Reply {
  std::vector<std::uint8_t> pdu;
  std::optional<ExceptionCode> exception;
};

Reply read_registers(const std::vector<std::uint16_t>& registers, std::uint8_t function,
                     std::uint16_t address, std::uint16_t count) {
  if (count == 0 || count > kMaxRegisters) return {{}, ExceptionCode::illegal_data_value};
  if (std::size_t{address} + count > registers.size())
    return {{}, ExceptionCode::illegal_data_address};
  Reply reply;
  reply.pdu = {function, static_cast<std::uint8_t>(count * 2)};
  for (std::size_t i = address; i < std::size_t{address} + count; ++i)
    append_word(reply.pdu, registers[i]);
  return reply;
}

Reply read_bits(const std::vector<bool>& bits, std::uint8_t function, std::uint16_t address,
                std::uint16_t count) {
  if (count == 0 || count > kMaxBits) return {{}, ExceptionCode::illegal_data_value};
  if (std::size_t{address} + count > bits.size()) return {{}, ExceptionCode::illegal_data_address};
  Reply reply;
  reply.pdu = {function, static_cast<std::uint8_t>((count + 7) / 8)};
  reply.pdu.resize(2 + (count + 7u) / 8u, 0);
  for (std::size_t i = 0; i < count; ++i) {
    if (bits[address + i]) reply.pdu[2 + i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }
  return reply;
}

Reply answer_pdu(const std::uint8_t* pdu, std::size_t size, std::uint8_t unit,
                 const UnitImage& image_of) {
  const std::uint8_t function = pdu[0];
  const bool reads_bits = function == kReadCoils || function == kReadDiscreteInputs;
  const bool reads_registers = function == kReadHoldingRegisters || function == kReadInputRegisters;
  if (!reads_bits && !reads_registers) return {{}, ExceptionCode::illegal_function};
  if (size != kReadPduSize) return {{}, ExceptionCode::illegal_data_value};
  const std::optional<DeviceImage> image = image_of(unit);
  if (!image) return {{}, ExceptionCode::gateway_path_unavailable};
  const std::uint16_t address = word_at(pdu + 1);
  const std::uint16_t count = word_at(pdu + 3);
  return reads_bits ? read_bits(image->bits, function, address, count)
                    : read_registers(image->registers, function, address, count);
}

}  // namespace

std::optional<std::size_t> request_size(const std::uint8_t* header) {
  const std::uint16_t protocol = word_at(header + 2);
  const std::uint16_t length = word_at(header + 4);  // unit and PDU
  if (protocol != 0 || length < 2 || length > kMaxPduSize + 1) return std::nullopt;
  return kHeaderSize - 1 + length;
}

std::vector<std::uint8_t> answer_request(const std::uint8_t* request, std::size_t size,
                                         const UnitImage& image_of) {
  const std::uint8_t unit = request[6];
  const std::uint8_t function = request[kHeaderSize];
  Reply reply = answer_pdu(request + kHeaderSize, size - kHeaderSize, unit, image_of);
  if (reply.exception) {
    reply.pdu = {static_cast<std::uint8_t>(function | kExceptionFlag),
                 static_cast<std::uint8_t>(*reply.exception)};
  }
  std::vector<std::uint8_t> response(request, request + 4);  // transaction and protocol
  append_word(response, static_cast<std::uint16_t>(reply.pdu.size() + 1));
  response.push_back(unit);
  response.insert(response.end(), reply.pdu.begin(), reply.pdu.end());
  return response;
}

}  // namespace kelvra::modbus
