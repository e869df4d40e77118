// Peer activation (0x50), field off (0x51) and target receive (0x60), byte-exact
// against a scripted controller.
#include <string>
#include <vector>

#include "card_test_util.h"
#include "command/dispatcher.h"
#include "support/harness.h"

namespace {

using namespace cardtest;
using pelvane::ReaderMode;
using pelvtest::ACK;
using pelvtest::cat;

const char* const kJump212 = "56 01 01 01 00 FF FF 00 00";
const char* const kTgInit =
    "8C 00 08 00 12 34 56 40 01 FF A2 A3 A4 A5 A6 A7 C0 C1 C2 C3 C4 C5 C6 C7 "
    "FF FF AA 99 88 77 66 55 44 33 22 11 00 00";
// InJumpForDEP answer: status, Tg, NFCID3t, DIDt, BSt, BRt, TO, PPt.
const char* const kJumpAnswerOk = "57 00 01 11 22 33 44 55 66 77 88 99 AA 00 00 00 0E 32";

class PeerCommandTest : public pelvtest::LinkTest {
 protected:
  std::uint16_t run(ReaderMode mode, const Bytes& p) {
    portSlot().readerMode = mode;
    const std::uint16_t result = pelvane::commandProc(pelvtest::kPort, p.data(), response.bytes);
    EXPECT_EQ(portSlot().readerMode, mode) << "link commands never change the mode";
    return result;
  }
  ResponseBuffer response;
};

TEST_F(PeerCommandTest, InitiatorActivationSendsInJumpForDepWithTheBaudRateUnchecked) {
  for (const char* br : {"00", "01", "02", "07"}) {
    pelvane::simport::clearEvents();
    answerNext(far, kJumpAnswerOk);
    EXPECT_EQ(run(pelvane::kModePeerInitiator, packet(0x50, br)), 0) << br;
    EXPECT_EQ(sentCommands(),
              (std::vector<std::string>{"56 01 " + std::string(br) + " 01 00 FF FF 00 00"}));
    EXPECT_EQ(response.text(), "03 50 00");
  }
}

TEST_F(PeerCommandTest, InitiatorActivationPassesTheControllerStatusOn) {
  answerNext(far, "57 01");
  EXPECT_EQ(run(pelvane::kModePeerInitiator, packet(0x50, "01")), 1);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{kJump212}));
  EXPECT_EQ(response.text(), "03 50 01");
}

TEST_F(PeerCommandTest, TargetActivationSendsTheFixedTgInitAsTarget) {
  answerNext(far, "8D 04 11 D4 00 01 02 03 04 05 06 07 08 09 0A 00 00 00 32");
  EXPECT_EQ(run(pelvane::kModeTarget, packet(0x50, "")), 0);
  ASSERT_EQ(sentCommands(), (std::vector<std::string>{kTgInit}));
  EXPECT_EQ(response.text(), "04 50 00 00");
}

TEST_F(PeerCommandTest, TargetActivationReportsTheBaudRateFieldOfTheModeByte) {
  const struct {
    const char* mode;
    const char* expected;
  } cases[] = {{"26", "04 50 00 02"}, {"15", "04 50 00 01"}, {"04", "04 50 00 00"},
               {"F0", "04 50 00 0F"}};
  for (const auto& c : cases) {
    answerNext(far, std::string("8D ") + c.mode + " 11 D4 00");
    EXPECT_EQ(run(pelvane::kModeTarget, packet(0x50, "")), 0) << c.mode;
    EXPECT_EQ(response.text(), c.expected) << c.mode;
  }
}

