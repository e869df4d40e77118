// Peer-to-peer in the simulated field: the DEP target behind InJumpForDEP and
// the initiator that activates the reader in target mode.
#include "sim_wire.h"

namespace simtest {
namespace {

using pelvsim::DepPeer;
using pelvsim::Initiator;

const Bytes kJump = hex("56 01 00 01 00 FF FF 00 00");
// TgInitAsTarget as the library sends it.
const Bytes kInitAsTarget =
    hex("8C 00 08 00 12 34 56 40 01 FF A2 A3 A4 A5 A6 A7 C0 C1 C2 C3 C4 C5 C6 C7 FF FF "
        "AA 99 88 77 66 55 44 33 22 11 00 00");

Bytes segmentRequest(std::uint8_t block, std::uint8_t segment) { return Bytes{0x40, 0x01, 0xA6, block, segment}; }

// Without a peer the ATR_REQ is retried MxRtyATR times, fATR_RES_Timeout each
// (item 02; 0B is 102.4 ms), then status 01. MxRtyATR FF (as after reset) or no
// time-out retries until the host's ACK, and the busy controller takes nothing else.
TEST(SimPeer, JumpForDepWithoutAPeerRetriesAsItem05Says) {
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"", 0},                                   {"32 05 FF FF 04", 0},
      {"32 05 00 01 FF", 102400},                {"32 05 02 01 FF", 3 * 102400},
      {"32 05 02 01 FF 32 02 00 08 0A", 3 * 12800}, {"32 05 02 01 FF 32 02 00 00 0A", 0},
  };
  for (const auto& c : cases) {
    Host h;
    const Bytes setup = hex(c.first);
    for (std::size_t k = 0; k < setup.size(); k += 5) h.ask(Bytes(setup.begin() + k, setup.begin() + k + 5));
    const std::uint64_t sent = h.now;
    h.write(frame(kJump));
    if (c.second != 0) {
      EXPECT_BYTES(cat(ACK(), answer(hex("57 01"))), h.read()) << c.first;
      EXPECT_EQ(sent + c.second, h.now) << c.first;
      continue;
    }
    EXPECT_BYTES(ACK(), h.read()) << c.first;
    EXPECT_BYTES(Bytes{}, h.send(hex("02"))) << c.first << ": busy";
    h.write(ACK());
    EXPECT_BYTES(cat(ACK(), answer(hex(kFirmwareAnswer))), h.send(hex("02")));
  }
}

TEST(SimPeer, JumpForDepAnswersTheTargetsParametersOrTimesOut) {
  Host h;
  h.ask(hex("32 05 00 01 FF"));
  EXPECT_BYTES(hex("57 01"), h.ask(kJump));
  h.c.field().peer = DepPeer{};
  EXPECT_BYTES(hex("57 00 01 11 22 33 44 55 66 77 88 99 AA 00 00 00 0E 30"), h.ask(kJump));
  EXPECT_BYTES(cat(ACK(), errorFrame()), h.send(hex("56 01 03 01 00 FF FF 00 00"))) << "no baud rate 03";
}

TEST(SimPeer, SegmentRequestAnswersTheDocumentedBytesAndOtherPayloadsEcho) {
  Host h;
  h.c.field().peer = DepPeer{};
  h.ask(kJump);
  const Bytes a = h.ask(segmentRequest(2, 5));
  ASSERT_EQ(2u + 243u, a.size());
  EXPECT_BYTES(cat(hex("41 00"), DepPeer::segment(2, 5)), a);
  EXPECT_EQ(static_cast<std::uint8_t>(2 * 31 + 5 * 7 + 242), a.back());
  EXPECT_BYTES(hex("41 00 A6 01"), h.ask(hex("40 01 A6 01")));
  EXPECT_EQ(2u, h.c.field().peer->received.size());
}

TEST(SimPeer, SegmentLengthCanBeShortOrLong) {
  for (std::size_t n : {100u, 243u, 252u}) {
    Host h;
    h.c.field().peer = DepPeer{};
    h.c.field().peer->segmentLength = n;
    h.ask(kJump);
    EXPECT_EQ(n + 2, h.ask(segmentRequest(0, 1)).size());
  }
}

TEST(SimPeer, StopsAnsweringSegmentsAfterTheSetCount) {
  Host h;
  h.c.field().peer = DepPeer{};
  h.c.field().peer->stopAfterSegments = 3;
  h.ask(kJump);
  for (std::uint8_t k = 0; k < 3; ++k) EXPECT_EQ(0x00, h.ask(segmentRequest(0, k))[1]);
  EXPECT_BYTES(hex("41 01"), h.ask(segmentRequest(0, 3)));
  h.c.field().peer->stopMode = DepPeer::Stop::Silence;
  EXPECT_BYTES(ACK(), h.send(segmentRequest(0, 4)));
  EXPECT_EQ(3, h.c.field().peer->segmentsAnswered);
}

