// Whole host-side peer conversations through commandProc against the simulated
// controller: as initiator with a DEP peer in the field, and as target activated
// by a simulated initiator. Each checks what the far device saw.
#include <cstring>
#include <string>
#include <vector>

#include "command/dispatcher.h"
#include "field.h"
#include "support/harness.h"

namespace {

using pelvsim::DepPeer;
using pelvtest::Bytes;
using pelvtest::cat;
using pelvtest::hex;
using pelvtest::toHex;

constexpr std::size_t kSegment = 243;

class PeerConversationTest : public pelvtest::SimReaderTest {
 protected:
  // Sends one packet given as hex text; returns the result.
  std::uint16_t send(const std::string& packetHex) {
    const Bytes p = hex(packetHex);
    EXPECT_EQ(p.size(), p.empty() ? 0u : p[0]) << "packet LEN of " << packetHex;
    std::memset(response.data(), 0xEE, response.size());
    return pelvane::commandProc(pelvtest::kPort, p.data(), response.data());
  }
  // The short response by its LEN byte.
  std::string reply() const { return toHex(Bytes(response.begin(), response.begin() + response[0])); }
  Bytes bytesAt(std::size_t from, std::size_t n) const {
    return Bytes(response.begin() + from, response.begin() + from + n);
  }

  std::vector<std::uint8_t> response = std::vector<std::uint8_t>(4 + kSegment * 94 + 16);
};

TEST_F(PeerConversationTest, InitiatorActivatesExchangesReadsSegmentsAndSwitchesTheFieldOff) {
  controller.field().peer = DepPeer{};

  // Mode selection: peer-to-peer initiator, 1.0 s per command.
  ASSERT_EQ(send("07 10 50 0A 00 00 00"), 0);
  EXPECT_EQ(toHex(bytesAt(0, 3)), "05 10 00");
  EXPECT_EQ(portSlot().readerMode, pelvane::kModePeerInitiator);

  controller.clearCommands();
  ASSERT_EQ(send("03 50 02"), 0);
  EXPECT_EQ(reply(), "03 50 00");
  ASSERT_EQ(controller.commands().size(), 1u);
  EXPECT_EQ(toHex(controller.commands()[0]), "56 01 02 01 00 FF FF 00 00");
  EXPECT_TRUE(controller.rfFieldOn());

  // Payloads through 0x31 and 0x30: the simulated peer echoes them.
  ASSERT_EQ(send("05 31 01 02 03"), 0);
  EXPECT_EQ(reply(), "06 31 00 01 02 03");
  ASSERT_EQ(send("04 30 7E 7F"), 0);
  EXPECT_EQ(reply(), "05 30 00 7E 7F");

  // 0x70 from block 2, segment 5: the segment number carries into block 3.
  ASSERT_EQ(send("06 70 00 02 05 03"), 0);
  EXPECT_EQ(toHex(bytesAt(0, 4)), "03 70 00 A7");
  EXPECT_EQ(bytesAt(4 + 0 * kSegment, kSegment), DepPeer::segment(2, 5));
  EXPECT_EQ(bytesAt(4 + 1 * kSegment, kSegment), DepPeer::segment(3, 0));
  EXPECT_EQ(bytesAt(4 + 2 * kSegment, kSegment), DepPeer::segment(3, 1));

  // 0x71 from segment 254: the segment number wraps to 0 within block 0.
  ASSERT_EQ(send("06 71 00 00 FE 03"), 0);
  EXPECT_EQ(toHex(bytesAt(0, 3)), "03 71 00");
  EXPECT_EQ(bytesAt(3 + 0 * kSegment, kSegment), DepPeer::segment(0, 254));
  EXPECT_EQ(bytesAt(3 + 1 * kSegment, kSegment), DepPeer::segment(0, 255));
  EXPECT_EQ(bytesAt(3 + 2 * kSegment, kSegment), DepPeer::segment(0, 0));

  ASSERT_EQ(send("02 51"), 0);
  EXPECT_EQ(reply(), "03 51 00");
  EXPECT_FALSE(controller.rfFieldOn());

  const std::vector<std::string> expected = {"01 02 03", "7E 7F",    "A6 02 05", "A6 03 00",
                                             "A6 03 01", "A6 00 FE", "A6 00 FF", "A6 00 00"};
  std::vector<std::string> seen;
  for (const auto& payload : controller.field().peer->received) seen.push_back(toHex(payload));
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(portSlot().readerMode, pelvane::kModePeerInitiator);
  EXPECT_TRUE(pelvane::slotOpen(pelvtest::kPort));
}

// A peer that stops after three of ten segments: by controller status the
// transfer fails (result 1), by silence it times out as a short normal result.
TEST_F(PeerConversationTest, PeerStoppingMidTransferReturnsTheSegmentsItSent) {
  const struct {
    DepPeer::Stop stop;
    std::uint16_t result;
  } cases[] = {{DepPeer::Stop::Timeout, 1}, {DepPeer::Stop::Silence, 0}};
  for (const auto& c : cases) {
    DepPeer peer;
    peer.stopAfterSegments = 3;
    peer.stopMode = c.stop;
    controller.field().peer = peer;
    ASSERT_EQ(send("07 10 50 02 00 00 00"), 0);  // 0.2 s per segment
    ASSERT_EQ(send("03 50 00"), 0);
    EXPECT_EQ(send("06 70 00 00 00 0A"), c.result);
    EXPECT_EQ(toHex(bytesAt(0, 4)), "03 70 00 A7");
    for (std::uint8_t k = 0; k < 3; ++k) {
      EXPECT_EQ(bytesAt(4 + k * kSegment, kSegment), DepPeer::segment(0, k));
    }
    EXPECT_EQ(response[4 + 3 * kSegment], 0xEE) << "nothing beyond the third segment";
    EXPECT_EQ(controller.field().peer->received.size(), 4u);
    EXPECT_TRUE(pelvane::slotOpen(pelvtest::kPort));
  }
}

TEST_F(PeerConversationTest, TargetIsActivatedReceivesAndAnswersUntilReleased) {
  pelvsim::Initiator initiator;
  initiator.modeByte = 0x24;  // 424 kbit/s, DEP
  initiator.activateAfterUs = 300000;
  initiator.toSend = {hex("A6 00 03"), hex("A6 00 04")};
  controller.field().initiator = initiator;

  ASSERT_EQ(send("07 10 51 0A 00 00 00"), 0);
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeTarget);

