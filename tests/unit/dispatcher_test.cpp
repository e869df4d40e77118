// The dispatcher: the closed-port answer, the trace line, the ReaderMode gates
// of every listed command byte and the answer to every unlisted one.
#include "command/dispatcher.h"

#include <string>
#include <vector>

#include "card_test_util.h"
#include "support/harness.h"

namespace {

using namespace cardtest;
using pelvane::commandProc;
namespace ps = pelvane::simport;

std::vector<std::string> traced;
void captureTrace(const char* line) { traced.emplace_back(line); }

class DispatcherTest : public pelvtest::LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    traced.clear();
    pelvane::setTraceSink(captureTrace);
  }
  void TearDown() override {
    pelvane::setTraceSink(nullptr);
    LinkTest::TearDown();
  }
  std::uint16_t run(const Bytes& p, int port = pelvtest::kPort) {
    return commandProc(port, p.data(), response.bytes);
  }
  ResponseBuffer response;
};

TEST_F(DispatcherTest, ClosedSlotAnswersFfWithoutDeadlineOrTrace) {
  for (int port : {0, 5, 256, 257, -1}) {
    ResponseBuffer r;
    const Bytes p = hex("05 F1 63 05 00");
    EXPECT_EQ(commandProc(port, p.data(), r.bytes), pelvane::kResultFailed) << port;
    EXPECT_EQ(r.text(), "03 F1 FF") << port;
  }
  EXPECT_EQ(pelvane::slot(5).deadline, 0);
  EXPECT_TRUE(traced.empty());
  EXPECT_TRUE(ps::events().empty());
}

TEST_F(DispatcherTest, TraceLineSpellsEveryPacketByteAndOnlyThose) {
  run(hex("03 F0 00"));
  run(hex("02 7F"));
  ASSERT_EQ(traced.size(), 2u);
  EXPECT_EQ(traced[0], "commandProc:03F000\n");
  EXPECT_EQ(traced[1], "commandProc:027F\n");
}

TEST_F(DispatcherTest, TraceOfTheLongestPacketHoldsAll255Bytes) {
  Bytes p(255, 0xAB);
  p[0] = 0xFF;
  p[1] = 0x7F;  // unlisted: nothing is sent
  run(p);
  ASSERT_EQ(traced.size(), 1u);
  std::string expected = "commandProc:FF7F";
  for (int i = 2; i < 255; ++i) expected += "AB";
  EXPECT_EQ(traced[0], expected + "\n");
}

TEST_F(DispatcherTest, PacketWithoutCommandByteIsRefusedWithoutReadingPastLen) {
  // Only LEN bytes exist: the vector is exactly that long.
  EXPECT_EQ(run(Bytes{0x00}), pelvane::kResultRefused);
  EXPECT_EQ(response.text(), "03 00 FD");
  EXPECT_EQ(run(Bytes{0x01}), pelvane::kResultRefused);
  EXPECT_EQ(response.text(), "03 00 FD");
  EXPECT_EQ(traced, (std::vector<std::string>{"commandProc:\n", "commandProc:01\n"}));
  EXPECT_TRUE(written().empty());
}

TEST_F(DispatcherTest, DeadlineIsArmedFromTheSlotTimeoutForEveryCommand) {
  portSlot().timeoutTenths = 32.0;
  run(hex("02 F0"));
  EXPECT_EQ(portSlot().deadline, pelvtest::kStartMs + 3200);
  portSlot().timeoutTenths = 0.0;
  run(hex("02 F0"));
  EXPECT_EQ(portSlot().deadline, 0);
  // Unlisted commands start the deadline too.
  portSlot().timeoutTenths = 10.0;
  run(hex("02 99"));
  EXPECT_EQ(portSlot().deadline, pelvtest::kStartMs + 1000);
}

