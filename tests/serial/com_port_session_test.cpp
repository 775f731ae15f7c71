// The Telnet COM-PORT-OPTION client as bytes: what it answers to each thing a server says, in
// any chunking, and what it sends.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "telnet/com_port_session.h"

namespace {

using kelvra::telnet::ComPortSession;
using kelvra::telnet::LineFormat;
using kelvra::telnet::Parity;

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int value : values) out.push_back(static_cast<char>(value));
  return out;
}

constexpr int kIac = 0xFF, kDo = 0xFD, kDont = 0xFE, kWill = 0xFB, kWont = 0xFC, kSb = 0xFA,
              kSe = 0xF0;

TEST(ComPortSession, AnswersEachServerMessageInAnyChunking) {
  struct Row {
    const char* what;
    std::vector<std::string> chunks;  // from the server, one receive() each
    std::string data;
    std::string reply;
  };
  // 19200 7E2: baud in network byte order, data size, parity code 3, stop size 2.
  const std::string format = bytes({kIac, kSb, 44, 1, 0x00, 0x00, 0x4B, 0x00, kIac, kSe,  //
                                    kIac, kSb, 44, 2, 7,    kIac, kSe,                    //
                                    kIac, kSb, 44, 3, 3,    kIac, kSe,                    //
                                    kIac, kSb, 44, 4, 2,    kIac, kSe});
  const std::vector<Row> rows = {
      {"plain data", {"~2001"}, "~2001", ""},
      {"doubled 0xFF is one data byte",
       {bytes({'A', kIac, kIac, 'B'})},
       bytes({'A', 0xFF, 'B'}),
       ""},
      {"doubled 0xFF split between reads",
       {bytes({kIac}), bytes({kIac, 'C'})},
       bytes({0xFF, 'C'}),
       ""},
      {"agreement to COM-PORT-OPTION: the format", {bytes({kIac, kDo, 44})}, "", format},
      {"agreement repeated, split: nothing", {bytes({kIac}), bytes({kDo}), bytes({44})}, "", ""},
      {"binary acknowledged both ways", {bytes({kIac, kDo, 0, kIac, kWill, 0})}, "", ""},
      {"suppress go-ahead accepted once",
       {bytes({kIac, kWill, 3, kIac, kWill, 3})},
       "",
       bytes({kIac, kDo, 3})},
      {"echo refused both ways",
       {bytes({kIac, kDo, 1, kIac, kWill, 1})},
       "",
       bytes({kIac, kWont, 1, kIac, kDont, 1})},
      {"refusals need no answer", {bytes({kIac, kDont, 5, kIac, kWont, 5})}, "", ""},
      {"line-state notification dropped",
       {bytes({kIac, kSb, 44, 107, 0x60, kIac, kSe, 'x'})},
       "x",
       ""},
      {"baud reply with a doubled 0xFF dropped, split",
       {bytes({kIac, kSb, 44, 101, 0, 0, kIac}), bytes({kIac, kIac, kSe, 'y'})},
       "y",
       ""},
      {"NOP and go-ahead carry nothing", {bytes({kIac, 241, 'z', kIac, 249})}, "z", ""},
  };
  ComPortSession session(LineFormat{19200, 7, Parity::kEven, 2});
  EXPECT_EQ(session.opening(), bytes({kIac, kWill, 44, kIac, kWill, 0, kIac, kDo, 0}));
  for (const Row& row : rows) {
    std::string data;
    std::string reply;
    for (const std::string& chunk : row.chunks) {
      const auto received = session.receive(chunk);
      data += received.data;
      reply += received.reply;
    }
    EXPECT_EQ(data, row.data) << row.what;
    EXPECT_EQ(reply, row.reply) << row.what;
  }
  EXPECT_TRUE(session.format_sent());
}

TEST(ComPortSession, DoublesEvery0xFFInDataAndInTheFormat) {
  EXPECT_EQ(ComPortSession::escape(bytes({kIac, 'a', kIac, kIac})),
            bytes({kIac, kIac, 'a', kIac, kIac, kIac, kIac}));
  ComPortSession session(LineFormat{0x0001FFFF, 8, Parity::kNone, 1});
  const std::string reply = session.receive(bytes({kIac, kDo, 44})).reply;
  EXPECT_EQ(reply.substr(0, 12),
            bytes({kIac, kSb, 44, 1, 0x00, 0x01, kIac, kIac, kIac, kIac, kIac, kSe}));
}

}  // namespace
