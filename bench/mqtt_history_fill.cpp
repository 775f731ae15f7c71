// Fills a history database with rounds stored while no broker was there, for the replay figure:
// COUNT copies of the newest record of DATA_ID under DEVICE, two seconds apart, ending now.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "history/history_store.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: mqtt_history_fill DB DEVICE DATA_ID COUNT\n");
    return 2;
  }
  const std::string device = argv[2];
  const auto data_id = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
  const long count = std::strtol(argv[4], nullptr, 10);
  kelvra::history::HistoryStore history(argv[1]);
  const auto newest = history.latest_record(data_id);
  if (!newest) {
    std::fprintf(stderr, "%s: no record of data id %u\n", argv[1], data_id);
    return 1;
  }
  const std::int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
  for (long i = 0; i < count; ++i) {
    kelvra::history::StoredRecord record;
    record.device = device;
    record.data_id = data_id;
    record.round_seconds = 0.4;
    record.bytes = *newest;
    record.time_ms = now_ms - (count - i) * 2000;
    history.begin();
    history.add_record(record);
    history.commit();
  }
  history.flush();
  return 0;
}
