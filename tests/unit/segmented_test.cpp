// Segmented peer reads (0x70, 0x71) against a scripted controller whose peer
// answers every A6 request with bytes derived from its block and segment.
#include <cstring>
#include <string>
#include <vector>

#include "card_test_util.h"
#include "command/dispatcher.h"
#include "support/harness.h"

namespace {

using namespace cardtest;
using pelvtest::ACK;
using pelvtest::cat;

constexpr std::size_t kSegment = 243;

std::uint8_t segmentByte(std::uint8_t block, std::uint8_t segment, std::size_t i) {
  return static_cast<std::uint8_t>(block * 31u + segment * 7u + i);
}
Bytes segmentData(std::uint8_t block, std::uint8_t segment, std::size_t length = kSegment) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = segmentByte(block, segment, i);
  return out;
}

class SegmentedReadTest : public pelvtest::LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    portSlot().readerMode = pelvane::kModePeerInitiator;
    std::memset(response.data(), kGuard, response.size());
  }

  // The peer answers every segment request with `length` bytes of its segment,
  // and stops answering altogether after `answers` of them (-1: never).
  void peerAnswers(std::size_t length = kSegment, int answers = -1) {
    far.replyToEvery([this, length, answers](const Bytes& written) -> Bytes {
      // 00 00 FF LEN LCS D4 | 40 01 A6 b s | DCS 00
      if (written.size() != 13 || written[8] != 0xA6) return cat(ACK(), pelvtest::answer(hex("41 27")));
      if (answers >= 0 && answered >= answers) return {};
      ++answered;
      return cat(ACK(), pelvtest::answer(cat(hex("41 00"), segmentData(written[9], written[10], length))));
    });
  }

  std::uint16_t run(std::uint8_t cmd, std::uint8_t block, std::uint8_t first, std::uint8_t count) {
    const Bytes p{0x06, cmd, 0x00, block, first, count};
    return pelvane::commandProc(pelvtest::kPort, p.data(), response.data());
  }

  // The (block, segment) of every request sent, as "b,s".
  static std::vector<std::string> requested() {
    std::vector<std::string> out;
    for (const Bytes& w : pelvane::simport::writes()) {
      out.push_back(w.size() == 13 && w[6] == 0x40 && w[7] == 0x01 && w[8] == 0xA6
                        ? std::to_string(w[9]) + "," + std::to_string(w[10])
                        : "not a segment request: " + pelvtest::toHex(w));
    }
    return out;
  }

  Bytes head(std::size_t n) const { return Bytes(response.begin(), response.begin() + n); }
  Bytes segmentAt(std::size_t offset, std::size_t k) const {
    return Bytes(response.begin() + offset + kSegment * k, response.begin() + offset + kSegment * (k + 1));
  }
  bool untouchedFrom(std::size_t offset) const {
    for (std::size_t i = offset; i < response.size(); ++i) {
      if (response[i] != kGuard) return false;
    }
    return true;
  }

  static constexpr std::uint8_t kGuard = 0xEE;
  // The largest response plus guard bytes that must stay untouched.
  std::vector<std::uint8_t> response = std::vector<std::uint8_t>(4 + kSegment * 94 + 64);
  int answered = 0;
};

struct CarryCase {
  const char* name;
  std::uint8_t cmd;
  std::uint8_t block;
  std::uint8_t first;
  std::uint8_t count;
  std::vector<std::string> requests;
};

