// Poll cycle and settings of pmbuspower_419; included by pmbuspower_419.h only.

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::InitSetting(const Json::Value& settings) {
  Base::InitSetting(settings);
  return true;
}

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::RefreshStatus() {
  return false;
}

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::process_payload() {
  control_result_ = 1;
  return false;
}

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::send_poll(int state, std::uint8_t cid1, std::uint8_t cid2) {
  this->poll_state_ = state;
  const bool with_info =
      cid1 == 0x40 || (cid1 == 0x42 && this->protocol_ver_ == 0x21);
  if (with_info) {
    this->write_pmbus_cmd(cid1, cid2, &cmd_info_, 1);
  } else {
    this->write_pmbus_cmd(cid1, cid2);
  }
  return true;
}

template <class Data, int SpId>
bool pmbuspower_419<Data, SpId>::end_round() {
  this->RoundDone();
  this->poll_state_ = kIdle;
  this->Reset();
  send_held_control();
  return false;
}
