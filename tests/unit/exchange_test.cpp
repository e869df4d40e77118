#include <gtest/gtest.h>

#include <cstdint>

#include "link/exchange.h"
#include "link/frame.h"
#include "platform/simulated.h"
#include "cards.h"
#include "faults.h"
#include "field.h"
#include "support/harness.h"

namespace pelvtest {
namespace {

namespace ps = pelvane::simport;
using pelvane::Answer;
using pelvane::exchangeCommand;
using pelvane::exchangeFrame;

const Bytes kFirmware = hex(kFirmwareAnswer);

class Exchange : public LinkTest {
 protected:
  std::int32_t send(const Bytes& payload, int poll = 0) {
    return exchangeCommand(kPort, payload.data(), static_cast<std::int32_t>(payload.size()),
                           &ans, poll);
  }
  Bytes data() const {
    Bytes d(static_cast<std::size_t>(pelvane::answerDataCount(ans)));
    if (!d.empty()) {
      EXPECT_TRUE(pelvane::answerCopy(ans, 0, static_cast<std::int32_t>(d.size()), d.data()));
    }
    return d;
  }
  Answer ans{};
};

// Bytes left on the line by an earlier command (here a whole stale answer) are
// cleared before the frame goes out; the answer read is the fresh one.
TEST_F(Exchange, CommandIsWrittenAcknowledgedAndAnswered) {
  far.arriveAt(cat(ACK(), answer(hex("03 32 09 09 09"))), 0);
  far.reply(cat(ACK(), answer(kFirmware)));
  arm(10.0);
  EXPECT_EQ(0, send({0x02}));
  EXPECT_EQ((std::vector<Bytes>{hex("00 00 FF 02 FE D4 02 2A 00")}), written());
  ASSERT_TRUE(pelvane::hasAnswer(ans));
  EXPECT_FALSE(pelvane::answerIsExtended(ans));
  EXPECT_EQ(6, pelvane::answerLength(ans));
  EXPECT_BYTES(hex("32 01 06 07"), data());
}

TEST_F(Exchange, AnswerSpreadOverManyPollsIsAssembled) {
  far.perByteUs = 2500;
  far.reply(cat(ACK(), answer(kFirmware)), 3000);
  arm(10.0);
  EXPECT_EQ(0, send({0x02}));
  EXPECT_BYTES(hex("32 01 06 07"), data());
}

// RFRegulationTest gets the ACK only: nothing after the six bytes is read.
TEST_F(Exchange, RfRegulationTestReadsOnlyTheAcknowledgement) {
  far.reply(cat(ACK(), answer(hex("59"))));
  arm(10.0);
  ans.frameLength = 1234;
  EXPECT_EQ(0, send(hex("58 00")));
  EXPECT_EQ(9u, far.pending());
  EXPECT_FALSE(pelvane::hasAnswer(ans));
  EXPECT_EQ(-1, pelvane::answerLength(ans));
  EXPECT_EQ(6, ans.received);
}

// With or without the poll flag: code 0, no answer, nothing sent again.
TEST_F(Exchange, NackEndsTheExchangeAfterSixBytes) {
  for (int poll : {0, 1}) {
    ps::clearEvents();
    far.reply(cat(NACK(), answer(kFirmware)));
    arm(10.0);
    EXPECT_EQ(0, send(hex(poll ? "4A 01 00" : "02"), poll)) << poll;
    EXPECT_EQ(13u, far.pending());
    EXPECT_EQ(6, ans.received);
    EXPECT_FALSE(pelvane::hasAnswer(ans));
    EXPECT_EQ(-1, pelvane::answerByte(ans, 0));
    EXPECT_EQ(1u, written().size());
  }
}

struct Corruption {
  const char* name;
  std::size_t offset;  // in the frame of answer(kFirmware)
  std::uint8_t value;
  std::int32_t code;
};

class AnswerChecks : public Exchange, public ::testing::WithParamInterface<Corruption> {};

// Checksum failures show only after the whole frame is in; TFI, preamble and
// postamble are not checked.
TEST_P(AnswerChecks, WholeFrameIsReadThenChecked) {
  const Corruption& c = GetParam();
  Bytes reply = answer(kFirmware);
  reply[c.offset] = c.value;
  if (c.name == std::string("WrongTfiGoodDcs")) reply[11] = static_cast<std::uint8_t>(reply[11] + 1);
  far.reply(cat(ACK(), reply, hex("AA BB")));
  arm(10.0);
  EXPECT_EQ(c.code, send({0x02}));
  EXPECT_EQ(2u, far.pending());  // exactly LEN + 7 bytes taken
  EXPECT_EQ(13, ans.received);
  EXPECT_EQ(c.code == 0, pelvane::hasAnswer(ans));
}

INSTANTIATE_TEST_SUITE_P(
    Answer, AnswerChecks,
    ::testing::Values(Corruption{"BadLcs", 4, 0xFB, -1}, Corruption{"BadDcs", 11, 0x00, -1},
                      Corruption{"BadAnswerByte", 8, 0x02, -1},
                      Corruption{"WrongTfiGoodDcs", 5, 0xD4, 0},
                      Corruption{"WrongPostamble", 12, 0xFF, 0},
                      Corruption{"WrongPreamble", 0, 0x55, 0}),
    [](const ::testing::TestParamInfo<Corruption>& i) { return std::string(i.param.name); });

// The extended form is checked as the normal one: LENM + LENL + LCS and TFI +
// answer + DCS; TFI and postamble are not.
TEST_F(Exchange, ExtendedAnswerIsCheckedAsANormalOne) {
  Bytes body = {0x41, 0x00};
  for (int i = 0; i < 300; ++i) body.push_back(static_cast<std::uint8_t>(i));
  const Bytes good = answerExtended(body);
  const std::size_t dcs = good.size() - 2;
  struct Case {
    const char* name;
    std::size_t offset;
    std::uint8_t flip;
    std::size_t offset2;  // a second change that keeps the DCS right (0: none)
    std::int32_t code;
  };
  const std::vector<Case> cases = {
      {"intact", 0, 0x00, 0, 0},
      {"BadLcs", 7, 0x55, 0, -1},
      {"BadDcs", dcs, 0x55, 0, -1},
      {"BadDataByte", 200, 0x01, 0, -1},
      {"WrongTfiGoodDcs", 8, 0x02, dcs, 0},  // D5 becomes D7
      {"WrongPostamble", good.size() - 1, 0xFF, 0, 0},
  };
  for (const Case& c : cases) {
    Bytes reply = good;
    reply[c.offset] = static_cast<std::uint8_t>(reply[c.offset] ^ c.flip);
    if (c.offset2 != 0) reply[c.offset2] = static_cast<std::uint8_t>(reply[c.offset2] - c.flip);
    far.reply(cat(ACK(), reply, hex("AA BB")));
    arm(10.0);
    EXPECT_EQ(c.code, send(hex("40 01 00"))) << c.name;
    EXPECT_EQ(2u, far.pending()) << c.name;  // exactly LEN + 10 bytes taken
    EXPECT_EQ(c.code == 0, pelvane::hasAnswer(ans)) << c.name;
    if (c.code != 0) continue;
    ASSERT_TRUE(pelvane::answerIsExtended(ans));
    EXPECT_EQ(303, pelvane::answerLength(ans));
    EXPECT_EQ(303 + 10, ans.frameLength);
    EXPECT_EQ(0x00, pelvane::answerByte(ans, 0));    // status at offset 10
    EXPECT_EQ(299 & 0xFF, pelvane::answerByte(ans, 300));
    EXPECT_EQ(-1, pelvane::answerByte(ans, 301));
  }
}

TEST_F(Exchange, ShortAnswerAsExtendedFrameIsAccepted) {
  far.reply(cat(ACK(), answerExtended(kFirmware)));
  arm(10.0);
  EXPECT_EQ(0, send({0x02}));
  EXPECT_EQ(16, ans.frameLength);
  EXPECT_BYTES(hex("32 01 06 07"), data());
}

// A frame longer than the buffer is read to its end and dropped, so the next
// command finds a clean line; nothing is stored past the buffer.
TEST_F(Exchange, OversizedExtendedAnswerIsDrainedAndRefused) {
  const Bytes big = answerExtended(Bytes(pelvane::kAnswerCapacity + 500, 0x5A));
  far.reply(cat(ACK(), big));
  far.reply(cat(ACK(), answer(kFirmware)));
  arm(10.0);
  EXPECT_EQ(-1, send(hex("40 01 00")));
  EXPECT_FALSE(pelvane::hasAnswer(ans));
  EXPECT_LE(ans.received, pelvane::kAnswerCapacity);
  EXPECT_EQ(0u, far.pending());
  EXPECT_EQ(0, send({0x02}));
  EXPECT_BYTES(hex("32 01 06 07"), data());
}

TEST_F(Exchange, OversizedAnswerCutShortEndsAtTheDeadline) {
  Bytes big = answerExtended(Bytes(pelvane::kAnswerCapacity + 500, 0x5A));
  big.resize(1500);
  far.reply(cat(ACK(), big));
  arm(1.0);
  EXPECT_EQ(-2, send(hex("40 01 00")));
  EXPECT_LE(elapsedMs(), 150);
}

TEST_F(Exchange, AnswerAtTheLargestExtendedSizeFits) {
  const Bytes body(pelvane::kAnswerCapacity - 11, 0x33);  // LEN = capacity - 10
  far.reply(cat(ACK(), answerExtended(body)));
  arm(10.0);
  EXPECT_EQ(0, send(hex("40 01 00")));
  EXPECT_EQ(pelvane::kAnswerCapacity, ans.frameLength);
}

struct Silence {
  const char* name;
  Bytes reply;
  std::int32_t received;
};

class SilentReader : public Exchange, public ::testing::WithParamInterface<Silence> {};

TEST_P(SilentReader, DeadlineEndsTheExchangeWithMinusTwo) {
  far.reply(GetParam().reply);
  arm(2.0);
  ans.frameLength = 77;
  EXPECT_EQ(-2, send({0x02}));
  EXPECT_EQ(GetParam().received, ans.received);
  EXPECT_FALSE(pelvane::hasAnswer(ans));
  EXPECT_GE(elapsedMs(), 200);
  EXPECT_LE(elapsedMs(), 250);
}

INSTANTIATE_TEST_SUITE_P(
    During, SilentReader,
    ::testing::Values(Silence{"Acknowledgement", hex("00 00 FF"), 3},
                      Silence{"AnswerHead", cat(ACK(), hex("00 00")), 2},
                      Silence{"AnswerBody", cat(ACK(), hex("00 00 FF 06 FA D5 03")), 7}),
    [](const ::testing::TestParamInfo<Silence>& i) { return std::string(i.param.name); });

TEST_F(Exchange, PurgeFailureIsATimeoutCodeAndWritesNothing) {
  ps::failCall(ps::Call::Purge, 0, 1);
  EXPECT_EQ(-2, send({0x02}));
  ps::failCall(ps::Call::Purge, 1, 1);  // the purge inside exchangeFrame
  EXPECT_EQ(-2, send({0x02}));
  EXPECT_TRUE(written().empty());
}

TEST_F(Exchange, WriteFailureIsMinusOne) {
  ps::failCall(ps::Call::Write, 0, 1);
  far.reply(cat(ACK(), answer(kFirmware)));
  EXPECT_EQ(-1, send({0x02}));
  EXPECT_FALSE(pelvane::hasAnswer(ans));
}

TEST_F(Exchange, ReadFailureMidAnswerIsMinusOne) {
  far.reply(cat(ACK(), answer(kFirmware)));
  ps::failCall(ps::Call::Read, 9, 1);
  arm(10.0);
  EXPECT_EQ(-1, send({0x02}));
  EXPECT_EQ(3, ans.received);
}

// After a good answer, a NACK, an RFRegulationTest or a failure must not leave the
// earlier answer's bytes readable through the accessors.
TEST_F(Exchange, AccessorsRefuseBytesOfAnEarlierExchange) {
  far.reply(cat(ACK(), answer(hex("4B 01 01 00 44 00 07 04 11 22 33 44 55 66"))));
  arm(10.0);
  ASSERT_EQ(0, send(hex("4A 01 00")));
  ASSERT_EQ(0x44, pelvane::answerByte(ans, 3));

  const Bytes followUps[] = {NACK(), ACK(), hex("00 00 FF")};
  const Bytes payloads[] = {hex("40 01 30 04"), hex("58 00"), hex("40 01 30 04")};
  for (int i = 0; i < 3; ++i) {
    far.reply(followUps[i]);
    arm(1.0);
    send(payloads[i]);
    std::uint8_t out[4] = {};
    EXPECT_EQ(-1, pelvane::answerByte(ans, 3)) << i;
    EXPECT_EQ(0, pelvane::answerDataCount(ans)) << i;
    EXPECT_FALSE(pelvane::answerCopy(ans, 0, 1, out)) << i;
  }
}

TEST_F(Exchange, AccessorsRefuseFieldsBeyondAShortAnswer) {
  far.reply(cat(ACK(), answer(hex("41 00 AA"))));
  arm(10.0);
  ASSERT_EQ(0, send(hex("40 01 30 04")));
  std::uint8_t out[16] = {};
  EXPECT_EQ(2, pelvane::answerDataCount(ans));
  EXPECT_EQ(0xAA, pelvane::answerByte(ans, 1));
  EXPECT_EQ(-1, pelvane::answerByte(ans, 2));
  EXPECT_EQ(-1, pelvane::answerByte(ans, -1));
  EXPECT_FALSE(pelvane::answerCopy(ans, 0, 16, out));
  EXPECT_FALSE(pelvane::answerCopy(ans, 1, 2, out));
  EXPECT_FALSE(pelvane::answerCopy(ans, -1, 1, out));
  EXPECT_TRUE(pelvane::answerCopy(ans, 0, 2, out));
  EXPECT_BYTES(hex("00 AA"), Bytes(out, out + 2));
}

// Frames of LEN 0 and 1 pass both checksums but hold no answer code: garbage
// before the ACK can shift the framing onto one. They are link failures, read whole.
TEST_F(Exchange, AnswerShorterThanTfiAndAnswerCodeIsALinkFailure) {
  for (const Bytes& frame : {hex("00 00 FF 00 00 00 00"), hex("00 00 FF 01 FF D5 2B 00")}) {
    far.reply(cat(ACK(), frame, hex("AA")));
    arm(10.0);
    ans.frameLength = 0;
    EXPECT_EQ(-1, send(hex("06 63 06")));
    EXPECT_EQ(1u, far.pending());
    EXPECT_BYTES(frame, Bytes(ans.bytes, ans.bytes + ans.received));
    EXPECT_FALSE(pelvane::hasAnswer(ans));
    EXPECT_EQ(0, pelvane::answerDataCount(ans));
  }
}

TEST_F(Exchange, MalformedArgumentsAreRefusedWithoutTouchingThePort) {
  std::uint8_t p[300] = {0x40};
  EXPECT_EQ(-1, exchangeCommand(kPort, p, 256, &ans, 0));
  EXPECT_EQ(-1, exchangeCommand(kPort, p, -1, &ans, 0));
  EXPECT_EQ(-1, exchangeCommand(kPort, nullptr, 2, &ans, 0));
  EXPECT_EQ(-1, exchangeCommand(kPort, p, 1, nullptr, 0));
  EXPECT_EQ(-1, exchangeCommand(0, p, 1, &ans, 0));
  EXPECT_EQ(-1, exchangeFrame(kPort, nullptr, 5, &ans));
  EXPECT_TRUE(ps::events().empty());
}

TEST_F(Exchange, ClosedSlotFailsAtThePurge) {
  EXPECT_EQ(-2, exchangeCommand(7, kFirmware.data(), 1, &ans, 0));
}

// ---- polling ----

const Bytes kNoTarget = cat(ACK(), answer(hex("4B 00")));
const Bytes kFieldOffAnswer = cat(ACK(), answer(hex("33")));
const Bytes kTypeAPoll = hex("4A 01 00");
const Bytes kTypeBPoll = hex("4A 01 03 00");

TEST_F(Exchange, WithoutPollFlagAnEmptyTargetListIsReturnedAtOnce) {
  far.reply(kNoTarget);
  arm(10.0);
  EXPECT_EQ(0, send(kTypeAPoll, 0));
  EXPECT_EQ(1u, written().size());
  EXPECT_EQ(3, pelvane::answerLength(ans));
}

TEST_F(Exchange, PollingRepeatsUntilATargetIsListed) {
  far.reply(kNoTarget);
  far.reply(kNoTarget);
  far.reply(kNoTarget);
  far.reply(cat(ACK(), answer(hex("4B 01 01 00 44 00 07 04 11 22 33 44 55 66"))));
  arm(10.0);
  EXPECT_EQ(0, send(kTypeAPoll, 1));
  EXPECT_EQ(std::vector<Bytes>(4, frame(kTypeAPoll)), written());
  EXPECT_EQ(std::vector<std::uint32_t>(3, 1), sleeps());
  EXPECT_EQ(0x01, pelvane::answerByte(ans, 0));
}

TEST_F(Exchange, TypeBPollingSwitchesTheFieldOffBetweenAttempts) {
  far.replyToEvery([](const Bytes& w) { return w[6] == 0x32 ? kFieldOffAnswer : kNoTarget; });
  arm(1.0);
  EXPECT_EQ(-2, send(kTypeBPoll, 1));
  // Each attempt costs 11 ms, so the deadline test after the 11th poll (at
  // 110 ms) is the first to find it passed: 11 polls, 10 field-off frames.
  const std::vector<Bytes> w = written();
  ASSERT_EQ(21u, w.size());
  for (std::size_t i = 0; i < w.size(); ++i) {
    EXPECT_BYTES(i % 2 == 0 ? frame(kTypeBPoll) : hex("00 00 FF 04 FC D4 32 01 00 F9 00"), w[i]);
  }
  const std::vector<std::uint32_t> s = sleeps();
  ASSERT_EQ(20u, s.size());
  for (std::size_t i = 0; i < s.size(); ++i) EXPECT_EQ(i % 2 == 0 ? 1u : 10u, s[i]);
  EXPECT_EQ(110, elapsedMs());
  EXPECT_EQ(3, pelvane::answerLength(ans));  // the last empty poll answer
}

TEST_F(Exchange, TypeBPollingStopsAtTheFirstTarget) {
  far.reply(kNoTarget);
  far.reply(kFieldOffAnswer);
  far.reply(cat(ACK(), answer(hex("4B 01 01 50 11 22 33 44 00 00 00 00 00 00 00"))));
  arm(10.0);
  EXPECT_EQ(0, send(kTypeBPoll, 1));
  EXPECT_EQ((std::vector<Bytes>{frame(kTypeBPoll), frame(hex("32 01 00")), frame(kTypeBPoll)}), written());
  EXPECT_EQ((std::vector<std::uint32_t>{1, 10}), sleeps());
}

TEST_F(Exchange, FieldOffFailureBetweenTypeBPollsEndsThePolling) {
  far.reply(kNoTarget);
  far.reply(hex("00 00 FF"));  // the field-off answer breaks off
  arm(1.0);
  EXPECT_EQ(-2, send(kTypeBPoll, 1));
  EXPECT_EQ(2u, written().size());
}

TEST_F(Exchange, TypeAPollingHasOnlyTheOneMillisecondPause) {
  far.replyToEvery([](const Bytes&) { return kNoTarget; });
  arm(1.0);
  EXPECT_EQ(-2, send(kTypeAPoll, 1));
  for (const Bytes& w : written()) EXPECT_BYTES(frame(kTypeAPoll), w);
  for (std::uint32_t s : sleeps()) EXPECT_EQ(1u, s);
  // Attempts follow each other 1 ms apart; the test at 100 ms ends them.
  EXPECT_EQ(101u, written().size());
  EXPECT_EQ(100, elapsedMs());
}

TEST_F(Exchange, PollingCommandWhoseAnswerIsNotLen3IsSentOnce) {
  far.replyToEvery([](const Bytes&) { return kFieldOffAnswer; });
  arm(10.0);
  EXPECT_EQ(0, send(hex("32 01 00"), 1));
  EXPECT_EQ(1u, written().size());
}

TEST_F(Exchange, PollingFailureIsNotRetried) {
  far.reply(kNoTarget);
  far.reply(cat(ACK(), hex("00 00 FF 03 FC D5 4B 00 E0 00")));  // bad LCS
  arm(10.0);
  EXPECT_EQ(-1, send(kTypeAPoll, 1));
  EXPECT_EQ(2u, written().size());
}

// With no deadline the frame goes out at most 100001 times, then the last
// empty answer is returned with 0.
TEST_F(Exchange, PollingWithoutDeadlineStopsAfter100001Attempts) {
  ps::setRecording(false);
  far.keepRecord = false;
  int writes = 0;
  far.replyToEvery([&writes](const Bytes&) {
    ++writes;
    return kNoTarget;
  });
  portSlot().deadline = 0;
  EXPECT_EQ(0, send(kTypeAPoll, 1));
  EXPECT_EQ(100001, writes);
  EXPECT_EQ(3, pelvane::answerLength(ans));
  EXPECT_EQ(100001, elapsedMs());  // one 1 ms pause after every attempt
}


// ---- against the simulated controller ----

namespace model {

using ControllerExchange = SimReaderTest;

std::int32_t sendTo(Answer* a, const Bytes& payload, int poll) {
  return exchangeCommand(kPort, payload.data(), static_cast<std::int32_t>(payload.size()), a, poll);
}

TEST_F(ControllerExchange, FirmwareVersionComesBackFromTheModel) {
  Answer a{};
  arm(10.0);
  ASSERT_EQ(0, sendTo(&a, {0x02}, 0));
  EXPECT_EQ(0x32, pelvane::answerByte(a, 0));
  EXPECT_EQ(std::vector<Bytes>{Bytes{0x02}}, controller.commands());
}

TEST_F(ControllerExchange, TypeBPollFindsTheCardAfterFieldResets) {
  pelvsim::addCards("typeB", controller.field());
  Answer a{};
  arm(10.0);
  ASSERT_EQ(0, sendTo(&a, kTypeBPoll, 1));
  EXPECT_EQ(1, pelvane::answerByte(a, 0));  // one target
}

TEST_F(ControllerExchange, TypeBPollWithEmptyFieldEndsAtTheDeadline) {
  Answer a{};
  arm(1.0);
  EXPECT_EQ(-2, sendTo(&a, kTypeBPoll, 1));
  const auto& cmds = controller.commands();
  ASSERT_GE(cmds.size(), 2u);
  for (std::size_t i = 0; i < cmds.size(); ++i) {
    EXPECT_BYTES(i % 2 == 0 ? kTypeBPoll : hex("32 01 00"), cmds[i]);
  }
}

TEST_F(ControllerExchange, ChecksumFaultsAreReportedAndTheNextCommandWorks) {
  const pelvsim::Fault faults[] = {pelvsim::Fault::BadLcs, pelvsim::Fault::BadDcs};
  for (pelvsim::Fault f : faults) {
    controller.faults().script(f);
    Answer a{};
    arm(10.0);
    EXPECT_EQ(-1, sendTo(&a, {0x02}, 0));
    arm(10.0);
    EXPECT_EQ(0, sendTo(&a, {0x02}, 0));
  }
}

TEST_F(ControllerExchange, ExtendedAnswerFromTheModelIsAccepted) {
  controller.faults().script(pelvsim::Fault::ExtendedAnswer);
  Answer a{};
  arm(10.0);
  ASSERT_EQ(0, sendTo(&a, {0x02}, 0));
  EXPECT_TRUE(pelvane::answerIsExtended(a));
  EXPECT_EQ(0x32, pelvane::answerByte(a, 0));
}

TEST_F(ControllerExchange, PacedLineStillDeliversWholeAnswers) {
  controller.setPacing(true);
  Answer a{};
  arm(10.0);
  const std::uint64_t start = ps::nowUs();
  ASSERT_EQ(0, sendTo(&a, {0x02}, 0));
  EXPECT_EQ(0x32, pelvane::answerByte(a, 0));
  // The ACK and the 13-byte answer, 19 bytes of 10 bits at 115200 baud, cannot
  // arrive in less than their line time.
  EXPECT_GE(ps::nowUs() - start, 19u * 10u * 1000000u / 115200u);
}

}  // namespace model
}  // namespace
}  // namespace pelvtest