TEST_F(SegmentedReadTest, SegmentNumbersCarryAsEachCommandCounts) {
  const CarryCase cases[] = {
      {"0x70 carries into the next block", 0x70, 2, 5, 3, {"2,5", "3,0", "3,1"}},
      {"0x70 first segment 8 starts in block 1", 0x70, 0, 8, 2, {"1,2", "1,3"}},
      {"0x70 block number wraps at 256", 0x70, 255, 5, 2, {"255,5", "0,0"}},
      {"0x70 first segment 255 of block 255", 0x70, 255, 255, 1, {"41,3"}},
      {"0x71 counts on without carry and wraps", 0x71, 0, 254, 3, {"0,254", "0,255", "0,0"}},
  };
  for (const CarryCase& c : cases) {
    pelvane::simport::clearEvents();
    std::memset(response.data(), kGuard, response.size());
    peerAnswers();
    EXPECT_EQ(run(c.cmd, c.block, c.first, c.count), 0) << c.name;
    EXPECT_EQ(requested(), c.requests) << c.name;

    const std::size_t offset = c.cmd == 0x70 ? 4 : 3;
    const Bytes expectedHead = c.cmd == 0x70 ? Bytes{c.count, 0x70, 0x00, 0xA7} : Bytes{c.count, 0x71, 0x00};
    EXPECT_BYTES(expectedHead, head(offset)) << c.name;
    const std::vector<Bytes> sent = pelvane::simport::writes();
    for (std::size_t k = 0; k < sent.size(); ++k) {
      EXPECT_BYTES(segmentData(sent[k][9], sent[k][10]), segmentAt(offset, k)) << c.name << " segment " << k;
    }
    EXPECT_TRUE(untouchedFrom(offset + kSegment * c.count)) << c.name;
  }
}

TEST_F(SegmentedReadTest, CountZeroSendsNothingAndAnswersAnEmptyTransfer) {
  EXPECT_EQ(run(0x70, 1, 2, 0), 0);
  EXPECT_BYTES(hex("00 70 00 A7"), head(4));
  EXPECT_EQ(run(0x71, 0, 2, 0), 0);
  EXPECT_BYTES(hex("00 71 00"), head(3));
  EXPECT_TRUE(untouchedFrom(4));
  EXPECT_TRUE(pelvane::simport::writes().empty());
}

struct RefusedRead {
  const char* name;
  Bytes packet;
  Bytes head;
};

TEST_F(SegmentedReadTest, RefusalsAnswerWithNoSegmentsAndSendNothing) {
  const RefusedRead cases[] = {
      {"0x70 LEN 5", {0x05, 0x70, 0x00, 0x00, 0x00}, hex("00 70 FD A7")},
      {"0x71 LEN 2", {0x02, 0x71}, hex("00 71 FD")},
      {"0x71 from block 1", {0x06, 0x71, 0x00, 0x01, 0x00, 0x01}, hex("00 71 FC")},
      {"0x70 with 95 segments", {0x06, 0x70, 0x00, 0x00, 0x00, 95}, hex("00 70 FC A7")},
      {"0x70 with 255 segments", {0x06, 0x70, 0x00, 0x00, 0x00, 255}, hex("00 70 FC A7")},
      {"0x71 with 29 segments", {0x06, 0x71, 0x00, 0x00, 0x00, 29}, hex("00 71 FC")},
  };
  for (const RefusedRead& c : cases) {
    std::memset(response.data(), kGuard, response.size());
    EXPECT_EQ(pelvane::commandProc(pelvtest::kPort, c.packet.data(), response.data()), 2) << c.name;
    EXPECT_BYTES(c.head, head(c.head.size())) << c.name;
    EXPECT_TRUE(untouchedFrom(c.head.size())) << c.name;
    EXPECT_TRUE(pelvane::slotOpen(pelvtest::kPort)) << c.name;
  }
  EXPECT_TRUE(pelvane::simport::writes().empty());
}

TEST_F(SegmentedReadTest, LargestTransfersFillTheirResponseAndNotOneByteMore) {
  peerAnswers(252);  // every answer runs 9 bytes past its segment, the last one too
  EXPECT_EQ(run(0x70, 0, 0, 94), 0);
  EXPECT_EQ(response[0], 94);
  EXPECT_BYTES(segmentData(15, 3), segmentAt(4, 93));
  EXPECT_TRUE(untouchedFrom(4 + kSegment * 94));

  std::memset(response.data(), kGuard, response.size());
  EXPECT_EQ(run(0x71, 0, 0, 28), 0);
  EXPECT_EQ(response[0], 28);
  EXPECT_BYTES(segmentData(0, 27), segmentAt(3, 27));
  EXPECT_TRUE(untouchedFrom(3 + kSegment * 28));
}

