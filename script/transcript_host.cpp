#include "script/transcript_host.h"

#include "hostkit/hex.h"

namespace scripted_host {
namespace {

std::string byte_hex(std::uint8_t byte) {
  return kelvra::hostkit::to_hex(&byte, 1);
}

}  // namespace

bool TranscriptHost::refresh_allowed(SMDSPDevice&) {
  return refresh_answer;
}

void TranscriptHost::send_command(SMDSPDevice&, std::uint8_t cid1, std::uint8_t cid2,
                                  const std::uint8_t* info, int len) {
  last_cid1_ = cid1;
  transcript_.write(Event("send")
                        .text("cid1", byte_hex(cid1))
                        .text("cid2", byte_hex(cid2))
                        .text("info", kelvra::hostkit::to_hex(
                                          info, len > 0 ? static_cast<std::size_t>(len) : 0)));
}

bool TranscriptHost::open_port(SMDSPDevice&) {
  transcript_.write(Event("open_port"));
  return true;
}

void TranscriptHost::reset(SMDSPDevice&) {
  transcript_.write(Event("reset"));
}

void TranscriptHost::publish(SMDVDevice&, int id, const unsigned char* data, unsigned int len,
                             bool flag) {
  transcript_.write(Event("publish")
                        .integer("id", id)
                        .integer("len", len)
                        .boolean("flag", flag)
                        .text("hex", kelvra::hostkit::to_hex(data, len)));
}

bool TranscriptHost::ao_report(SMDVDevice&, const std::string& name, float value) {
  transcript_.write(Event("ao_report").text("name", name).number("value", value));
  return ao_report_answer;
}

void TranscriptHost::ao_threshold(SMDVDevice&, const std::string& name, const std::string&,
                                  float value, int) {
  transcript_.write(Event("ao_threshold").text("name", name).number("value", value));
}

void TranscriptHost::alarm(SMDVDevice&, const AlarmReport& report) {
  transcript_.write(Event("alarm")
                        .integer("level", report.level)
                        .text("key", report.key)
                        .text("id", report.id)
                        .text("name", report.name)
                        .text("text", report.text)
                        .boolean("state", report.state)
                        .integer("seq", report.seq));
}

bool TranscriptHost::batch_check(SMDVDevice&, const std::vector<rule_value>& rules) {
  transcript_.write(Event("batch").integer("count", static_cast<long long>(rules.size())));
  return batch_answer;
}

void TranscriptHost::save_history(SMDVDevice&, const unsigned char* data, unsigned int len) {
  transcript_.write(
      Event("history").integer("len", len).text("hex", kelvra::hostkit::to_hex(data, len)));
}

}  // namespace scripted_host
