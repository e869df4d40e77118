// The simulated controller's receiver and transmitter: how it finds host frames
// in the byte stream, what it ignores, and the frames it sends back.
#include "sim_wire.h"

namespace simtest {
namespace {

const Bytes kFirmware = hex(kFirmwareAnswer);

TEST(SimFrames, AnswersGetFirmwareVersionWithAckThenOneFrame) {
  Host h;
  EXPECT_BYTES(cat(ACK(), answer(kFirmware)), h.send(hex("02")));
}

// Bytes before the start code that a robust receiver must skip.
struct Lead {
  const char* name;
  Bytes bytes;
};

class SimFramesLeadingBytes : public ::testing::TestWithParam<Lead> {};

TEST_P(SimFramesLeadingBytes, AreSkippedUpToTheStartCode) {
  Host h;
  h.write(cat(GetParam().bytes, frame(hex("02"))));
  EXPECT_BYTES(cat(ACK(), answer(kFirmware)), h.read());
}

INSTANTIATE_TEST_SUITE_P(
    Preambles, SimFramesLeadingBytes,
    ::testing::Values(Lead{"wakeUp", hex("55 55 00 00 00 00 00 00 00 00 00 00 00 00 00 00")},
                      Lead{"longZeros", Bytes(300, 0x00)}, Lead{"garbage", hex("13 37 FF 00 A5 5A")},
                      Lead{"loneStartCodeByte", hex("FF FF 00")}),
    [](const auto& p) { return std::string(p.param.name); });

// The frame is complete with its DCS; the postamble is not waited for.
TEST(SimFrames, FrameSplitIntoSingleBytesIsTakenWithItsChecksumByte) {
  Host h;
  const Bytes f = frame(hex("02"));
  for (std::size_t k = 0; k + 2 < f.size(); ++k) {
    h.write(Bytes{f[k]});
    EXPECT_EQ(0u, h.read().size()) << "answered before byte " << k + 1;
  }
  h.write(Bytes{f[f.size() - 2]});
  EXPECT_BYTES(cat(ACK(), answer(kFirmware)), h.read());
  h.write(Bytes{f.back()});
  EXPECT_BYTES(cat(ACK(), answer(kFirmware)), h.send(hex("02")));
}

// A damaged frame is ignored; the good frame after it is answered.
struct Damage {
  const char* name;
  Bytes frame;  // GetFirmwareVersion is 00 00 FF 02 FE D4 02 2A 00
};

class SimFramesDamaged : public ::testing::TestWithParam<Damage> {};

TEST_P(SimFramesDamaged, IsIgnoredAndTheNextFrameAnswered) {
  Host h;
  h.write(GetParam().frame);
  EXPECT_EQ("", toHex(h.read()));
  EXPECT_BYTES(cat(ACK(), answer(kFirmware)), h.send(hex("02")));
  ASSERT_EQ(1u, h.c.commands().size());  // only the good frame is recorded
}

INSTANTIATE_TEST_SUITE_P(Checks, SimFramesDamaged,
                         ::testing::Values(Damage{"wrongLcs", hex("00 00 FF 02 FD D4 02 2A 00")},
                                           Damage{"wrongDcs", hex("00 00 FF 02 FE D4 02 2B 00")},
                                           Damage{"wrongTfi", infoFrame(0xD5, hex("02"), false)},
                                           Damage{"zeroLength", hex("00 00 FF 00 00 D4 02 2A 00")}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SimFrames, ExtendedHostFrameIsAcceptedAndLongAnswerGoesOutExtended) {
  Host h;
  h.c.field().peer = pelvsim::DepPeer{};
  ASSERT_EQ(0x00, h.ask(hex("56 01 00 01 00 FF FF 00 00"))[1]);
  Bytes payload = hex("40 01");
  for (int k = 0; k < 262; ++k) payload.push_back(static_cast<std::uint8_t>(k));
  const Bytes wire = h.send(payload);  // 264 bytes, the most InDataExchange takes: an extended frame
  ASSERT_GT(wire.size(), 11u);
  EXPECT_EQ(0xFF, wire[6 + 3]);
  EXPECT_EQ(0xFF, wire[6 + 4]);
  Bytes a;
  ASSERT_TRUE(parseAnswer(wire, &a)) << toHex(wire);
  Bytes expected = hex("41 00");
  expected.insert(expected.end(), payload.begin() + 2, payload.end());  // the peer echoes
  EXPECT_BYTES(expected, a);
  payload.push_back(0x00);
  EXPECT_BYTES(Bytes{}, h.send(payload)) << "a frame beyond the controller's 265 bytes is noise";
}

TEST(SimFrames, AnswerOf254BytesFitsANormalFrameAnd255DoNot) {
  Host h;
  h.c.field().peer = pelvsim::DepPeer{};
  h.ask(hex("56 01 00 01 00 FF FF 00 00"));
  for (std::size_t n : {252u, 253u}) {
    Bytes payload = hex("40 01");
    payload.resize(2 + n, 0x11);
    const Bytes wire = h.send(payload);  // answer: 41 00 + n bytes
    const bool extended = wire.size() > 10 && wire[9] == 0xFF && wire[10] == 0xFF;
    EXPECT_EQ(n == 253, extended) << "payload of " << n;
  }
}

TEST(SimFrames, UnknownCommandGetsAckThenErrorFrame) {
  Host h;
  EXPECT_BYTES(cat(ACK(), errorFrame()), h.send(hex("7A 01")));
  EXPECT_BYTES(cat(ACK(), errorFrame()), h.send(Bytes{}));
}

TEST(SimFrames, RfRegulationTestGetsOnlyTheAck) {
  Host h;
  EXPECT_BYTES(ACK(), h.send(hex("58 00")));
  EXPECT_BYTES(cat(ACK(), answer(kFirmware)), h.send(hex("02")));
}

TEST(SimFrames, HostNackRepeatsTheLastAnswer) {
  Host h;
  h.send(hex("02"));
  h.write(NACK());
  EXPECT_BYTES(answer(kFirmware), h.read());
}

TEST(SimFrames, RecordsEveryValidCommandPayloadInOrder) {
  Host h;
  h.send(hex("02"));
  h.write(cat(frame(hex("32 01 00")), frame(hex("0C"))));
  h.read();
  ASSERT_EQ(3u, h.c.commands().size());
  EXPECT_BYTES(hex("02"), h.c.commands()[0]);
  EXPECT_BYTES(hex("32 01 00"), h.c.commands()[1]);
  EXPECT_BYTES(hex("0C"), h.c.commands()[2]);
  h.c.clearCommands();
  EXPECT_TRUE(h.c.commands().empty());
}

TEST(SimFrames, DiagnoseLineTestEchoesItsData) {
  Host h;
  EXPECT_BYTES(hex("01 00 6C 69 62 6E 66 63"), h.ask(hex("00 00 6C 69 62 6E 66 63")));
}

}  // namespace
}  // namespace simtest
