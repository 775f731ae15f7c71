#include "sim/simulator.h"

#include <algorithm>
#include <cstdio>

#include "hostkit/hex.h"
#include "hostkit/input_error.h"

#include "sim/info_encoders.h"

namespace kelvra::sim {
namespace {

std::string hex(const Bytes& bytes) {
  return hostkit::to_hex(bytes.data(), bytes.size(), hostkit::HexCase::upper);
}

Equipment initial_equipment(const Scenario& scenario) {
  Equipment equipment = make_equipment(scenario.shape);
  for (const FieldSetting& setting : scenario.initial) apply(setting, equipment);
  return equipment;
}

ResponderSettings with_scenario_format(ResponderSettings settings, const Scenario& scenario) {
  if (scenario.dc_format) settings.dc_format = *scenario.dc_format;
  return settings;
}

}  // namespace

std::vector<ResponderSettings> parse_devices(const std::string& addresses,
                                             const std::string& vers) {
  const auto numbers = [](const std::string& list, const char* field,
                          const hostkit::Bounds& bounds) {
    std::vector<std::uint8_t> values;
    std::size_t start = 0;
    while (start <= list.size()) {
      const std::size_t comma = std::min(list.find(',', start), list.size());
      values.push_back(static_cast<std::uint8_t>(
          hostkit::parse_bounded(field, list.substr(start, comma - start), bounds)));
      start = comma + 1;
    }
    return values;
  };
  const std::vector<std::uint8_t> address_list =
      numbers(addresses, "--address", hostkit::kDeviceAddressBounds);
  const std::vector<std::uint8_t> ver_list =
      numbers(vers, "--ver", hostkit::kProtocolVersionBounds);
  if (ver_list.size() != 1 && ver_list.size() != address_list.size()) {
    throw hostkit::InputError("--ver: give one VER for all devices or one per address (" +
                              std::to_string(address_list.size()) + ")");
  }
  std::vector<ResponderSettings> devices;
  for (std::size_t i = 0; i < address_list.size(); ++i) {
    for (const ResponderSettings& earlier : devices) {
      if (earlier.address == address_list[i]) {
        throw hostkit::InputError("--address: " + std::to_string(address_list[i]) +
                                  " is given twice");
      }
    }
    ResponderSettings device;
    device.address = address_list[i];
    device.ver = ver_list.size() == 1 ? ver_list[0] : ver_list[i];
    devices.push_back(device);
  }
  return devices;
}

Simulator::Device::Device(const Scenario& scenario, const ResponderSettings& settings)
    : equipment(initial_equipment(scenario)),
      responder(equipment, with_scenario_format(settings, scenario)) {}

Simulator::Simulator(const SimulatorConfig& config, LogSink log)
    : faults_(config.seed),
      player_(config.scenario.timeline),
      pacing_(config.pacing),
      log_(std::move(log)),
      trace_(config.trace),
      decoder_([this](const frame::Frame& command) { on_command(command); },
               [this](frame::DecodeError error, const frame::Frame* header) {
                 on_bad_input(error, header);
               }) {
  devices_.push_back(std::make_unique<Device>(config.scenario, config.responder));
  for (const ResponderSettings& more : config.more_devices) {
    devices_.push_back(std::make_unique<Device>(config.scenario, more));
  }
  faults_.set_late_delay(config.late_delay);
  for (const auto& [kind, rate] : config.scenario.faults) faults_.set_rate(kind, rate);
}

std::vector<TimedAnswer> Simulator::receive(const std::uint8_t* data, std::size_t size) {
  pending_.clear();
  decoder_.feed(data, size);
  return std::move(pending_);
}

void Simulator::advance(double elapsed_seconds) {
  elapsed_seconds_ = elapsed_seconds;
  for (const ScenarioEvent& event : player_.take_due(elapsed_seconds)) {
    int written = 0;
    for (const auto& device : devices_) {
      written = 0;
      for (const FieldSetting& setting : event.settings)
        written += apply(setting, device->equipment);
    }
    note_changes();
    char line[64];
    std::snprintf(line, sizeof line, "scenario at %.1f s, %d values set: ", event.at_seconds,
                  written);
    log(line + event.note);
  }
}

void Simulator::note_changes() {
  for (const auto& device : devices_) device->responder.note_changes();
}

Responder* Simulator::responder_at(std::uint8_t address) {
  for (const auto& device : devices_) {
    if (device->responder.settings().address == address) return &device->responder;
  }
  return nullptr;
}

void Simulator::on_command(const frame::Frame& command) {
  Responder* responder = responder_at(command.address);
  if (trace_) {
    trace_->read("sim", command, decoder_.frame_digits(),
                 responder ? frame::FrameVerdict::kTaken : frame::FrameVerdict::kOtherAddress);
  }
  auto answer = responder ? responder->answer(command) : std::nullopt;
  char line[96];
  std::snprintf(line, sizeof line, "%02X/%02X adr %02X", command.cid1, command.code,
                command.address);
  std::string text = line;
  if (!command.info.empty()) text += " info " + hex(command.info);
  if (!answer) {
    log(text + " -> not for this address, ignored");
    return;
  }
  std::snprintf(line, sizeof line, " -> RTN %02X, %zu INFO bytes", answer->code,
                answer->info.size());
  text += line;
  if (answer->code == frame::kRtnNormal && !answer->info.empty()) {  // a poll answer
    std::snprintf(line, sizeof line, ", DATAFLAG %02X", answer->info.front());
    text += line;
  }
  ++commands_answered_;
  send(*answer, frame::encode(command), true);
  log(text);
}

void Simulator::on_bad_input(frame::DecodeError error, const frame::Frame* header) {
  if (trace_) trace_->bad_input("sim", error, header, decoder_.frame_digits());
  std::string text = std::string("bad input: ") + frame::to_string(error);
  Responder* responder = header ? responder_at(header->address) : nullptr;
  if (responder) {
    if (auto answer = responder->answer_malformed(error, *header)) {
      char line[32];
      std::snprintf(line, sizeof line, " -> RTN %02X", answer->code);
      text += line;
      send(*answer, std::string(), false);
    }
  }
  log(text);
}

void Simulator::send(const frame::Frame& answer, const std::string& command_wire,
                     bool allow_faults) {
  const auto fault = allow_faults ? faults_.draw() : std::nullopt;
  if (fault) log(std::string("fault injected: ") + fault_name(*fault));
  WireAnswer wire = faults_.shape(answer, command_wire, fault);
  if (wire.bytes.empty()) return;
  TimedAnswer timed{std::move(wire.bytes), wire.extra_delay, answer};
  if (pacing_.enabled && pacing_.baud > 0) {
    const std::size_t line_bytes =
        timed.bytes.size() + (pacing_.count_command_bytes ? command_wire.size() : 0);
    timed.delay +=
        std::chrono::microseconds(line_bytes * 10 * 1000000 / pacing_.baud) + pacing_.turnaround;
  }
  pending_.push_back(std::move(timed));
}

void Simulator::log(const std::string& line) const {
  if (!log_) return;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%8.3f] ", elapsed_seconds_);
  log_(stamp + line);
}

}  // namespace kelvra::sim
