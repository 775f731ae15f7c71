#pragma once

#include "host/pmbus_protocol.h"
#include "script/script_reader.h"
#include "script/transcript.h"
#include "script/transcript_host.h"

namespace scripted_host {

// Plays script steps against one device, as its host, writing every result to the transcript.
// Attaches host to the device for its lifetime.
class ScriptPlayer {
 public:
  ScriptPlayer(PMBusProtocol& device, TranscriptHost& host, Transcript& transcript);
  ~ScriptPlayer();
  ScriptPlayer(const ScriptPlayer&) = delete;
  ScriptPlayer& operator=(const ScriptPlayer&) = delete;

  void play(const Step& step);

  void operator()(const SettingsStep& step);
  void operator()(const ThresholdsStep& step);
  void operator()(const AnalogStep& step);
  void operator()(const RulesStep& step);
  void operator()(const HostCheckStep& step);
  void operator()(const HostResultStep& step);
  void operator()(const RefreshStep& step);
  void operator()(const RespondStep& step);
  void operator()(const AdvanceStep& step);
  void operator()(const QueryStep& step);
  void operator()(const ControlStep& step);
  void operator()(const CacheStep& step);
  void operator()(const RecordStep& step);
  void operator()(const StateStep& step);

 private:
  void write_result(const char* op, bool value);
  // control_result_ through the read-back control code, which changes nothing.
  std::optional<int> read_back_control_result();

  PMBusProtocol& device_;
  TranscriptHost& host_;
  Transcript& transcript_;
};

}  // namespace scripted_host
