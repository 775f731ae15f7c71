// MQTT bytes per device-round over a simulated hour, with a simulated clock and no broker: the
// messages the northbound makes of each stored round, the whole state every round against
// readings reported by exception (the whole state on connecting and every 600 s), for a steady
// plant and for one whose readings all move by noise every round.
//   kelvra_mqtt_by_exception_figures [ROUND_SECONDS] [FULL_STATE_SECONDS]   (defaults 2 and 600)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>

#include "bench/plant_records.h"
#include "northbound/mqtt_messages.h"
#include "northbound/report_by_exception.h"

namespace {

using kelvra::northbound::ReportByException;
using kelvra::northbound::RoundReport;

constexpr std::int64_t kHourMs = 3600 * 1000;
constexpr std::int64_t kStartMs = 1'780'000'000'000;

// Bytes of a QoS 1 PUBLISH of MQTT 3.1.1 (fixed header, remaining length, topic length, packet
// id) and of its PUBACK.
std::size_t wire_bytes(std::size_t topic, std::size_t payload) {
  const std::size_t remaining = 2 + topic + 2 + payload;
  std::size_t length_bytes = 1;
  for (std::size_t rest = remaining >> 7; rest > 0; rest >>= 7) ++length_bytes;
  return 1 + length_bytes + remaining + 4;
}

struct Figures {
  double messages = 0;
  double topic_payload = 0;
  double wire = 0;
};

Figures hour(std::int64_t round_ms, bool moving, std::chrono::seconds full_state) {
  std::optional<ReportByException> by_exception;
  if (full_state.count() > 0) by_exception.emplace(full_state, kelvra::run::Deadbands{});
  const auto topics = kelvra::northbound::device_topics("kelvra", "site1", "power1");
  std::mt19937 random(7);
  kelvra_419_Data_t record = kelvra::bench::steady_record();
  Figures total;
  std::int64_t rounds = 0;
  for (std::int64_t made = kStartMs; made < kStartMs + kHourMs; made += round_ms, ++rounds) {
    kelvra::bench::stamp(record, made);
    if (moving) kelvra::bench::jitter(record, random);
    kelvra::history::StoredRecord stored;
    stored.id = rounds + 1;
    stored.device = "power1";
    stored.time_ms = made;
    stored.round_seconds = 0.4;
    const RoundReport report =
        by_exception ? by_exception->next(record, made) : RoundReport{true, {}};
    const auto messages = kelvra::northbound::round_messages(
        topics, stored, record, kelvra::northbound::StateContext{"site1", false, 0.1}, report);
    for (const auto& message : messages) {
      total.messages += 1;
      total.topic_payload += static_cast<double>(message.topic.size() + message.payload.size());
      total.wire += static_cast<double>(wire_bytes(message.topic.size(), message.payload.size()));
    }
  }
  const auto per_round = static_cast<double>(rounds);
  return {total.messages / per_round, total.topic_payload / per_round, total.wire / per_round};
}

}  // namespace

int main(int argc, char** argv) {
  const long round_s = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 2;
  const long full_s = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 600;
  if (round_s <= 0 || full_s <= 0) {
    std::fprintf(stderr,
                 "usage: kelvra_mqtt_by_exception_figures [ROUND_SECONDS] [FULL_STATE_SECONDS]\n");
    return 2;
  }
  std::printf("an hour of %ld s rounds, per device-round\n", round_s);
  std::printf("%-8s %-26s %9s %14s %9s\n", "plant", "published", "messages", "topic+payload",
              "wire");
  for (const bool moving : {false, true}) {
    for (const long full : {0L, full_s}) {
      const Figures figures = hour(round_s * 1000, moving, std::chrono::seconds(full));
      const std::string mode = full == 0 ? "whole state every round"
                                         : "by exception, whole/" + std::to_string(full) + " s";
      std::printf("%-8s %-26s %9.2f %14.1f %9.1f\n", moving ? "moving" : "steady", mode.c_str(),
                  figures.messages, figures.topic_payload, figures.wire);
    }
  }
  return 0;
}