// A wait that runs out of time leaves the controller busy: the host aborts it
// with the ACK frame, waking it first after TgInitAsTarget, during which it
// sleeps, and gives it 10 ms. No other exchange does.
TEST_F(PeerCommandTest, TimedOutWaitsAreAbortedWithTheAckFrame) {
  enum class Abort { None, Ack, WakeUpAndAck };
  const struct {
    const char* name;
    ReaderMode mode;
    Bytes packet;
    const char* command;
    const char* response;
    Abort abort;
  } cases[] = {
      {"0x50 as target", pelvane::kModeTarget, packet(0x50, ""), kTgInit, "03 50 FE", Abort::WakeUpAndAck},
      {"0x60 as target", pelvane::kModeTarget, packet(0x60, ""), "86", "03 60 FE", Abort::Ack},
      {"0x50 as initiator", pelvane::kModePeerInitiator, packet(0x50, "00"), "56 01 00 01 00 FF FF 00 00",
       "03 50 FE", Abort::Ack},
      {"0x51 as target", pelvane::kModeTarget, packet(0x51, ""), "32 01 00", "03 51 FE", Abort::None},
  };
  for (const auto& c : cases) {
    pelvane::simport::clearEvents();
    arm(5.0);  // the dispatcher re-arms from 500 ms
    EXPECT_EQ(run(c.mode, c.packet), 1) << c.name;
    EXPECT_EQ(response.text(), c.response) << c.name;
    std::vector<std::string> wire = {pelvtest::toHex(pelvtest::frame(hex(c.command)))};
    if (c.abort == Abort::WakeUpAndAck) wire.push_back("55 55 00 00 00");
    if (c.abort != Abort::None) wire.push_back(pelvtest::toHex(ACK()));
    EXPECT_EQ(writtenHex(), wire) << c.name;
    EXPECT_GE(elapsedMs(), 500) << c.name;
    const std::vector<std::uint32_t> pauses = sleeps();
    if (c.abort == Abort::WakeUpAndAck && pauses.size() >= 2) {
      EXPECT_EQ(std::vector<std::uint32_t>(pauses.end() - 2, pauses.end()),
                (std::vector<std::uint32_t>{2, 10}))
          << "time to start, then time to end the command";
    }
  }
}

TEST_F(PeerCommandTest, FieldOffInBothRolesSendsRfConfiguration) {
  for (ReaderMode mode : {pelvane::kModePeerInitiator, pelvane::kModeTarget}) {
    pelvane::simport::clearEvents();
    answerNext(far, "33");
    EXPECT_EQ(run(mode, packet(0x51, "")), 0);
    EXPECT_EQ(sentCommands(), (std::vector<std::string>{"32 01 00"}));
    EXPECT_EQ(response.text(), "03 51 00");
  }
}

TEST_F(PeerCommandTest, TargetReceiveReturnsTheInitiatorsBytes) {
  answerNext(far, "87 00 00 01 02 03 04 05 06 07 08 09");
  EXPECT_EQ(run(pelvane::kModeTarget, packet(0x60, "")), 0);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"86"}));
  EXPECT_EQ(response.text(), "0D 60 00 00 01 02 03 04 05 06 07 08 09");

  answerNext(far, "87 00");
  EXPECT_EQ(run(pelvane::kModeTarget, packet(0x60, "")), 0);
  EXPECT_EQ(response.text(), "03 60 00");
}

TEST_F(PeerCommandTest, TargetReceiveCarriesTheLongestNormalAnswerWhole) {
  answerNext(far, cat(hex("87 00"), repeat(0x6B, 252)));
  EXPECT_EQ(run(pelvane::kModeTarget, packet(0x60, "")), 0);
  EXPECT_EQ(response.bytes[0], 0xFF);
  EXPECT_EQ(response.bytes[254], 0x6B);
  EXPECT_EQ(response.bytes[255], kUntouched);
}

TEST_F(PeerCommandTest, TargetReceivePassesTheReleaseStatusOn) {
  answerNext(far, "87 29");
  EXPECT_EQ(run(pelvane::kModeTarget, packet(0x60, "")), 1);
  EXPECT_EQ(response.text(), "03 60 29");
}

// Wrong LEN and wrong mode are found before anything is sent.
struct Refusal {
  const char* name;
  ReaderMode mode;
  Bytes packet;
  std::uint16_t result;
  const char* response;
};