TEST_F(DispatcherTest, NoTimeoutLetsACommandWaitForALateAnswer) {
  portSlot().timeoutTenths = 0.0;
  // The answer arrives ten times the default time-out after the command.
  far.reply(cat(pelvtest::ACK(), pelvtest::answer(hex("07 A5"))), 10u * 1000 * 1000);
  EXPECT_EQ(run(hex("04 F1 63 05")), pelvane::kResultDone);
  EXPECT_EQ(response.text(), "04 F1 00 A5");
  EXPECT_GE(elapsedMs(), 10000);
}

TEST_F(DispatcherTest, EveryUnlistedCommandByteAnswersFcInEveryMode) {
  for (pelvane::ReaderMode mode : {pelvane::kModeNone, pelvane::kModeMifare, pelvane::kModeTypeB}) {
    portSlot().readerMode = mode;
    for (int cmd = 0; cmd < 256; ++cmd) {
      if (isListed(cmd)) continue;
      traced.clear();
      ResponseBuffer r;
      const Bytes p{0x03, static_cast<std::uint8_t>(cmd), 0x00};
      EXPECT_EQ(commandProc(pelvtest::kPort, p.data(), r.bytes), pelvane::kResultRefused) << cmd;
      EXPECT_EQ(r.packet(), (Bytes{0x03, static_cast<std::uint8_t>(cmd), 0xFC})) << cmd;
      EXPECT_EQ(traced.size(), 1u) << cmd;
    }
  }
  EXPECT_TRUE(written().empty());
}

// With no ReaderMode, every card and reader command is refused before the
// reader hears anything, and the response buffer keeps its content.
TEST_F(DispatcherTest, ModeZeroGatesEveryCommandButModeSelectionAndRegulationTest) {
  portSlot().readerMode = pelvane::kModeNone;
  for (int cmd : kListedCommands) {
    if (cmd == 0x10 || cmd == 0xF4) continue;
    for (std::size_t len : {2, 3, 8, 255}) {
      ps::clearEvents();
      ResponseBuffer r;
      Bytes p(len, 0x01);
      p[0] = static_cast<std::uint8_t>(len);
      p[1] = static_cast<std::uint8_t>(cmd);
      const std::uint16_t expected =
          (cmd == 0x32 || cmd == 0x33) ? pelvane::kResultFailed : pelvane::kResultRefused;
      EXPECT_EQ(commandProc(pelvtest::kPort, p.data(), r.bytes), expected) << cmd << " LEN " << len;
      EXPECT_TRUE(r.untouched()) << cmd << " LEN " << len;
      EXPECT_TRUE(written().empty()) << cmd;
      EXPECT_EQ(portSlot().readerMode, pelvane::kModeNone) << cmd;
    }
  }
}

TEST_F(DispatcherTest, ModeSelectionAndRegulationTestRunInModeZero) {
  portSlot().readerMode = pelvane::kModeNone;
  // The silent reader fails the reset's GetFirmwareVersion: result 1, no response,
  // the new mode kept.
  EXPECT_EQ(run(hex("07 10 30 0A 00 00 00")), pelvane::kResultFailed);
  EXPECT_TRUE(response.untouched());
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"02"}));
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeMifare);
  ps::clearEvents();
  far.reply(pelvtest::ACK());
  EXPECT_EQ(run(hex("03 F4 00")), pelvane::kResultDone);
  EXPECT_EQ(response.text(), "03 F4 00");
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"58 00"}));
}

TEST_F(DispatcherTest, TypeAWritesRefuseEveryOtherModeWithoutResponse) {
  for (pelvane::ReaderMode mode :
       {pelvane::kModeFelica, pelvane::kModeFelicaLite, pelvane::kModePeerInitiator,
        pelvane::kModeTarget, pelvane::kModeTypeB, static_cast<pelvane::ReaderMode>(5),
        static_cast<pelvane::ReaderMode>(6), static_cast<pelvane::ReaderMode>(0xAB)}) {
    portSlot().readerMode = mode;
    for (std::uint8_t cmd : {std::uint8_t{0x32}, std::uint8_t{0x33}}) {
      ResponseBuffer r;
      const Bytes p = packet(cmd, "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11");
      EXPECT_EQ(commandProc(pelvtest::kPort, p.data(), r.bytes), pelvane::kResultFailed)
          << int(mode) << " " << int(cmd);
      EXPECT_TRUE(r.untouched());
    }
  }
  EXPECT_TRUE(written().empty());
}