TEST_F(SegmentedReadTest, PeerFallingSilentReturnsTheSegmentsReadSoFar) {
  peerAnswers(kSegment, 3);
  EXPECT_EQ(run(0x70, 0, 0, 10), 0);
  EXPECT_EQ(requested().size(), 4u);
  EXPECT_BYTES(hex("03 70 00 A7"), head(4));
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_BYTES(segmentData(0, static_cast<std::uint8_t>(k)), segmentAt(4, k));
  }
  EXPECT_TRUE(untouchedFrom(4 + 3 * kSegment));
  EXPECT_TRUE(pelvane::slotOpen(pelvtest::kPort));
}

TEST_F(SegmentedReadTest, ControllerStatusStopsTheTransferAndFailsWithStatusZero) {
  far.reply(cat(ACK(), pelvtest::answer(cat(hex("41 00"), segmentData(0, 0)))));
  far.reply(cat(ACK(), pelvtest::answer(cat(hex("41 00"), segmentData(0, 1)))));
  far.reply(cat(ACK(), pelvtest::answer(hex("41 01"))));
  EXPECT_EQ(run(0x71, 0, 0, 5), 1);
  EXPECT_EQ(requested().size(), 3u);
  EXPECT_BYTES(hex("02 71 00"), head(3));
  EXPECT_BYTES(segmentData(0, 1), segmentAt(3, 1));
  EXPECT_TRUE(untouchedFrom(3 + 2 * kSegment));
  EXPECT_TRUE(pelvane::slotOpen(pelvtest::kPort));
}

TEST_F(SegmentedReadTest, LinkFailureReturnsWhatArrivedAndClosesThePort) {
  Bytes bad = pelvtest::answer(cat(hex("41 00"), segmentData(0, 1)));
  bad[bad.size() - 2] ^= 0x01;  // DCS
  far.reply(cat(ACK(), pelvtest::answer(cat(hex("41 00"), segmentData(0, 0)))));
  far.reply(cat(ACK(), bad));
  portSlot().timeoutTenths = 20.0;
  EXPECT_EQ(run(0x70, 0, 0, 4), 1);
  EXPECT_BYTES(hex("01 70 FF A7"), head(4));
  EXPECT_BYTES(segmentData(0, 0), segmentAt(4, 0));
  EXPECT_TRUE(untouchedFrom(4 + kSegment));
  EXPECT_FALSE(pelvane::slotOpen(pelvtest::kPort));
  EXPECT_EQ(pelvane::simport::openHandles(), 0);
  // Only the handle goes: mode and time-out stay.
  EXPECT_EQ(portSlot().readerMode, pelvane::kModePeerInitiator);
  EXPECT_EQ(portSlot().timeoutTenths, 20.0);
}

TEST_F(SegmentedReadTest, ReadOutsideInitiatorModeFailsAndClosesThePort) {
  const struct {
    pelvane::ReaderMode mode;
    std::uint8_t cmd;
    Bytes head;
  } cases[] = {{pelvane::kModeTarget, 0x70, hex("00 70 FF A7")},
               {pelvane::kModeMifare, 0x71, hex("00 71 FF")}};
  for (const auto& c : cases) {
    SetUp();  // a fresh open port for each case
    portSlot().readerMode = c.mode;
    EXPECT_EQ(run(c.cmd, 0, 0, 3), 1);
    EXPECT_BYTES(c.head, head(c.head.size()));
    EXPECT_TRUE(pelvane::simport::writes().empty());
    EXPECT_FALSE(pelvane::slotOpen(pelvtest::kPort));
    EXPECT_EQ(pelvane::simport::openHandles(), 0);
  }
}

TEST_F(SegmentedReadTest, WithoutAModeNothingIsWrittenAndThePortStaysOpen) {
  portSlot().readerMode = pelvane::kModeNone;
  EXPECT_EQ(run(0x70, 0, 0, 3), 2);
  EXPECT_TRUE(untouchedFrom(0));
  EXPECT_TRUE(pelvane::slotOpen(pelvtest::kPort));
}

