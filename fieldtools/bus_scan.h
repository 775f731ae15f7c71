// `scan`: asks every address, VER and rate of a bus for the rectifier analog values (0x41/0x41, no
// INFO, read-only) and lists what answers.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "fieldtools/command_port.h"
#include "hostkit/input_error.h"

namespace kelvra::fieldtools {

// A list given on the command line that cannot be read; names the option.
class ListError : public hostkit::InputError {
 public:
  using hostkit::InputError::InputError;
};

// "1-254", "3,17", "1-5,9": every number once, in the order given; each within [min, max].
std::vector<unsigned> parse_number_list(const std::string& option, const std::string& text,
                                        unsigned min, unsigned max);

struct ScanOptions {
  std::vector<unsigned> bauds{9600};
  std::vector<std::uint8_t> addresses;  // default: 1 to 254
  std::vector<std::uint8_t> vers{0x20, 0x21};
  std::chrono::milliseconds try_timeout{300};
};

// One answering address at one rate: the first VER it answered with RTN 0, else its first answer.
struct ScanHit {
  std::uint8_t address = 0;
  std::uint8_t ver = 0;  // of the command answered
  unsigned baud = 0;
  std::uint8_t rtn = 0;
  std::chrono::microseconds round_trip{0};
  std::optional<unsigned> modules;  // the module count of an RTN 0 answer
};

struct ScanTry {
  unsigned baud;
  std::uint8_t address;
  std::uint8_t ver;
  std::size_t index;  // 0-based
  std::size_t total;  // tries if every address answers at its first VER: at most this many
};

struct ScanReport {
  std::vector<ScanHit> hits;
  std::size_t tries = 0;
  std::chrono::milliseconds elapsed{0};
};

// `progress` is called before each try, `found` with each hit as soon as it is known.
ScanReport scan_bus(CommandPort& port, const ScanOptions& options,
                    const std::function<void(const ScanTry&)>& progress = nullptr,
                    const std::function<void(const ScanHit&)>& found = nullptr);

// "address 3: VER 20, 9600 baud, RTN 00, 21.4 ms, 6 modules"
std::string hit_text(const ScanHit& hit);
Json::Value hit_json(const ScanHit& hit);
// "2 devices answered 512 tries in 81.3 s" or "nothing answered 508 tries in 162.0 s"
std::string summary_text(const ScanReport& report);
Json::Value summary_json(const ScanReport& report);

}  // namespace kelvra::fieldtools