TEST(SimPeer, FieldOffEndsTheLink) {
  Host h;
  h.c.field().peer = DepPeer{};
  h.ask(kJump);
  h.ask(hex("32 01 00"));
  EXPECT_BYTES(hex("41 27"), h.ask(segmentRequest(0, 0))) << "no target any more";
}

TEST(SimTarget, InitiatorActivatesAfterItsDelay) {
  Host h;
  h.c.field().initiator = Initiator{};
  h.c.field().initiator->activateAfterUs = 5000;
  h.c.field().initiator->modeByte = 0x26;
  const std::uint64_t sent = h.now;
  h.write(frame(kInitAsTarget));
  EXPECT_BYTES(ACK(), h.read(sent + 4999));
  const Bytes rest = h.read();
  EXPECT_EQ(sent + 5000, h.now);
  EXPECT_BYTES(answer(cat(hex("8D 26"), h.c.field().initiator->atrReq)), rest);
}

TEST(SimTarget, WithoutInitiatorTheCommandWaitsUntilTheHostAborts) {
  Host h;
  EXPECT_BYTES(ACK(), h.send(kInitAsTarget));
  EXPECT_BYTES(Bytes{}, h.send(hex("02"))) << "a new command does not end the wait";
  h.write(ACK());
  EXPECT_BYTES(hex("87 27"), h.ask(hex("86"))) << "not activated";
  h.c.field().initiator = Initiator{};
  h.c.field().initiator->never = true;
  EXPECT_BYTES(ACK(), h.send(kInitAsTarget));
}

TEST(SimTarget, InitAsTargetNeedsTheGeneralAndHistoricalByteLengths) {
  const Bytes fixed(kInitAsTarget.begin(), kInitAsTarget.end() - 2);
  const struct {
    const char* name;
    const char* tail;
    bool accepted;
  } cases[] = {
      {"no length bytes", "", false},       {"no historical length", "00", false},
      {"both empty", "00 00", true},        {"general and historical bytes", "02 46 66 01 AA", true},
      {"general bytes cut short", "02 46 00", false}, {"bytes after Tk", "00 00 00", false},
  };
  for (const auto& c : cases) {
    Host h;
    const Bytes wire = h.send(cat(fixed, hex(c.tail)));
    EXPECT_BYTES(c.accepted ? ACK() : cat(ACK(), errorFrame()), wire) << c.name;
  }
}

TEST(SimTarget, HostAckBeforeTheActivationCancelsIt) {
  Host h;
  h.c.field().initiator = Initiator{};
  h.c.field().initiator->activateAfterUs = 10000;
  h.write(frame(kInitAsTarget));
  EXPECT_BYTES(ACK(), h.read(h.now + 1000));
  // It sleeps while it waits: woken first, it takes the ACK.
  h.write(hex("55 55 00 00 00"));
  h.now += 2000;
  h.write(ACK());
  EXPECT_EQ("", toHex(h.read()));
  EXPECT_BYTES(hex("87 27"), h.ask(hex("86")));
}

TEST(SimTarget, GetDataGivesQueuedPayloadsThenReleasedAndSetDataIsRecorded) {
  Host h;
  h.c.field().initiator = Initiator{};
  h.c.field().initiator->toSend = {hex("A6 00 01"), hex("01 02")};
  EXPECT_EQ(0x8D, h.ask(kInitAsTarget)[0]);
  EXPECT_BYTES(hex("41 27"), h.ask(hex("40 01 00"))) << "no initiator commands in target mode";
  EXPECT_BYTES(hex("87 00 A6 00 01"), h.ask(hex("86")));
  EXPECT_BYTES(hex("8F 00"), h.ask(hex("8E 10 20 30")));
  EXPECT_BYTES(hex("87 00 01 02"), h.ask(hex("86")));
  EXPECT_BYTES(hex("87 29"), h.ask(hex("86")));
  ASSERT_EQ(1u, h.c.field().initiator->received.size());
  EXPECT_BYTES(hex("10 20 30"), h.c.field().initiator->received[0]);
  EXPECT_BYTES(hex("8F 27"), h.ask(hex("8E 00"))) << "released";
}

TEST(SimTarget, GetDataWaitsWhileTheInitiatorHasNothingToSay) {
  Host h;
  h.c.field().initiator = Initiator{};
  h.c.field().initiator->releasesWhenDone = false;
  h.ask(kInitAsTarget);
  EXPECT_BYTES(ACK(), h.send(hex("86")));
  h.c.field().initiator->toSend.push_back(hex("55"));
  h.write(ACK());
  EXPECT_BYTES(hex("87 00 55"), h.ask(hex("86"))) << "still activated after the abort";
}

TEST(SimTarget, FieldOffReleasesTheTarget) {
  Host h;
  h.c.field().initiator = Initiator{};
  h.ask(kInitAsTarget);
  h.ask(hex("32 01 00"));
  EXPECT_BYTES(hex("87 27"), h.ask(hex("86")));
}

}  // namespace
}  // namespace simtest
