// The Type B card interface (RW_ functions) against a simulated reader with a
// Type B card, on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "controller.h"
#include "faults.h"
#include "field.h"
#include "pelvane.h"
#include "platform/simulated.h"
#include "port/port_table.h"
#include "support/harness.h"

namespace pelvane {
namespace {

using namespace pelvtest;
namespace ps = simport;


std::int32_t sense(std::int32_t port) {
  std::int32_t status = kUnwritten;
  EXPECT_EQ(RW_Sense(port, 0, &status, 0), PELVANE_RW_OK);
  return status;
}

std::vector<std::string> traceLines;
void PELVANE_CALL collectTrace(const char* line) { traceLines.emplace_back(line); }

class TypeBInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    ps::reset(pelvtest::kStartMs);
    setUpPortTable();
    ps::addDevice(pathOf(kPort), &side_);
    reader_.field().typeB.push_back(pelvsim::TypeBCard::make());
    traceLines.clear();
  }
  void TearDown() override {
    PV_SetTraceSink(nullptr);
    ps::reset(pelvtest::kStartMs);
    setUpPortTable();
  }

  // Opens and activates the card; the controller's record starts afresh.
  void openAndActivate() {
    ASSERT_EQ(RW_Open(kPort), PELVANE_RW_OK);
    ASSERT_EQ(RW_Activate(kPort, 1, 0, 0, 0), PELVANE_RW_OK);
    reader_.clearCommands();
  }

  // RW_Transmit with a response buffer of the documented size, 0xEE where unwritten.
  std::int32_t transmit(const Bytes& apdu, Bytes* answer, std::int32_t length = -100) {
    answer->assign(PELVANE_APDU_RESPONSE_MAX + 16, kUntouched);
    answerLength_ = kUnwritten;
    if (length == -100) length = static_cast<std::int32_t>(apdu.size());
    return RW_Transmit(kPort, 0, 0, length, apdu.data(), &answerLength_, answer->data());
  }

  pelvsim::TypeBCard& card() { return reader_.field().typeB.front(); }

  pelvsim::Controller reader_;
  pelvtest::ControllerFarSide side_{reader_};
  std::int32_t answerLength_ = kUnwritten;
};

struct ArgumentCase {
  std::int32_t kind;
  std::int32_t option;
  std::int32_t flags;
  std::int32_t result;
};

class ActivateArguments : public TypeBInterface,
                          public ::testing::WithParamInterface<ArgumentCase> {};