TEST_F(PeerCommandTest, RefusalsSendNothing) {
  const Refusal cases[] = {
      {"0x50 LEN 2 as initiator", pelvane::kModePeerInitiator, packet(0x50, ""), 2, "03 50 FD"},
      {"0x50 LEN 4 as initiator", pelvane::kModePeerInitiator, packet(0x50, "01 00"), 2, "03 50 FD"},
      {"0x50 LEN 3 as target", pelvane::kModeTarget, packet(0x50, "01"), 2, "03 50 FD"},
      {"0x51 LEN 3 as initiator", pelvane::kModePeerInitiator, packet(0x51, "00"), 2, "03 51 FD"},
      {"0x51 LEN 3 as target", pelvane::kModeTarget, packet(0x51, "00"), 2, "03 51 FD"},
      {"0x60 LEN 3 as target", pelvane::kModeTarget, packet(0x60, "00"), 2, "03 60 FD"},
      {"0x50 in MIFARE mode", pelvane::kModeMifare, packet(0x50, "01"), 1, "03 50 FF"},
      {"0x50 in Type B mode", pelvane::kModeTypeB, packet(0x50, ""), 1, "03 50 FF"},
      {"0x51 in MIFARE mode", pelvane::kModeMifare, packet(0x51, ""), 1, "03 51 FF"},
      {"0x51 in unused mode 5", static_cast<ReaderMode>(5), packet(0x51, ""), 1, "03 51 FF"},
      {"0x60 as initiator", pelvane::kModePeerInitiator, packet(0x60, ""), 1, "03 60 FF"},
      {"0x60 in FeliCa mode", pelvane::kModeFelica, packet(0x60, ""), 1, "03 60 FF"},
      // The mode is judged before LEN: a LEN no peer command takes, in MIFARE mode.
      {"0x50 LEN 6 in MIFARE mode", pelvane::kModeMifare, packet(0x50, "00 00 00 00"), 1, "03 50 FF"},
      {"0x51 LEN 6 in MIFARE mode", pelvane::kModeMifare, packet(0x51, "00 00 00 00"), 1, "03 51 FF"},
      {"0x60 LEN 6 in MIFARE mode", pelvane::kModeMifare, packet(0x60, "00 00 00 00"), 1, "03 60 FF"},
  };
  for (const Refusal& c : cases) {
    response = ResponseBuffer();
    EXPECT_EQ(run(c.mode, c.packet), c.result) << c.name;
    EXPECT_EQ(response.text(), c.response) << c.name;
  }
  EXPECT_TRUE(pelvane::simport::writes().empty());
}

TEST_F(PeerCommandTest, WithoutAModeEachCommandIsRefusedAndWritesNothing) {
  for (std::uint8_t cmd : {std::uint8_t{0x50}, std::uint8_t{0x51}, std::uint8_t{0x60}}) {
    response = ResponseBuffer();
    EXPECT_EQ(run(pelvane::kModeNone, packet(cmd, "")), 2) << int(cmd);
    EXPECT_TRUE(response.untouched()) << int(cmd);
  }
  EXPECT_TRUE(pelvane::simport::writes().empty());
}

// Answers that lack the byte the command needs are link failures, never a read
// of bytes that did not arrive.
struct BrokenAnswer {
  const char* name;
  ReaderMode mode;
  Bytes packet;
  Bytes reply;
  const char* response;
};

TEST_F(PeerCommandTest, BrokenAnswersAreLinkFailures) {
  const BrokenAnswer cases[] = {
      {"InJumpForDEP without status", pelvane::kModePeerInitiator, packet(0x50, "00"),
       cat(ACK(), pelvtest::answer(hex("57"))), "03 50 FF"},
      {"TgInitAsTarget without mode byte", pelvane::kModeTarget, packet(0x50, ""),
       cat(ACK(), pelvtest::answer(hex("8D"))), "03 50 FF"},
      {"TgGetData without status", pelvane::kModeTarget, packet(0x60, ""),
       cat(ACK(), pelvtest::answer(hex("87"))), "03 60 FF"},
      {"NACK instead of ACK", pelvane::kModeTarget, packet(0x60, ""), pelvtest::NACK(), "03 60 FF"},
      {"NACK to the field-off", pelvane::kModePeerInitiator, packet(0x51, ""), pelvtest::NACK(),
       "03 51 FF"},
      {"TgGetData longer than a response", pelvane::kModeTarget, packet(0x60, ""),
       cat(ACK(), pelvtest::answerExtended(cat(hex("87 00"), repeat(0x33, 253)))), "03 60 FF"},
  };
  for (const BrokenAnswer& c : cases) {
    response = ResponseBuffer();
    far.reply(c.reply);
    EXPECT_EQ(run(c.mode, c.packet), 1) << c.name;
    EXPECT_EQ(response.text(), c.response) << c.name;
    EXPECT_EQ(response.bytes[3], kUntouched) << c.name;
  }
}

TEST_F(PeerCommandTest, FieldOffTimeOutIsAFailure) {
  arm(1.0);
  EXPECT_EQ(run(pelvane::kModePeerInitiator, packet(0x51, "")), 1);
  EXPECT_EQ(response.text(), "03 51 FE");
}

}  // namespace