  // The initiator comes 300 ms into the 1 s the command may take.
  ASSERT_EQ(send("02 50"), 0);
  EXPECT_EQ(reply(), "04 50 00 02");

  ASSERT_EQ(send("02 60"), 0);
  EXPECT_EQ(reply(), "06 60 00 A6 00 03");
  ASSERT_EQ(send("06 31 11 22 33 44"), 0);
  EXPECT_EQ(reply(), "03 31 00");

  ASSERT_EQ(send("02 60"), 0);
  EXPECT_EQ(reply(), "06 60 00 A6 00 04");
  ASSERT_EQ(send("04 31 55 66"), 0);
  EXPECT_EQ(reply(), "03 31 00");

  // Nothing more to send: the initiator releases the target.
  EXPECT_EQ(send("02 60"), 1);
  EXPECT_EQ(reply(), "03 60 29");

  ASSERT_EQ(send("02 51"), 0);
  EXPECT_EQ(reply(), "03 51 00");
  EXPECT_FALSE(controller.rfFieldOn());

  std::vector<std::string> received;
  for (const auto& payload : controller.field().initiator->received) received.push_back(toHex(payload));
  EXPECT_EQ(received, (std::vector<std::string>{"11 22 33 44", "55 66"}));
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeTarget);
}

// A wait that runs out of time leaves the controller busy (InJumpForDEP retries
// for ever under MxRtyATR FF; TgInitAsTarget waits asleep): the abort must reach
// it so that the next command is heard.
TEST_F(PeerConversationTest, PeerWaitsThatTimeOutAreAbortedAndTheNextCommandIsHeard) {
  pelvsim::Initiator initiator;
  initiator.never = true;
  controller.field().initiator = initiator;
  const struct {
    const char* select;
    const char* activate;
  } cases[] = {{"07 10 50 05 00 00 00", "03 50 00"}, {"07 10 51 05 00 00 00", "02 50"}};
  for (const auto& c : cases) {
    ASSERT_EQ(send(c.select), 0) << c.select;
    const std::int32_t before = pelvane::simport::nowMs();
    EXPECT_EQ(send(c.activate), 1) << c.select;
    EXPECT_EQ(reply(), "03 50 FE") << c.select;
    EXPECT_GE(pelvane::simport::nowMs() - before, 500) << c.select;
    ASSERT_EQ(send("02 51"), 0) << c.select;
    EXPECT_EQ(reply(), "03 51 00") << c.select;
    EXPECT_FALSE(controller.poweredDown());
  }
}

TEST_F(PeerConversationTest, SegmentedReadAsTargetClosesThePort) {
  controller.field().initiator = pelvsim::Initiator{};
  ASSERT_EQ(send("07 10 51 0A 00 00 00"), 0);
  controller.clearCommands();
  EXPECT_EQ(send("06 70 00 00 00 03"), 1);
  EXPECT_EQ(toHex(bytesAt(0, 4)), "00 70 FF A7");
  EXPECT_TRUE(controller.commands().empty());
  EXPECT_FALSE(pelvane::slotOpen(pelvtest::kPort));
  // A closed slot answers every command with FF.
  EXPECT_EQ(send("02 51"), 1);
  EXPECT_EQ(reply(), "03 51 FF");
}

}  // namespace
