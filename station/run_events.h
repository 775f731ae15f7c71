// What a run tells the services beside polling (HTTP, MQTT): every completed round and every
// event, each after it was handed to history. All calls come on the run's own thread.
#pragma once

#include <algorithm>
#include <vector>

#include "history/history_store.h"

namespace kelvra::station {

class Station;

class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // After the station's round was published, stored and printed; restored records included
  // (Station::data_source tells them apart).
  virtual void round_completed(const Station& station) = 0;
  virtual void alarm_event(const events::AlarmEvent& event) = 0;
  virtual void comm_event(const events::CommEvent& event) = 0;
  virtual void control_event(const events::ControlEvent& event) = 0;
};

// Hands every event to each subscribed observer in subscription order.
class RunEvents : public RunObserver {
 public:
  void subscribe(RunObserver& observer) { observers_.push_back(&observer); }
  void unsubscribe(RunObserver& observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), &observer),
                     observers_.end());
  }

  void round_completed(const Station& station) override {
    for (RunObserver* observer : observers_) observer->round_completed(station);
  }
  void alarm_event(const events::AlarmEvent& event) override {
    for (RunObserver* observer : observers_) observer->alarm_event(event);
  }
  void comm_event(const events::CommEvent& event) override {
    for (RunObserver* observer : observers_) observer->comm_event(event);
  }
  void control_event(const events::ControlEvent& event) override {
    for (RunObserver* observer : observers_) observer->control_event(event);
  }

 private:
  std::vector<RunObserver*> observers_;
};

}  // namespace kelvra::station
