// Response decoders of pmbuspower_419; included by pmbuspower_419.h only.

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_41(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_43(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_44(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_41(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_43(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_44(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_41(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_41_2(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_44(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_44_2(const unsigned char*, int) { return -1; }
