#pragma once

#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "device/settings_text.h"
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
  // Takes "b_mode" from "appSetting" and, in mode 3, reports each "thresholdSetting" entry.
  bool InitSetting(const Json::Value& settings) override;
  // Rules over a completed round; none at this layer.
  virtual void RunCheckThreshold() {}

  const unsigned char* record_bytes() const {
    return reinterpret_cast<const unsigned char*>(&data_);
  }

  Data data_;
  // Rule-set selector: 1 supply loss, 2 thresholds, 3 neither but the settings walk.
  int b_mode_ = 1;

 private:
  // One line per entry: its key, "NMAlarmID;ID;SignalNumber;" and the key's level and value.
  void report_threshold_settings(const Json::Value& thresholds);
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
  const Json::Value& app = setting_member(settings, "appSetting");
  std::string b_mode_text;
  if (setting_text(app, "b_mode", b_mode_text)) {
    b_mode_ = text_to_int(b_mode_text);
    std::cout << "InitSetting " << data_.data_id.get() << " b_mode_:" << b_mode_ << std::endl;
  }
  if (b_mode_ == 3) {
    std::cout << "here 1" << std::endl;
    const Json::Value& thresholds = setting_member(settings, "thresholdSetting");
    if (!thresholds.isNull()) {
      std::cout << "here 2" << std::endl;
      // Only an object has entries to report; any other value is passed over.
      if (thresholds.isObject()) report_threshold_settings(thresholds);
    }
  }
  return Base::InitSetting(settings);
}

template <class Data, class Base, int SpId>
void UniDataDevice<Data, Base, SpId>::report_threshold_settings(const Json::Value& thresholds) {
  static const char* const kReportedFields[] = {"NMAlarmID", "ID", "SignalNumber"};
  for (auto member = thresholds.begin(); member != thresholds.end(); ++member) {
    const std::string key = member.name();
    std::cout << "here " << key << std::endl;
    if (!member->isObject()) continue;
    std::string reported;
    for (const char* field : kReportedFields) {
      std::string text;
      if (setting_text(*member, field, text)) {
        reported += text;
      } else {
        std::cout << this->data_id_ << " " << field << " is missing" << std::endl;
      }
      reported += ";";
    }
    const int level = this->threshold_levels_[key];
    const float value = this->threshold_values_[key];
    std::cout << "mobile:" << key << ":" << reported << " level:" << level << " value:" << value
              << std::endl;
  }
}