// The handlers, not the gate, answer: a 3-byte packet fits neither the write
// layout (15 + 16n, 11 + 4n) nor the key change (19, 14), so each refuses its LEN.
TEST_F(DispatcherTest, TypeAWritesReachTheirHandlerInBothTypeAModes) {
  for (pelvane::ReaderMode mode : {pelvane::kModeMifare, pelvane::kModePageCard}) {
    portSlot().readerMode = mode;
    for (std::uint8_t cmd : {std::uint8_t{0x32}, std::uint8_t{0x33}}) {
      EXPECT_EQ(run(packet(cmd, "01")), pelvane::kResultRefused) << int(mode) << " " << int(cmd);
      EXPECT_EQ(response.packet(), (Bytes{0x03, cmd, 0xFD})) << int(mode) << " " << int(cmd);
    }
  }
  EXPECT_TRUE(written().empty());
}

TEST_F(DispatcherTest, DetectionWithFirstTechnologyZeroIsRefusedWithFc) {
  EXPECT_EQ(run(hex("06 21 0A 00 10 30")), pelvane::kResultRefused);
  EXPECT_EQ(response.text(), "03 21 FC");
  EXPECT_TRUE(written().empty());
}


// One time limit covers every wait of a command: a controller that answers each
// exchange 400 ms late stops a command of several exchanges at the 1.0 s the
// dispatcher armed, during its third exchange, not 1.0 s after the last one began.
struct DeadlineCase {
  const char* what;
  Bytes packet;
  std::vector<Bytes> answers;  // what the controller answers, each 400 ms late
  const char* response;
  std::uint16_t result;
};

class OneDeadline : public DispatcherTest, public ::testing::WithParamInterface<DeadlineCase> {};

TEST_P(OneDeadline, CoversEveryExchangeOfACommand) {
  const DeadlineCase& c = GetParam();
  portSlot().readerMode = pelvane::kModeMifare;
  portSlot().timeoutTenths = 10.0;
  for (const Bytes& a : c.answers) far.reply(cat(pelvtest::ACK(), pelvtest::answer(a)), 400000);
  const std::int32_t start = ps::nowMs();
  EXPECT_EQ(run(c.packet), c.result);
  EXPECT_EQ(response.text(), c.response);
  EXPECT_GE(ps::nowMs() - start, 1000);
  EXPECT_LT(ps::nowMs() - start, 1100);
  EXPECT_EQ(sentCommands().size(), 3u);
}

const std::string kKeyed = std::string(kUid4) + " " + kFactoryKey;
const Bytes kBlock = sequence(0x30, 16);

INSTANTIATE_TEST_SUITE_P(
    MultiExchange, OneDeadline,
    ::testing::Values(
        DeadlineCase{"read_of_three_blocks", packet(0x30, kKeyed + " 01 00 03"),
                     {dataAnswer(0), dataAnswer(0, kBlock), dataAnswer(0, kBlock), dataAnswer(0, kBlock)},
                     "03 30 FE", 0},
        DeadlineCase{"write_of_three_blocks", packet(0x31, kKeyed + " 01 00 03 " + toHex(repeat(0x55, 48))),
                     {dataAnswer(0), dataAnswer(0), dataAnswer(0), dataAnswer(0)}, "03 31 FE", 1},
        DeadlineCase{"key_change", packet(0x33, kKeyed + " 01 A0 A1 A2 A3 A4 A5"),
                     {dataAnswer(0), dataAnswer(0, kBlock), dataAnswer(0)}, "03 33 FE", 1}),
    [](const ::testing::TestParamInfo<DeadlineCase>& p) { return std::string(p.param.what); });

}  // namespace
