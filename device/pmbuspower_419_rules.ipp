// Generic threshold rules of pmbuspower_419; included by pmbuspower_419.h only.

template <class Data, int SpId>
void pmbuspower_419<Data, SpId>::RunCheckThreshold() {}
