#include "fieldtools/bus_scan.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kelvra::fieldtools {
namespace {

constexpr std::uint8_t kRectifierUnit = 0x41;
constexpr std::uint8_t kAnalogValues = 0x41;
// Rectifier analog INFO: DATAFLAG, group value (f32), then the module count.
constexpr std::size_t kModuleCountByte = 5;

unsigned parse_number(const std::string& option, const std::string& text, unsigned min,
                      unsigned max) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || value < static_cast<long>(min) ||
      value > static_cast<long>(max)) {
    throw ListError(option + ": \"" + text + "\" is not a number from " + std::to_string(min) +
                    " to " + std::to_string(max));
  }
  return static_cast<unsigned>(value);
}

std::string hex2(unsigned value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

double milliseconds(std::chrono::microseconds duration) {
  return static_cast<double>(duration.count()) / 1000.0;
}

// The addresses the options name, or 1 to 254 when they name none.
std::vector<std::uint8_t> addresses_to_scan(const ScanOptions& options) {
  std::vector<std::uint8_t> addresses = options.addresses;
  if (addresses.empty()) {
    for (unsigned address = 1; address <= 254; ++address) {
      addresses.push_back(static_cast<std::uint8_t>(address));
    }
  }
  return addresses;
}

// What an answer to the rectifier analog command tells of the address, at the try's baud and VER.
ScanHit hit_of(const ScanTry& attempt, const Exchange& exchange) {
  ScanHit hit{attempt.address,       attempt.ver,         attempt.baud,
              exchange.answer->code, exchange.round_trip, std::nullopt};
  const auto& info = exchange.answer->info;
  if (hit.rtn == frame::kRtnNormal && info.size() > kModuleCountByte) {
    hit.modules = info[kModuleCountByte];
  }
  return hit;
}

// Asks the address of `attempt` (at its baud, set on the port) with each VER in turn until one
// answers with RTN 0; that answer, else the first, or nothing. `attempt` gives baud, address and
// total; each try fills in its VER and index, counted in `tries`.
std::optional<ScanHit> probe_address(CommandPort& port, const ScanOptions& options, ScanTry attempt,
                                     std::size_t& tries,
                                     const std::function<void(const ScanTry&)>& progress) {
  std::optional<ScanHit> best;
  for (std::uint8_t ver : options.vers) {
    attempt.ver = ver;
    attempt.index = tries;
    if (progress) progress(attempt);
    ++tries;
    const frame::Frame command{ver, attempt.address, kRectifierUnit, kAnalogValues, {}};
    const Exchange exchange = port.exchange(command, options.try_timeout);
    if (!exchange.answer) continue;
    const ScanHit hit = hit_of(attempt, exchange);
    if (!best || hit.rtn == frame::kRtnNormal) best = hit;
    if (hit.rtn == frame::kRtnNormal) break;
  }
  return best;
}

}  // namespace

std::vector<unsigned> parse_number_list(const std::string& option, const std::string& text,
                                        unsigned min, unsigned max) {
  std::vector<unsigned> numbers;
  const auto add = [&](unsigned value) {
    if (std::find(numbers.begin(), numbers.end(), value) == numbers.end()) numbers.push_back(value);
  };
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    const std::size_t dash = item.find('-');
    if (dash == std::string::npos) {
      add(parse_number(option, item, min, max));
    } else {
      const unsigned first = parse_number(option, item.substr(0, dash), min, max);
      const unsigned last = parse_number(option, item.substr(dash + 1), min, max);
      if (last < first) throw ListError(option + ": range \"" + item + "\" runs backwards");
      for (unsigned value = first; value <= last; ++value) add(value);
    }
    start = comma + 1;
  }
  return numbers;
}

ScanReport scan_bus(CommandPort& port, const ScanOptions& options,
                    const std::function<void(const ScanTry&)>& progress,
                    const std::function<void(const ScanHit&)>& found) {
  const std::vector<std::uint8_t> addresses = addresses_to_scan(options);
  const std::size_t total = options.bauds.size() * addresses.size() * options.vers.size();
  const auto started = std::chrono::steady_clock::now();
  ScanReport report;
  for (unsigned baud : options.bauds) {
    port.set_baud(baud);
    for (std::uint8_t address : addresses) {
      const std::optional<ScanHit> best =
          probe_address(port, options, ScanTry{baud, address, 0, 0, total}, report.tries, progress);
      if (!best) continue;
      report.hits.push_back(*best);
      if (found) found(*best);
    }
  }
  report.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  return report;
}

std::string hit_text(const ScanHit& hit) {
  char text[160];
  std::snprintf(text, sizeof text, "address %u: VER %s, %u baud, RTN %s, %.1f ms", hit.address,
                hex2(hit.ver).c_str(), hit.baud, hex2(hit.rtn).c_str(),
                milliseconds(hit.round_trip));
  std::string line = text;
  if (hit.modules) line += ", " + std::to_string(*hit.modules) + " modules";
  return line;
}

Json::Value hit_json(const ScanHit& hit) {
  Json::Value value(Json::objectValue);
  value["address"] = hit.address;
  value["ver"] = hex2(hit.ver);
  value["baud"] = hit.baud;
  value["rtn"] = hex2(hit.rtn);
  value["round_trip_ms"] = milliseconds(hit.round_trip);
  value["modules"] = hit.modules ? Json::Value(*hit.modules) : Json::Value();
  return value;
}

std::string summary_text(const ScanReport& report) {
  char text[160];
  const double seconds = static_cast<double>(report.elapsed.count()) / 1000.0;
  if (report.hits.empty()) {
    std::snprintf(text, sizeof text, "nothing answered %zu tries in %.1f s", report.tries, seconds);
  } else {
    std::snprintf(text, sizeof text, "%zu %s answered %zu tries in %.1f s", report.hits.size(),
                  report.hits.size() == 1 ? "device" : "devices", report.tries, seconds);
  }
  return text;
}

Json::Value summary_json(const ScanReport& report) {
  Json::Value value(Json::objectValue);
  value["summary"] = true;
  value["answered"] = Json::UInt64(report.hits.size());
  value["tries"] = Json::UInt64(report.tries);
  value["seconds"] = static_cast<double>(report.elapsed.count()) / 1000.0;
  return value;
}

}  // namespace kelvra::fieldtools
