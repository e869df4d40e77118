// Pass-through to target 1 (0x86): the InDataExchange sent, the short and long
// response forms around 252 data bytes, and the controller's refusals.
#include <string>
#include <vector>

#include "card_test_util.h"
#include "command/dispatcher.h"
#include "field.h"
#include "platform/simulated.h"
#include "support/harness.h"

namespace {

using namespace cardtest;
using pelvane::commandProc;
using pelvtest::ACK;
using pelvtest::cat;
namespace ps = pelvane::simport;

class PassThroughTest : public pelvtest::LinkTest {
 protected:
  std::uint16_t run(const Bytes& p) { return commandProc(pelvtest::kPort, p.data(), response); }
  // Room for the long form of the longest answer the exchange accepts.
  std::uint8_t response[1100] = {};
};

Bytes targetBytes(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return b;
}

TEST_F(PassThroughTest, DataGoToTargetOneAndTheAnswerComesBack) {
  answerNext(far, dataAnswer(0x00, hex("90 00")));
  EXPECT_EQ(run(hex("03 86 AA")), pelvane::kResultDone);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"40 01 AA"}));
  EXPECT_BYTES(hex("05 86 00 90 00"), Bytes(response, response + 5));
}

TEST_F(PassThroughTest, PacketWithoutDataIsRefused) {
  std::memset(response, 0xEE, sizeof response);
  EXPECT_EQ(run(hex("02 86")), pelvane::kResultRefused);
  EXPECT_BYTES(hex("03 86 FD"), Bytes(response, response + 3));
  EXPECT_TRUE(written().empty());
}

TEST_F(PassThroughTest, ResponseFormSwitchesToLongAt252DataBytes) {
  struct Boundary {
    std::size_t d;
    Bytes head;
  };
  const std::vector<Boundary> cases = {
      {2, hex("05 86 00")},
      {251, hex("FE 86 00")},
      {252, hex("FF 01 01 86 00")},  // the largest normal answer frame
      {253, hex("FF 01 02 86 00")},  // from here on an extended answer frame
      {255, hex("FF 01 04 86 00")},
      {1000, hex("FF 03 ED 86 00")},
  };
  for (const Boundary& c : cases) {
    const Bytes data = targetBytes(c.d);
    answerNext(far, dataAnswer(0x00, data));
    EXPECT_EQ(run(hex("04 86 00 A4")), pelvane::kResultDone) << c.d;
    EXPECT_BYTES(c.head, Bytes(response, response + c.head.size()));
    EXPECT_BYTES(data, Bytes(response + c.head.size(), response + c.head.size() + c.d));
  }
}

TEST_F(PassThroughTest, LongestPacketGoesOutInOneExtendedFrame) {
  Bytes p{0xFF, 0x86};
  const Bytes data = targetBytes(253);
  p.insert(p.end(), data.begin(), data.end());
  answerNext(far, dataAnswer(0x00, hex("90 00")));
  EXPECT_EQ(run(p), pelvane::kResultDone);
  ASSERT_EQ(written().size(), 1u);
  EXPECT_BYTES(pelvtest::frame(cat(hex("40 01"), data)), written()[0]);
}

TEST_F(PassThroughTest, RefusalsAndFailures) {
  struct Case {
    const char* name;
    Bytes reply;  // empty: silent reader
    const char* response;
    std::uint16_t result;
  };
  const std::vector<Case> cases = {
      {"target timed out", cat(ACK(), pelvtest::answer(hex("41 01"))), "03 86 01", 1},
      {"other controller status", cat(ACK(), pelvtest::answer(hex("41 27 90 00"))), "03 86 27", 1},
      {"no status byte", cat(ACK(), pelvtest::answer(hex("41"))), "03 86 FF", 1},
      {"NACK", pelvtest::NACK(), "03 86 FF", 1},
      {"status in an extended frame",
       cat(ACK(), pelvtest::answerExtended(hex("41 02 90 00"))), "03 86 02", 1},
      {"silent reader", {}, "03 86 FE", 0},
  };
  for (const Case& c : cases) {
    if (!c.reply.empty()) far.reply(c.reply);
    arm(10.0);
    EXPECT_EQ(run(hex("03 86 AA")), c.result) << c.name;
    EXPECT_EQ(pelvtest::toHex(Bytes(response, response + 3)), c.response) << c.name;
  }
}

