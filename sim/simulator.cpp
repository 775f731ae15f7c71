#include "sim/simulator.h"

#include <cstdio>

#include "sim/info_encoders.h"

namespace kelvra::sim {
namespace {

std::string hex(const Bytes& bytes) {
  std::string text;
  char digits[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
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

Simulator::Simulator(const SimulatorConfig& config, LogSink log)
    : equipment_(initial_equipment(config.scenario)),
      responder_(equipment_, with_scenario_format(config.responder, config.scenario)),
      faults_(config.seed),
      player_(config.scenario.timeline),
      pacing_(config.pacing),
      log_(std::move(log)),
      decoder_([this](const frame::Frame& command) { on_command(command); },
               [this](frame::DecodeError error, const frame::Frame* header) {
                 on_bad_input(error, header);
               }) {
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
    for (const FieldSetting& setting : event.settings) written += apply(setting, equipment_);
    responder_.note_changes();
    char line[64];
    std::snprintf(line, sizeof line, "scenario at %.1f s, %d values set: ", event.at_seconds,
                  written);
    log(line + event.note);
  }
}

void Simulator::on_command(const frame::Frame& command) {
  auto answer = responder_.answer(command);
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
  std::string text = std::string("bad input: ") + frame::to_string(error);
  if (header) {
    if (auto answer = responder_.answer_malformed(error, *header)) {
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
  TimedAnswer timed{std::move(wire.bytes), wire.extra_delay};
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
