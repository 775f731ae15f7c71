// Value queries and control requests of pmbuspower_419; included by pmbuspower_419.h only.

template <class Data, int SpId>
float pmbuspower_419<Data, SpId>::Get_Value(unsigned int index, const std::string& key) const {
  return Base::Get_Value(index, key);
}

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::DeviceIoControl(int, const void*, int, void*, int,
                                                int& out_written) {
  out_written = 0;
  return 0;
}

template <class Data, int SpId>
void pmbuspower_419<Data, SpId>::send_held_control() {}