// A chained answer (MI, status 0x40) fails with its status; its rest is fetched
// with bare 40 01 until a piece without MI, so the next command reaches the card.
TEST_F(PassThroughTest, ChainedAnswerFailsWith40AfterItsRestIsFetched) {
  answerNext(far, dataAnswer(0x40, repeat(0x11, 20)));
  answerNext(far, dataAnswer(0x40, repeat(0x22, 20)));
  answerNext(far, dataAnswer(0x00, hex("33 90 00")));
  arm(10.0);
  EXPECT_EQ(run(hex("03 86 AA")), pelvane::kResultFailed);
  EXPECT_EQ(pelvtest::toHex(Bytes(response, response + 3)), "03 86 40");
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"40 01 AA", "40 01", "40 01"}));
}

// Fewer than two target bytes fail alike in a normal and in an extended answer
// frame (a controller may send a short answer in either form).
TEST_F(PassThroughTest, AnswersNeedTwoTargetBytesInEitherFrameForm) {
  struct Case {
    bool extended;
    const char* target;
    const char* response;
    std::uint16_t result;
  };
  const std::vector<Case> cases = {
      {false, "", "03 86 FE", 1},      {true, "", "03 86 FE", 1},
      {false, "90", "03 86 FE", 1},    {true, "90", "03 86 FE", 1},
      {false, "90 00", "05 86 00 90 00", 0}, {true, "90 00", "05 86 00 90 00", 0},
  };
  for (const Case& c : cases) {
    const Bytes a = cat(hex("41 00"), hex(c.target));
    far.reply(cat(ACK(), c.extended ? pelvtest::answerExtended(a) : pelvtest::answer(a)));
    std::memset(response, 0xEE, sizeof response);
    const std::string name = std::string(c.extended ? "extended" : "normal") + " frame, target " + c.target;
    EXPECT_EQ(run(hex("03 86 AA")), c.result) << name;
    const std::size_t n = c.result == 0 ? 5 : 3;
    EXPECT_EQ(pelvtest::toHex(Bytes(response, response + n)), c.response) << name;
    EXPECT_EQ(response[n], 0xEE) << name;
  }
}

}  // namespace

// APDUs to a Type B card of the simulated controller, as RW_Transmit sends them.
namespace {

class PassThroughSimTest : public pelvtest::SimReaderTest {
 protected:
  std::uint16_t send(const Bytes& p) { return commandProc(pelvtest::kPort, p.data(), response); }
  std::uint8_t response[1100] = {};
};

TEST_F(PassThroughSimTest, ApduAnswersComeBackInTheShortOrTheLongForm) {
  controller.field().typeB.push_back(pelvsim::TypeBCard::make(1));
  ASSERT_EQ(send(hex("07 10 60 20 00 00 00")), pelvane::kResultDone);
  ASSERT_EQ(send(hex("03 20 00")), pelvane::kResultDone);

  EXPECT_EQ(send(hex("07 86 00 A4 04 00 00")), pelvane::kResultDone);
  EXPECT_BYTES(hex("05 86 00 90 00"), Bytes(response, response + 5));

  // READ BINARY of 256 bytes: 258 bytes with the status words, the long form.
  EXPECT_EQ(send(hex("07 86 00 B0 00 00 00")), pelvane::kResultDone);
  EXPECT_BYTES(hex("FF 01 07 86 00"), Bytes(response, response + 5));
  for (std::size_t i = 0; i < 256; ++i) {
    ASSERT_EQ(response[5 + i], pelvsim::TypeBCard::dataByte(i)) << i;
  }
  EXPECT_BYTES(hex("90 00"), Bytes(response + 261, response + 263));

  // 261 bytes and the status words pass 262: the controller chains the answer
  // (status 0x40, the MI bit) and the command fails with that status.
  EXPECT_EQ(send(hex("09 86 00 B0 00 00 00 01 05")), pelvane::kResultFailed);
  EXPECT_BYTES(hex("03 86 40"), Bytes(response, response + 3));
  EXPECT_EQ(send(hex("07 86 00 A4 04 00 00")), pelvane::kResultDone);
  EXPECT_BYTES(hex("05 86 00 90 00"), Bytes(response, response + 5));
}

}  // namespace
