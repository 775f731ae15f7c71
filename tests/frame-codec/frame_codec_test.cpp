#include "frame-codec/frame_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvra::frame {
namespace {

// 0x40/0x41 with INFO 01, VER 0x20, ADR 0x01.
const std::string kAcAnalogCommand = "~20014041E00201FD3C\r";

struct Collector {
  std::vector<Frame> frames;
  std::vector<DecodeError> errors;
  std::vector<bool> error_had_header;
  Decoder decoder{[this](const Frame& f) { frames.push_back(f); },
                  [this](DecodeError e, const Frame* header) {
                    errors.push_back(e);
                    error_had_header.push_back(header != nullptr);
                  }};
};

void expect_same(const Frame& expected, const Frame& actual) {
  EXPECT_EQ(expected.ver, actual.ver);
  EXPECT_EQ(expected.address, actual.address);
  EXPECT_EQ(expected.cid1, actual.cid1);
  EXPECT_EQ(expected.code, actual.code);
  EXPECT_EQ(expected.info, actual.info);
}

struct WorkedExample {
  Frame frame;
  std::string wire;
};

const std::vector<WorkedExample> kWorkedExamples = {
    // VER 20, ADR 01, CID1 40, CID2 41, LENGTH E002 (LCHKSUM E, LENID 2), INFO 01, CHKSUM FD3C
    {{0x20, 0x01, 0x40, 0x41, {0x01}}, "~20014041E00201FD3C\r"},
    // VER 20, ADR 01, CID1 41, CID2 41, LENGTH 0000, CHKSUM FDB3
    {{0x20, 0x01, 0x41, 0x41, {}}, "~200141410000FDB3\r"},
    // VER 21, ADR 01, CID1 2A, CID2 50, LENGTH 0000, CHKSUM FDA4
    {{0x21, 0x01, 0x2A, 0x50, {}}, "~21012A500000FDA4\r"},
};

TEST(FrameCodec, EncodesWorkedExamples) {
  for (const auto& example : kWorkedExamples) EXPECT_EQ(example.wire, encode(example.frame));
}

TEST(FrameCodec, DecodesWorkedExamples) {
  for (const auto& example : kWorkedExamples) {
    Collector c;
    c.decoder.feed(example.wire);
    ASSERT_EQ(1u, c.frames.size()) << example.wire;
    expect_same(example.frame, c.frames[0]);
    EXPECT_TRUE(c.errors.empty());
  }
}

TEST(FrameCodec, ChecksumsMatchDocumentedValues) {
  EXPECT_EQ(0xFD3B, checksum("20014043E00200"));
  struct {
    std::uint16_t lenid;
    std::uint8_t lchksum;
  } cases[] = {{0, 0x0}, {2, 0xE}, {0x012, 0xD}, {0xFFE, 0x4}, {0x100, 0xF}};
  for (const auto& c : cases) EXPECT_EQ(c.lchksum, length_checksum(c.lenid)) << c.lenid;
}

TEST(FrameCodec, AcceptsLowerCaseDigits) {
  Collector c;
  c.decoder.feed("~21012a500000fd84\r");  // CHKSUM sums the lower-case codes received
  ASSERT_EQ(1u, c.frames.size());
  EXPECT_EQ(0x2A, c.frames[0].cid1);
}

TEST(FrameCodec, RoundTripsLongestInfo) {
  Frame frame{0x21, 0xFE, 0x42, 0x00, std::vector<std::uint8_t>(kMaxInfoBytes)};
  for (std::size_t i = 0; i < frame.info.size(); ++i) frame.info[i] = static_cast<std::uint8_t>(i);
  Collector c;
  c.decoder.feed(encode(frame));
  ASSERT_EQ(1u, c.frames.size());
  expect_same(frame, c.frames[0]);
  frame.info.push_back(0);
  EXPECT_THROW(encode(frame), std::length_error);
}

TEST(FrameCodec, DecodedResponseLayout) {
  const Frame response{0x20, 0x01, 0x42, 0x00, {0x11, 0x01, 0x02}};
  // VER, ADR, CID1, RTN, LENID 6 little-endian, INFO.
  const std::vector<std::uint8_t> expected{0x20, 0x01, 0x42, 0x00, 0x06, 0x00, 0x11, 0x01, 0x02};
  EXPECT_EQ(expected, decoded_response(response));
  Frame big{0x20, 0x01, 0x41, 0x00, std::vector<std::uint8_t>(300)};
  const auto bytes = decoded_response(big);
  EXPECT_EQ(0x58, bytes[4]);  // LENID 600 = 0x0258, low byte first
  EXPECT_EQ(0x02, bytes[5]);
  EXPECT_EQ(306u, bytes.size());
}

TEST(FrameCodec, ValidFrameSplitAtEveryBoundary) {
  for (std::size_t cut = 0; cut <= kAcAnalogCommand.size(); ++cut) {
    Collector c;
    c.decoder.feed(kAcAnalogCommand.substr(0, cut));
    EXPECT_TRUE(c.frames.empty() || cut == kAcAnalogCommand.size());
    c.decoder.feed(kAcAnalogCommand.substr(cut));
    ASSERT_EQ(1u, c.frames.size()) << "cut at " << cut;
    expect_same(kWorkedExamples[0].frame, c.frames[0]);
    EXPECT_TRUE(c.errors.empty());
  }
}

TEST(FrameCodec, ValidFrameBuriedInNoise) {
  Collector c;
  c.decoder.feed(std::string("\x00\xFF"
                             "20 garbage\r\n",
                             14) +
                 kAcAnalogCommand + "\n\x13" + kAcAnalogCommand);
  ASSERT_EQ(2u, c.frames.size());
  EXPECT_EQ(2u, c.decoder.error_count(DecodeError::kNoiseBeforeSoi));
  EXPECT_EQ(2u, c.errors.size());
}

struct BadInput {
  const char* name;
  std::string bytes;
  DecodeError error;
  bool header_known;
};

const std::vector<BadInput> kBadInputs = {
    {"echo before answer", "ABC", DecodeError::kNoiseBeforeSoi, false},
    // SOI inside a frame: the header is known, the frame is cut by the next SOI
    {"cut short", "~20014041E0", DecodeError::kCutShort, true},
    {"cut in header", "~2001", DecodeError::kCutShort, false},
    // CHKSUM FD3C followed by LF instead of CR
    {"missing EOI", "~20014041E00201FD3C\n", DecodeError::kMissingEoi, true},
    // LENGTH D003: LENID 3 with its right LCHKSUM D
    {"odd LENID", "~20014041D003010FD3C\r", DecodeError::kOddLenid, true},
    // LENID 2 but EOI right after CHKSUM-less INFO
    {"LENID longer than digits", "~20014041E00201\r", DecodeError::kLenidMismatch, true},
    // LENID 2 but four INFO digits
    {"LENID shorter than digits", "~20014041E0020101FD3C\r", DecodeError::kLenidMismatch, true},
    // LENGTH F002: LCHKSUM F, should be E
    {"bad LCHKSUM", "~20014041F00201FD3C\r", DecodeError::kBadLengthChecksum, true},
    {"bad CHKSUM", "~20014041E00201FD3D\r", DecodeError::kBadChecksum, true},
    {"non-hex in INFO", "~20014041E002G1FD3C\r", DecodeError::kNonHexDigit, true},
    {"non-hex in VER", "~2X014041E00201FD3C\r", DecodeError::kNonHexDigit, false},
    // ADR 02 while 01 is expected; CHKSUM FD3B is right for it
    {"other address", "~20024041E00201FD3B\r", DecodeError::kWrongAddress, true},
};

TEST(FrameCodec, EachBadInputIsCountedOnceAndDoesNotHarmTheNextFrame) {
  for (const auto& bad : kBadInputs) {
    Collector c;
    c.decoder.expect_address(0x01);
    c.decoder.feed(bad.bytes);
    c.decoder.feed(kAcAnalogCommand);
    ASSERT_EQ(1u, c.errors.size()) << bad.name;
    EXPECT_EQ(bad.error, c.errors[0]) << bad.name << ": " << to_string(c.errors[0]);
    EXPECT_EQ(bad.header_known, c.error_had_header[0]) << bad.name;
    EXPECT_EQ(1u, c.decoder.error_count(bad.error)) << bad.name;
    ASSERT_EQ(1u, c.frames.size()) << bad.name;
    expect_same(kWorkedExamples[0].frame, c.frames[0]);
  }
}

TEST(FrameCodec, AbandonedFrameIsCountedAndForgotten) {
  Collector c;
  c.decoder.feed("~20014041E002");
  EXPECT_TRUE(c.decoder.in_frame());
  c.decoder.abandon();
  EXPECT_EQ(1u, c.decoder.error_count(DecodeError::kAbandoned));
  c.decoder.abandon();
  EXPECT_EQ(1u, c.decoder.error_count(DecodeError::kAbandoned));
  // The rest of the abandoned frame is not taken for a new one.
  c.decoder.feed(std::string("01FD3C\r") + kAcAnalogCommand);
  EXPECT_EQ(1u, c.frames.size());
  EXPECT_EQ(1u, c.decoder.error_count(DecodeError::kNoiseBeforeSoi));
}

}  // namespace
}  // namespace kelvra::frame
