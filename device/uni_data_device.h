#pragma once

#include <cstdint>
#include <cstring>
#include <iostream>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/pmbus_protocol.h"

// The record-owning layer of a device: round completion, publication, history and the cache.
// Data is the packed record, Base the protocol layer, SpId the publication id of the record.
template <class Data, class Base, int SpId>
class UniDataDevice : public Base {
 public:
  static constexpr unsigned int kRecordSize = sizeof(Data);

  UniDataDevice() { std::memset(&data_, 0, sizeof data_); }

  using Base::LoadFromCache;
  bool LoadFromCache(const unsigned char* data, int len) override;
  void RoundDone() override;
  bool InitSetting(const Json::Value& settings) override;
  // Rules over a completed round; none at this layer.
  virtual void RunCheckThreshold() {}

  const unsigned char* record_bytes() const {
    return reinterpret_cast<const unsigned char*>(&data_);
  }

  Data data_;
  // Rule-set selector: 1 supply loss, 2 thresholds, 3 neither but the settings walk.
  int b_mode_ = 1;
};

template <class Data, class Base, int SpId>
bool UniDataDevice<Data, Base, SpId>::LoadFromCache(const unsigned char* data, int len) {
  if (data == nullptr || len != static_cast<int>(kRecordSize)) return false;
  std::memcpy(&data_, data, kRecordSize);
  this->data_valid_ = 1;
  RoundDone();
  return true;
}

template <class Data, class Base, int SpId>
void UniDataDevice<Data, Base, SpId>::RoundDone() {
  if (this->data_valid_ != 1) this->data_valid_ = 1;
  this->last_round_time_ = boost::posix_time::second_clock::local_time();
  const ttime stamp = get_ttime(this->last_round_time_);
  std::memcpy(data_.round_time, stamp.data(), stamp.size());
  this->SMDVDevice::SendSP(SpId, record_bytes(), kRecordSize, false);
  this->Reset();
  this->rule_seq_ = 1;
  this->threshold_changed_ = false;
  RunCheckThreshold();
  for (const std::string& name : this->ao_signals_) {
    const auto found = this->ao_values_.find(name);
    if (found == this->ao_values_.end()) continue;
    if (this->CheckAOReport(name, found->second)) this->threshold_changed_ = true;
    this->CheckThreshold(name, "", found->second, 1);
  }
  std::cout << "rvSize is " << this->rule_values_.size() << std::endl;
  if (this->DoBatchCheckThreshold(this->rule_values_)) this->threshold_changed_ = true;
  this->SaveDeviceHistory(record_bytes(), kRecordSize);
  this->rule_values_.clear();
}

template <class Data, class Base, int SpId>
bool UniDataDevice<Data, Base, SpId>::InitSetting(const Json::Value& settings) {
  this->data_.data_id.set(this->data_id_);
  return Base::InitSetting(settings);
}