// Refusals come before anything reaches the reader and change nothing; accepted
// arguments go on to the poll, which fails on this port that is not open.
TEST_P(ActivateArguments, AreJudgedByTheirLowByteBeforeAnythingIsSent) {
  const ArgumentCase& c = GetParam();
  slot(kPort).cardStatus = kCardActivated;
  EXPECT_EQ(RW_Activate(kPort, c.kind, 0x5555, c.option, c.flags), c.result);
  EXPECT_EQ(sense(kPort), kCardActivated);
  if (c.result != PELVANE_RW_NO_CARD) {
    EXPECT_TRUE(ps::events().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ActivateArguments,
    ::testing::Values(ArgumentCase{3, 0x10, 0x40, PELVANE_RW_BAD_KIND},
                      ArgumentCase{0, 0, 0, PELVANE_RW_BAD_KIND},
                      ArgumentCase{0x100, 0, 0, PELVANE_RW_BAD_KIND},
                      ArgumentCase{1, 0x10, 0x40, PELVANE_RW_OPTION_UNSUPPORTED},
                      ArgumentCase{0x101, 0x110, 0, PELVANE_RW_OPTION_UNSUPPORTED},
                      ArgumentCase{1, 5, 0x40, PELVANE_RW_BAD_OPTION},
                      ArgumentCase{1, 3, 0, PELVANE_RW_BAD_OPTION},
                      ArgumentCase{1, 0, 0x02, PELVANE_RW_FLAGS_UNSUPPORTED},
                      ArgumentCase{1, 0, 0x01, PELVANE_RW_FLAGS_UNSUPPORTED},
                      ArgumentCase{1, 0, 0x103, PELVANE_RW_FLAGS_UNSUPPORTED},
                      ArgumentCase{1, 0, 0x40, PELVANE_RW_BAD_FLAGS},
                      ArgumentCase{1, 0, 0x04, PELVANE_RW_BAD_FLAGS},
                      ArgumentCase{2, 2, 0x80, PELVANE_RW_NO_CARD},
                      ArgumentCase{0x101, 0x100, 0x180, PELVANE_RW_NO_CARD}));

TEST_F(TypeBInterface, EjectRefusesAnUnknownKindBeforeAnythingIsSent) {
  EXPECT_EQ(RW_Eject(kPort, 3), PELVANE_RW_BAD_KIND);
  EXPECT_EQ(RW_Eject(kPort, 0x100), PELVANE_RW_BAD_KIND);
  EXPECT_TRUE(ps::events().empty());
}

TEST_F(TypeBInterface, WholeSessionMovesTheCardStatus) {
  slot(kPort).cardStatus = kCardInserted;
  ASSERT_EQ(RW_Open(kPort), PELVANE_RW_OK);
  EXPECT_EQ(sense(kPort), kCardNone);
  EXPECT_EQ(slot(kPort).readerMode, kModeTypeB);
  EXPECT_EQ(slot(kPort).timeoutTenths, 32.0);
  // Set-up after the open's reset sequences: the register write, then GPIO.
  const auto& sent = reader_.commands();
  ASSERT_GE(sent.size(), 8u);
  EXPECT_BYTES(hex("08 63 06 50"), sent[6]);
  EXPECT_BYTES(hex("0E 9F 00"), sent[7]);
  EXPECT_EQ(reader_.registerValue(0x6306), 0x50);

  ASSERT_EQ(RW_Activate(kPort, 1, 0, 0, 0), PELVANE_RW_OK);
  EXPECT_EQ(sense(kPort), kCardActivated);

  Bytes answer;
  ASSERT_EQ(transmit(hex("00 A4 04 00 00"), &answer), PELVANE_RW_OK);
  EXPECT_EQ(answerLength_, 2);
  EXPECT_BYTES(hex("90 00 EE"), Bytes(answer.begin(), answer.begin() + 3));

  ASSERT_EQ(RW_Deactivate(kPort, 0, 0), PELVANE_RW_OK);
  EXPECT_EQ(sense(kPort), kCardNone);
  EXPECT_FALSE(reader_.rfFieldOn());

  ASSERT_EQ(RW_Insert(kPort, 0), PELVANE_RW_OK);
  EXPECT_EQ(sense(kPort), kCardInserted);
  ASSERT_EQ(RW_Eject(kPort, 2), PELVANE_RW_OK);
  EXPECT_EQ(sense(kPort), kCardNone);

  ASSERT_EQ(RW_Activate(kPort, 2, 0, 1, 0x80), PELVANE_RW_OK);
  reader_.clearCommands();
  EXPECT_EQ(RW_Close(kPort), PELVANE_RW_OK);
  EXPECT_FALSE(slotOpen(kPort));
  EXPECT_TRUE(reader_.commands().empty()) << "closing in ReaderMode 9 sends nothing";
  EXPECT_EQ(sense(kPort), kCardActivated) << "closing keeps the status word";
  EXPECT_EQ(RW_Close(kPort), PELVANE_RW_OK);
  EXPECT_EQ(ps::openHandles(), 0);
}

TEST_F(TypeBInterface, OpenOnAnOpenPortReportsItAndClearsTheStatus) {
  ASSERT_EQ(RW_Open(kPort), PELVANE_RW_OK);
  slot(kPort).cardStatus = kCardActivated;
  EXPECT_EQ(RW_Open(kPort), PELVANE_RW_ALREADY_OPEN);
  EXPECT_EQ(sense(kPort), kCardNone);
  EXPECT_EQ(RW_Open(kPort + 1), PELVANE_RW_OPEN_FAILED) << "no device behind COM4";
}

// Both interfaces share the port slots: a port opened by RF_OPEN is already open
// for RW_Open, is used through RW_Activate and closed by RW_Close, and the other
// way round.
TEST_F(TypeBInterface, APortOpenedByOneInterfaceIsUsedAndClosedByTheOther) {
  std::int32_t opened = kUnwritten;
  ASSERT_EQ(RF_OPEN(kPort, &opened), PELVANE_RESULT_DONE);
  slot(kPort).cardStatus = kCardActivated;
  EXPECT_EQ(RW_Open(kPort), PELVANE_RW_ALREADY_OPEN);
  EXPECT_EQ(sense(kPort), kCardNone);
  EXPECT_EQ(RW_Activate(kPort, 1, 0, 0, 0), PELVANE_RW_OK) << "the poll needs no Type B mode";
  EXPECT_EQ(RW_Close(kPort), PELVANE_RW_OK);
  EXPECT_FALSE(slotOpen(kPort));
  EXPECT_EQ(ps::openHandles(), 0);

  ASSERT_EQ(RW_Open(kPort), PELVANE_RW_OK);
  EXPECT_EQ(RF_OPEN(kPort, &opened), PELVANE_RESULT_FAILED);
  std::uint8_t response[PELVANE_RESPONSE_MAX] = {};
  const std::uint8_t poll[] = {0x03, 0x20, 0x00};
  EXPECT_EQ(RF_COMMAND(kPort, poll, response), PELVANE_RESULT_DONE);
  EXPECT_EQ(response[2], 0x00);
  EXPECT_EQ(RF_CLOSE(kPort), PELVANE_CLOSE_DONE);
  EXPECT_FALSE(slotOpen(kPort));
  EXPECT_EQ(ps::openHandles(), 0);
}

// Port 9 is not open; a low byte 0 names no slot and behaves the same, touching
// no slot's status (the port open through 0x7700 + 3 keeps its own).
TEST_F(TypeBInterface, OnAPortNotOpenEachFunctionFailsInItsOwnWay) {
  ASSERT_EQ(RW_Open(0x7700 + kPort), PELVANE_RW_OK);
  EXPECT_TRUE(slotOpen(kPort));
  slot(kPort).cardStatus = kCardActivated;
  EXPECT_EQ(sense(0x100 + kPort), kCardActivated);
  constexpr std::int32_t kClosed = 9;
  slot(kClosed).cardStatus = kCardActivated;
  for (std::int32_t port : {kClosed, 0, 0x100, 0x300}) {
    const bool slotless = (port & 0xFF) == 0;
    EXPECT_EQ(RW_Activate(port, 1, 0, 0, 0), PELVANE_RW_NO_CARD) << port;
    EXPECT_EQ(sense(port), slotless ? kCardNone : kCardActivated) << port;
    EXPECT_EQ(RW_Insert(port, 0), PELVANE_RW_NO_CARD) << port;
    EXPECT_EQ(sense(port), kCardNone) << port;
    EXPECT_EQ(RW_Deactivate(port, 0, 0), PELVANE_LINK_TIMEOUT) << port;
    EXPECT_EQ(sense(port), slotless ? kCardNone : kCardDeactivating) << port;
    EXPECT_EQ(RW_Eject(port, 1), PELVANE_LINK_TIMEOUT) << port;
    std::int32_t length = kUnwritten;
    std::uint8_t buffer[8] = {0x00, 0xA4, 0x04, 0x00, 0x00};
    EXPECT_EQ(RW_Transmit(port, 0, 0, 5, buffer, &length, buffer), PELVANE_RW_TRANSMIT_FAILED) << port;
    EXPECT_EQ(length, kUnwritten) << port;
    EXPECT_EQ(RW_Close(port), PELVANE_RW_OK) << port;
    EXPECT_EQ(sense(port), slotless ? kCardNone : kCardDeactivating) << port;
    if (slotless) {
      EXPECT_EQ(RW_Open(port), PELVANE_RW_OPEN_FAILED) << port;
    }
  }
  EXPECT_TRUE(slotOpen(kPort));
  EXPECT_EQ(sense(kPort), kCardActivated);
}

TEST_F(TypeBInterface, TransmitSendsThe86PacketAndCopiesTheShortAnswer) {
  openAndActivate();
  PV_SetTraceSink(collectTrace);
  Bytes answer;
  ASSERT_EQ(transmit(hex("00 CA 01 02 03"), &answer), PELVANE_RW_OK);
  ASSERT_FALSE(traceLines.empty());
  EXPECT_EQ(traceLines[0], "commandProc:078600CA010203\n");
  ASSERT_EQ(card().apdus.size(), 1u);
  EXPECT_BYTES(hex("00 CA 01 02 03"), card().apdus[0]);
  ASSERT_EQ(answerLength_, 5);
  const std::size_t at = 0x0102;
  EXPECT_BYTES((Bytes{pelvsim::TypeBCard::dataByte(at), pelvsim::TypeBCard::dataByte(at + 1),
                      pelvsim::TypeBCard::dataByte(at + 2), 0x90, 0x00, kUntouched}),
               Bytes(answer.begin(), answer.begin() + 6));
}

// READ BINARY with Le n answers n bytes and 90 00.
Bytes readBinary(std::size_t n) {
  if (n <= 256) return Bytes{0x00, 0xB0, 0x00, 0x00, static_cast<std::uint8_t>(n & 0xFF)};
  return Bytes{0x00, 0xB0, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(n >> 8),
               static_cast<std::uint8_t>(n & 0xFF)};
}

struct LongCase {
  const char* what;
  std::size_t le;
  std::int32_t answerLength;  // -1: the transmission fails
};

class TransmitAnswers : public TypeBInterface, public ::testing::WithParamInterface<LongCase> {};

TEST_P(TransmitAnswers, CopyExactlyTheAnswerAndNothingBeyond) {
  openAndActivate();
  Bytes answer;
  const LongCase& c = GetParam();
  const std::int32_t result = transmit(readBinary(c.le), &answer);
  if (c.answerLength < 0) {
    EXPECT_EQ(result, PELVANE_RW_TRANSMIT_FAILED);
    EXPECT_EQ(answerLength_, kUnwritten);
    EXPECT_EQ(answer[0], kUntouched);
    // The rest of the chain, in pieces of 262 bytes, was fetched with bare
    // InDataExchange, so the next APDU reaches the card.
    std::vector<std::string> wire = {toHex(cat(hex("40 01"), readBinary(c.le)))};
    for (std::size_t k = 1; k < (c.le + 2 + 261) / 262; ++k) wire.push_back("40 01");
    std::vector<std::string> sent;
    for (const Bytes& command : reader_.commands()) sent.push_back(toHex(command));
    EXPECT_EQ(sent, wire);
    EXPECT_EQ(transmit(hex("00 A4 04 00 00"), &answer), PELVANE_RW_OK);
    EXPECT_EQ(answerLength_, 2);
    return;
  }
  ASSERT_EQ(result, PELVANE_RW_OK);
  ASSERT_EQ(answerLength_, c.answerLength);
  const auto n = static_cast<std::size_t>(c.answerLength);
  for (std::size_t i = 0; i + 2 < n; ++i) {
    ASSERT_EQ(answer[i], pelvsim::TypeBCard::dataByte(i)) << "byte " << i;
  }
  EXPECT_EQ(answer[n - 2], 0x90);
  EXPECT_EQ(answer[n - 1], 0x00);
  EXPECT_EQ(answer[n], kUntouched);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, TransmitAnswers,
    ::testing::Values(LongCase{"short_form_251_bytes", 249, 251},
                      LongCase{"long_form_from_252_bytes", 250, 252},
                      LongCase{"long_form_of_255_bytes", 253, 255},
                      LongCase{"long_form_of_258_bytes", 256, 258},
                      // A controller returns at most 262 target bytes at once; the
                      // rest follows a status with the MI bit 0x40, which fails here.
                      LongCase{"longest_answer_a_controller_returns_whole", 260, 262},
                      LongCase{"answer_the_controller_chains_fails", 261, -1},
                      LongCase{"answer_of_1011_bytes_chained_fails", 1009, -1},
                      LongCase{"answer_beyond_the_link_capacity_fails", 1010, -1}),
    [](const ::testing::TestParamInfo<LongCase>& p) { return std::string(p.param.what); });

TEST_F(TypeBInterface, TransmitRefusesLengthsThePacketCannotCarry) {
  openAndActivate();
  const Bytes apdu(300, 0x80);
  Bytes answer;
  for (std::int32_t length : {254, 255, 256, -1, -253, 0x7FFFFFFF}) {
    ps::clearEvents();
    EXPECT_EQ(transmit(apdu, &answer, length), PELVANE_RW_TRANSMIT_FAILED) << length;
    EXPECT_TRUE(ps::events().empty()) << "nothing may be sent for length " << length;
    EXPECT_EQ(answerLength_, kUnwritten);
  }
  EXPECT_TRUE(card().apdus.empty());

  // Length 0 reaches the dispatcher, which refuses a 0x86 packet without data.
  EXPECT_EQ(transmit(apdu, &answer, 0), PELVANE_RW_TRANSMIT_FAILED);
  EXPECT_TRUE(card().apdus.empty());

  // 253 bytes, the longest APDU, is sent whole (the card does not know it: 6D 00).
  ASSERT_EQ(transmit(apdu, &answer, 253), PELVANE_RW_OK);
  ASSERT_EQ(card().apdus.size(), 1u);
  EXPECT_EQ(card().apdus[0].size(), 253u);
  EXPECT_EQ(answerLength_, 2);
  EXPECT_BYTES(hex("6D 00"), Bytes(answer.begin(), answer.begin() + 2));
}

TEST_F(TypeBInterface, TransmitRefusesNullBuffers) {
  openAndActivate();
  std::uint8_t buffer[PELVANE_APDU_RESPONSE_MAX];
  const std::uint8_t apdu[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
  std::int32_t length = kUnwritten;
  EXPECT_EQ(RW_Transmit(kPort, 0, 0, 5, nullptr, &length, buffer), PELVANE_RW_TRANSMIT_FAILED);
  EXPECT_EQ(RW_Transmit(kPort, 0, 0, 5, apdu, nullptr, buffer), PELVANE_RW_TRANSMIT_FAILED);
  EXPECT_EQ(RW_Transmit(kPort, 0, 0, 5, apdu, &length, nullptr), PELVANE_RW_TRANSMIT_FAILED);
  EXPECT_EQ(length, kUnwritten);
  EXPECT_TRUE(card().apdus.empty());
  EXPECT_EQ(RW_Sense(kPort, 0, nullptr, 0), PELVANE_RW_OK);
  EXPECT_EQ(sense(kPort), kCardActivated) << "the refusals change no state";
  Bytes answer;
  EXPECT_EQ(transmit(hex("00 A4 04 00 00"), &answer), PELVANE_RW_OK);
  EXPECT_EQ(card().apdus.size(), 1u);
}

TEST_F(TypeBInterface, ActivationWithoutACardPollsUntilTheOpenDeadline) {
  reader_.field().typeB.clear();
  ASSERT_EQ(RW_Open(kPort), PELVANE_RW_OK);
  // Mode selection armed 5000 ms for its own commands.
  const std::int32_t deadline = slot(kPort).deadline;
  EXPECT_EQ(RW_Activate(kPort, 1, 0, 0, 0), PELVANE_RW_NO_CARD);
  EXPECT_GE(ps::nowMs(), deadline);
  EXPECT_LT(ps::nowMs(), deadline + 200);
  EXPECT_EQ(sense(kPort), kCardNone);

  // Once the deadline has passed, one answer without a card ends the poll.
  const std::int32_t before = ps::nowMs();
  EXPECT_EQ(RW_Insert(kPort, 0), PELVANE_RW_NO_CARD);
  EXPECT_LT(ps::nowMs() - before, 200);

  // A card that arrives later is found by the first poll.
  reader_.field().typeB.push_back(pelvsim::TypeBCard::make(2));
  EXPECT_EQ(RW_Activate(kPort, 1, 0, 0, 0), PELVANE_RW_OK);
  EXPECT_EQ(sense(kPort), kCardActivated);
}

TEST_F(TypeBInterface, ActivationRunsUnderTheDeadlineTheLastTransmitArmed) {
  openAndActivate();
  reader_.field().typeB.clear();
  const std::int32_t start = ps::nowMs();
  Bytes answer;
  EXPECT_EQ(transmit(hex("00 A4 04 00 00"), &answer), PELVANE_RW_TRANSMIT_FAILED);
  EXPECT_EQ(slot(kPort).deadline, start + 3200);
  EXPECT_EQ(RW_Activate(kPort, 1, 0, 0, 0), PELVANE_RW_NO_CARD);
  EXPECT_GE(ps::nowMs(), start + 3200);
  EXPECT_LT(ps::nowMs(), start + 3400);
}


// The RW_ functions byte for byte against canned controller answers.
class TypeBWire : public LinkTest {
 protected:
  static Bytes ok(const char* answerHex) { return cat(ACK(), answer(hex(answerHex))); }
};

const char* const kAtqb = "4B 01 01 50 11 22 33 44 00 00 00 00 00 81 81";

TEST_F(TypeBWire, ActivationSwitchesTheFieldOffAcknowledgesThenPolls) {
  far.reply(ok("33"));
  far.reply({});  // the raw acknowledgement is not answered
  far.reply(ok(kAtqb));
  arm(10.0);
  ASSERT_EQ(RW_Activate(kPort, 1, 0, 0, 0), PELVANE_RW_OK);
  EXPECT_EQ(writtenHex(), (std::vector<std::string>{toHex(frame(hex("32 01 00"))),
                                                   "00 00 FF 00 FF 00",
                                                   toHex(frame(hex("4A 01 03 00")))}));
  const std::vector<std::uint32_t> pauses = sleeps();
  ASSERT_GE(pauses.size(), 2u);
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 10u), 1);
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 30u), 1);
  EXPECT_EQ(sense(kPort), kCardActivated);
}