TEST_F(SegmentedReadTest, ShortAnswerLeavesTheRestOfItsSegmentZeroEvenAfterAFullTransfer) {
  peerAnswers();
  ASSERT_EQ(run(0x70, 0, 0, 2), 0);
  peerAnswers(100);
  ASSERT_EQ(run(0x70, 0, 0, 2), 0);
  for (std::size_t k = 0; k < 2; ++k) {
    const Bytes seg = segmentAt(4, k);
    EXPECT_BYTES(segmentData(0, static_cast<std::uint8_t>(k), 100), Bytes(seg.begin(), seg.begin() + 100));
    EXPECT_BYTES(Bytes(143, 0x00), Bytes(seg.begin() + 100, seg.end()));
  }
}

TEST_F(SegmentedReadTest, LongAnswerRunsIntoTheNextSegmentUntilOverwritten) {
  far.reply(cat(ACK(), pelvtest::answer(cat(hex("41 00"), segmentData(0, 0, 252)))));
  far.reply(cat(ACK(), pelvtest::answer(cat(hex("41 00"), segmentData(0, 1, 5)))));
  far.reply(cat(ACK(), pelvtest::answer(cat(hex("41 00"), segmentData(0, 2)))));
  ASSERT_EQ(run(0x71, 0, 0, 3), 0);
  EXPECT_BYTES(segmentData(0, 0), segmentAt(3, 0));
  // Segment 1: its own 5 bytes, then bytes 248..251 of the long answer, then zeros.
  const Bytes seg1 = segmentAt(3, 1);
  const Bytes long0 = segmentData(0, 0, 252);
  EXPECT_BYTES(cat(segmentData(0, 1, 5), Bytes(long0.begin() + 248, long0.end()), Bytes(234, 0x00)), seg1);
  EXPECT_BYTES(segmentData(0, 2), segmentAt(3, 2));
}

TEST_F(SegmentedReadTest, EverySegmentIsFollowedByA47MsPause) {
  peerAnswers();
  ASSERT_EQ(run(0x70, 0, 0, 3), 0);
  std::vector<std::int32_t> writeTimes;
  std::vector<std::int32_t> pauseTimes;
  for (const pelvane::simport::Event& e : pelvane::simport::events()) {
    if (e.kind == pelvane::simport::Event::Write) writeTimes.push_back(e.timeMs);
    if (e.kind == pelvane::simport::Event::Sleep && e.value == 47) pauseTimes.push_back(e.timeMs);
  }
  ASSERT_EQ(writeTimes.size(), 3u);
  ASSERT_EQ(pauseTimes.size(), 3u);  // the last segment's pause included
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_GE(pauseTimes[k], writeTimes[k]);
    if (k + 1 < 3) {
      EXPECT_GE(writeTimes[k + 1], pauseTimes[k] + 47);
    }
  }
  EXPECT_GE(elapsedMs(), 3 * 47);
}

TEST_F(SegmentedReadTest, TheTimeOutBoundsEachSegmentNotTheWholeTransfer) {
  portSlot().timeoutTenths = 1.0;  // 100 ms per segment
  for (std::uint8_t k = 0; k < 4; ++k) {
    far.reply(cat(ACK(), pelvtest::answer(cat(hex("41 00"), segmentData(0, k)))), 80000);
  }
  EXPECT_EQ(run(0x71, 0, 0, 4), 0);
  EXPECT_EQ(response[0], 4);
  EXPECT_GE(elapsedMs(), 4 * (80 + 47));
  // The deadline left behind is the one armed for the last segment.
  EXPECT_NEAR(portSlot().deadline, pelvane::simport::nowMs() - 47 - 80 + 100, 2);

  // A segment slower than the time-out ends the transfer as a short, normal result.
  pelvane::simport::clearEvents();
  far.reply(cat(ACK(), pelvtest::answer(cat(hex("41 00"), segmentData(0, 0)))), 50000);
  far.reply(cat(ACK(), pelvtest::answer(cat(hex("41 00"), segmentData(0, 1)))), 120000);
  EXPECT_EQ(run(0x71, 0, 0, 4), 0);
  EXPECT_BYTES(hex("01 71 00"), head(3));
  EXPECT_EQ(requested().size(), 2u);
}

}  // namespace
