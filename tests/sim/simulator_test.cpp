#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/info_encoders.h"
#include "sim/responder.h"
#include "sim/simulator.h"
#include "sim/simulator_server.h"

namespace kelvra::sim {
namespace {

using frame::Frame;

Equipment small_equipment() {
  Equipment e = make_equipment({1, 1, 1});
  e.ac.extra = {std::nullopt, 0.0f, 0.0f};
  return e;
}

TEST(SimInfo, ExactLayouts) {
  const Equipment e = small_equipment();
  struct Case {
    const char* name;
    Bytes actual;
    Bytes expected;
  } cases[] = {
      {"AC analog, one input, extra[0] missing",
       ac_analog_info(0x11, e.ac),
       {0x11,                                              // DATAFLAG
        0x01,                                              // inputs
        0x00, 0x00, 0x66, 0x43, 0x00, 0x00, 0x66, 0x43,    // A, B 230 V
        0x00, 0x00, 0x66, 0x43, 0x00, 0x00, 0x48, 0x42,    // C 230 V, 50 Hz
        0x00,                                              // user floats
        0x20, 0x20, 0x20, 0x20,                            // extra[0]: invalid marker
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},  // extra[1], extra[2]
      {"AC switch",
       ac_switch_info(0x00, e.ac),
       {0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00}},  // no airlocks, 4 user switches
      {"AC alarm, second block blank",
       ac_alarm_info(0x01, e.ac),
       {0x01, 0x01,                                            // DATAFLAG, inputs
        0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,  // states, s=0, u=3 bytes
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                    // missing input 2
        0x00, 0x00, 0x00}},                                    // extra states
      {"rectifier analog",
       rectifier_analog_info(0x10, e.rectifiers),
       {0x10, 0x00, 0x00, 0x56, 0x42, 0x01,  // 53.5 V, one module
        0x00, 0x00, 0x20, 0x41, 0x00}},      // 10 A, no user floats
      {"rectifier switch",
       rectifier_switch_info(0x00, e.rectifiers),
       {0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00}},  // 3 states, 1 user status
      {"rectifier alarm",
       rectifier_alarm_info(0x00, e.rectifiers),
       {0x00, 0x01, 0x00, 0x00}},  // state, no user alarms
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.actual) << c.name;
}

TEST(SimInfo, DcFormats) {
  DcUnit unit;
  unit.voltage = 53.5f;
  unit.current = 10.0f;
  unit.float_group.clear();
  unit.user_floats = {std::nullopt};
  unit.alarm_group = {0x07};
  unit.user_alarms = {0xF0};
  const std::vector<DcUnit> one{unit};
  const std::vector<DcUnit> two{unit, unit};
  // 53.5 V, 10 A, m=0, n=0, p=1 with the invalid marker.
  const Bytes block = {0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x20, 0x41,
                       0x00, 0x00, 0x01, 0x20, 0x20, 0x20, 0x20};
  Bytes format1{0x00};
  format1.insert(format1.end(), block.begin(), block.end());
  EXPECT_EQ(format1, dc_analog_info(0x00, two, DcFormat::kSingleUnit));
  Bytes format2{0x00, 0x02};
  format2.insert(format2.end(), block.begin(), block.end());
  format2.insert(format2.end(), block.begin(), block.end());
  EXPECT_EQ(format2, dc_analog_info(0x00, two, DcFormat::kCounted));
  // Voltage state, one group alarm 07, one user alarm F0.
  EXPECT_EQ((Bytes{0x01, 0x01, 0x00, 0x01, 0x07, 0x01, 0xF0}),
            dc_alarm_info(0x01, one, DcFormat::kCounted));
}

Frame command(std::uint8_t cid1, std::uint8_t cid2, Bytes info = {}) {
  return Frame{0x20, 0x01, cid1, cid2, std::move(info)};
}

TEST(SimResponder, ReturnCodes) {
  struct Case {
    const char* name;
    Frame command;
    std::uint8_t rtn;
    bool carries_info;
  } cases[] = {
      {"AC analog", command(0x40, 0x41, {0x01}), frame::kRtnNormal, true},
      {"DC alarm, VER 0x20 form", command(0x42, 0x44), frame::kRtnNormal, true},
      {"DC alarm, VER 0x21 form", command(0x42, 0x44, {0x01}), frame::kRtnNormal, true},
      {"poll with two INFO bytes", command(0x41, 0x41, {0x01, 0x02}), frame::kRtnFormatError,
       false},
      {"rectifier command", command(0x41, 0x4E, Bytes(7)), frame::kRtnNormal, false},
      {"rectifier command, 6 bytes", command(0x41, 0x4E, Bytes(6)), frame::kRtnFormatError, false},
      {"DC set, type DC", command(0x42, 0x48, {0xDC, 0, 0, 0x56, 0x42}), frame::kRtnNormal, false},
      {"DC set, unknown type", command(0x42, 0x48, {0xDA, 0, 0, 0, 0}), frame::kRtnInvalidData,
       false},
      {"rectifier control", command(0x41, 0x45, {0xE5, 0x01}), frame::kRtnNormal, false},
      {"unknown CID2", command(0x41, 0x47), frame::kRtnInvalidCid2, false},
      {"unknown CID1", command(0x2A, 0x50), frame::kRtnInvalidCid2, false},
      {"other VER", Frame{0x21, 0x01, 0x40, 0x41, {0x01}}, frame::kRtnVersionError, false},
  };
  for (const auto& c : cases) {
    Equipment e = small_equipment();
    Responder responder(e, {});
    const auto answer = responder.answer(c.command);
    ASSERT_TRUE(answer) << c.name;
    EXPECT_EQ(c.rtn, answer->code) << c.name;
    EXPECT_EQ(c.command.cid1, answer->cid1) << c.name;
    EXPECT_EQ(c.carries_info, !answer->info.empty()) << c.name;
  }
}

TEST(SimResponder, KeepsDcSetValuesAndIgnoresOtherAddresses) {
  Equipment e = small_equipment();
  Responder responder(e, {});
  responder.answer(command(0x42, 0x48, {0xDB, 0x00, 0x00, 0x5C, 0x42}));  // 55.0
  EXPECT_FLOAT_EQ(55.0f, e.dc_setpoints.at(0xDB));
  EXPECT_FALSE(responder.answer(Frame{0x20, 0x02, 0x40, 0x41, {0x01}}));
  const Frame header{0x20, 0x01, 0x40, 0x41, {}};
  EXPECT_EQ(frame::kRtnChecksumError,
            responder.answer_malformed(frame::DecodeError::kBadChecksum, header)->code);
  EXPECT_EQ(frame::kRtnLengthChecksumError,
            responder.answer_malformed(frame::DecodeError::kBadLengthChecksum, header)->code);
  EXPECT_FALSE(responder.answer_malformed(frame::DecodeError::kCutShort, header));
}

std::uint8_t dataflag(Responder& responder, std::uint8_t cid1, std::uint8_t cid2) {
  return responder.answer(command(cid1, cid2))->info.at(0);
}

TEST(SimDataflag, SetByChangeClearedByTheRead) {
  Equipment e = small_equipment();
  Responder responder(e, {});
  // Powered up: every unit says both changed until its switches and alarms are read.
  const std::uint8_t power_up[][3] = {
      {0x40, 0x41, 0x11}, {0x41, 0x41, 0x11}, {0x42, 0x41, 0x11}, {0x40, 0x43, 0x11},
      {0x40, 0x44, 0x01}, {0x41, 0x44, 0x11}, {0x41, 0x43, 0x10}, {0x42, 0x44, 0x11},
  };
  for (const auto& [cid1, cid2, expected] : power_up) {
    EXPECT_EQ(expected, dataflag(responder, cid1, cid2)) << int(cid1) << "/" << int(cid2);
  }
  EXPECT_EQ(0x00, dataflag(responder, 0x40, 0x41));

  e.ac.inputs[0].user_alarms[1] = kAcMainsFailed;
  e.ac.user_switches[0] = 1;
  responder.note_changes();
  EXPECT_EQ(0x11, dataflag(responder, 0x40, 0x41));
  EXPECT_EQ(0x11, dataflag(responder, 0x40, 0x43));  // reports, then clears the switch bit
  EXPECT_EQ(0x01, dataflag(responder, 0x40, 0x41));
  EXPECT_EQ(0x01, dataflag(responder, 0x40, 0x44));
  EXPECT_EQ(0x00, dataflag(responder, 0x40, 0x41));

  // A value change alone raises nothing; other units keep their own bits.
  e.ac.inputs[0].phase_a = 0.0f;
  e.rectifiers.modules[0].alarm_state = 1;
  e.dc[0].user_alarms[kDcBattery1Low] = 1;
  EXPECT_EQ(0x00, dataflag(responder, 0x40, 0x41));  // the answer itself notes changes
  EXPECT_EQ(0x01, dataflag(responder, 0x41, 0x41));
  EXPECT_EQ(0x01, dataflag(responder, 0x41, 0x43));
  EXPECT_EQ(0x01, dataflag(responder, 0x41, 0x44));
  EXPECT_EQ(0x00, dataflag(responder, 0x41, 0x41));
  EXPECT_EQ(0x01, dataflag(responder, 0x42, 0x41));
  EXPECT_EQ(0x01, dataflag(responder, 0x42, 0x44));
  EXPECT_EQ(0x00, dataflag(responder, 0x42, 0x41));
}

TEST(SimFaults, ShapeTheWire) {
  FaultInjector faults;
  const Frame answer{0x20, 0x01, 0x41, 0x00, {}};
  const std::string clean = "~200141000000FDB8\r";
  const std::string echo = "~200141410000FDB3\r";
  struct Case {
    FaultKind kind;
    std::string bytes;
  } cases[] = {
      {FaultKind::kNoAnswer, ""},
      {FaultKind::kBadChecksum, "~200141000000FDB0\r"},
      {FaultKind::kBadLengthChecksum, "~200141001000FDB8\r"},
      {FaultKind::kGarbageBeforeSoi, std::string("\x00\xFF\x13noise\r\n", 10) + clean},
      {FaultKind::kCutShort, "~20014100"},
      {FaultKind::kLate, clean},
      {FaultKind::kWrongAddress, "~200241000000FDB7\r"},
      {FaultKind::kRtnChecksumError, "~200141020000FDB6\r"},
      {FaultKind::kEcho, echo + clean},
      {FaultKind::kBadData, "~200141010000FDB8\r"},  // RTN 00 read as 01, CHKSUM kept
  };
  for (const auto& c : cases) {
    const WireAnswer wire = faults.shape(answer, echo, c.kind);
    EXPECT_EQ(c.bytes, wire.bytes) << fault_name(c.kind);
    EXPECT_EQ(c.kind == FaultKind::kLate ? 3000 : 0, wire.extra_delay.count());
    EXPECT_EQ(c.kind, parse_fault_name(fault_name(c.kind)));
  }
  EXPECT_EQ(clean, faults.shape(answer, echo, std::nullopt).bytes);
  // With INFO 11 22 33 the middle byte's high digit changes (22 to 02); CHKSUM FC75 is kept.
  const Frame with_info{0x20, 0x01, 0x41, 0x00, {0x11, 0x22, 0x33}};
  EXPECT_EQ("~20014100A006112233FC75\r", faults.shape(with_info, echo, std::nullopt).bytes);
  EXPECT_EQ("~20014100A006110233FC75\r", faults.shape(with_info, echo, FaultKind::kBadData).bytes);
}

TEST(SimFaults, RatesAreDrawnAndCounted) {
  FaultInjector faults(7);
  faults.set_rate(FaultKind::kEcho, 1.0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(FaultKind::kEcho, faults.draw());
  EXPECT_EQ(5u, faults.count(FaultKind::kEcho));
  faults.clear();
  EXPECT_FALSE(faults.draw());
}

TEST(SimPacing, HoldsTheAnswerForTheLineTime) {
  SimulatorConfig config;
  config.pacing.turnaround = std::chrono::milliseconds(4);
  Simulator sim(config, nullptr);
  const std::string wire = frame::encode(command(0x41, 0x41));  // 18 bytes
  const auto answers = sim.receive(reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size());
  ASSERT_EQ(1u, answers.size());
  // (18 + answer bytes) x 10 bits at 9600 baud, plus 4 ms.
  const auto line_us = (18 + answers[0].bytes.size()) * 10 * 1000000 / 9600;
  EXPECT_EQ(static_cast<long>(line_us) + 4000, answers[0].delay.count());
}

TEST(SimServer, AnswersOnItsPseudoTerminal) {
  SimulatorConfig config;
  config.pacing.enabled = false;
  SimulatorServer server(config, {}, nullptr);
  server.start();
  const int fd = open(server.device_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0) << server.device_path();
  const std::string wire = frame::encode(command(0x42, 0x44));
  ASSERT_EQ(static_cast<ssize_t>(wire.size()), write(fd, wire.data(), wire.size()));

  std::vector<Frame> frames;
  frame::Decoder decoder([&](const Frame& f) { frames.push_back(f); });
  char buffer[256];
  pollfd readable{fd, POLLIN, 0};
  while (frames.empty() && poll(&readable, 1, 2000) > 0) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    decoder.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
  }
  close(fd);
  server.stop();
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(0x42, frames[0].cid1);
  EXPECT_EQ(frame::kRtnNormal, frames[0].code);
  EXPECT_EQ(1u, server.with_simulator([](Simulator& s) { return s.commands_answered(); }));
}

}  // namespace
}  // namespace kelvra::sim