// A poll that lists no card is no card, whatever the link said: the status word
// keeps its value for RW_Activate and becomes 0 for RW_Insert.
struct PollCase {
  const char* what;
  Bytes pollReply;
};

class PollWithoutACard : public TypeBWire, public ::testing::WithParamInterface<PollCase> {};

TEST_P(PollWithoutACard, IsA203) {
  for (int insert = 0; insert < 2; ++insert) {
    ps::clearEvents();
    far.reply(ok("33"));
    far.reply({});
    far.reply(GetParam().pollReply);
    portSlot().deadline = ps::nowMs();  // the deadline has passed: one poll
    slot(kPort).cardStatus = kCardActivated;
    if (insert == 0) {
      EXPECT_EQ(RW_Activate(kPort, 1, 0, 0, 0), PELVANE_RW_NO_CARD);
      EXPECT_EQ(sense(kPort), kCardActivated);
    } else {
      EXPECT_EQ(RW_Insert(kPort, 0), PELVANE_RW_NO_CARD);
      EXPECT_EQ(sense(kPort), kCardNone);
    }
    EXPECT_EQ(written().size(), 3u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PollWithoutACard,
    ::testing::Values(PollCase{"nack", NACK()}, PollCase{"zero_targets", cat(ACK(), answer(hex("4B 00")))},
                      PollCase{"no_target_count", cat(ACK(), answer(hex("4B")))},
                      PollCase{"extended_answer", cat(ACK(), answerExtended(hex(kAtqb)))},
                      PollCase{"silence", {}}),
    [](const ::testing::TestParamInfo<PollCase>& p) { return std::string(p.param.what); });

// The set-up after opening: a refusal (NACK) or failure of either command is
// A203 with the port left open for RW_Close.
TEST_F(TypeBInterface, OpenReportsARefusedSetUpAndLeavesThePortOpen) {
  struct Case {
    const char* what;
    pelvsim::Fault fault;
    int skip;  // commands of the open before the refused one
  };
  const Case cases[] = {{"register write refused", pelvsim::Fault::Nack, 6},
                        {"GPIO write refused", pelvsim::Fault::Nack, 7},
                        {"register write unanswered", pelvsim::Fault::Silence, 6},
                        {"GPIO write with a broken answer", pelvsim::Fault::BadDcs, 7}};
  for (const Case& c : cases) {
    reader_.faults().script(c.fault, 1, c.skip);
    slot(kPort).cardStatus = kCardActivated;
    EXPECT_EQ(RW_Open(kPort), PELVANE_RW_NO_CARD) << c.what;
    EXPECT_TRUE(slotOpen(kPort)) << c.what;
    EXPECT_EQ(sense(kPort), kCardNone) << c.what;
    EXPECT_EQ(slot(kPort).readerMode, kModeMifare) << c.what << ": no Type B mode selected";
    EXPECT_EQ(RW_Close(kPort), PELVANE_RW_OK);
    EXPECT_FALSE(slotOpen(kPort)) << c.what;
    EXPECT_EQ(ps::openHandles(), 0) << c.what;
    reader_.faults().clear();
  }
}

// Release: -1 on a link failure (a NACK included), -2 on a time-out or a failed
// purge; the status stays 0800 for RW_Deactivate and untouched for RW_Eject.
TEST_F(TypeBWire, ReleaseFailuresKeepTheStatusAndReturnTheLinkCode) {
  struct Case {
    const char* what;
    Bytes fieldOffReply;
    int purgesBeforeFailure;  // -1: none fails
    std::int32_t code;
  };
  Bytes badDcs = ok("33");
  badDcs[badDcs.size() - 2] ^= 0x01;
  const Case cases[] = {{"broken answer", badDcs, -1, PELVANE_LINK_FAILED},
                        {"NACK", NACK(), -1, PELVANE_LINK_FAILED},
                        {"silence", {}, -1, PELVANE_LINK_TIMEOUT},
                        {"purge fails", ok("33"), 2, PELVANE_LINK_TIMEOUT}};
  for (const Case& c : cases) {
    for (int eject = 0; eject < 2; ++eject) {
      ps::clearEvents();
      far.reply(c.fieldOffReply);
      if (c.purgesBeforeFailure >= 0) ps::failCall(ps::Call::Purge, c.purgesBeforeFailure);
      arm(1.0);
      slot(kPort).cardStatus = kCardActivated;
      const std::int32_t r = eject ? RW_Eject(kPort, 1) : RW_Deactivate(kPort, 0, 0);
      EXPECT_EQ(r, c.code) << c.what << (eject ? " (eject)" : " (deactivate)");
      EXPECT_EQ(sense(kPort), eject ? kCardActivated : kCardDeactivating) << c.what;
      EXPECT_EQ(written().size(), 1u) << c.what << ": no acknowledgement after a failure";
    }
  }
}

}  // namespace
}  // namespace pelvane
