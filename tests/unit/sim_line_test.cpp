// The simulated serial line: speeds, the speed switch, pacing and timing.
#include "sim_wire.h"

namespace simtest {
namespace {

const Bytes kFirmwareReply = answer(hex(kFirmwareAnswer));

TEST(SimLine, BytesAtAnotherSpeedAreLost) {
  Host h;
  h.c.setBaud(9600);
  h.write(frame(hex("02")), 115200);
  EXPECT_EQ("", toHex(h.read()));
  EXPECT_TRUE(h.c.commands().empty());
  h.write(frame(hex("02")), 9600);
  EXPECT_BYTES(cat(ACK(), kFirmwareReply), h.read());
}

// The reset-and-switch sequence of a host that finds the reader at 9600.
TEST(SimLine, SpeedSwitchAppliesAfterTheHostAckThatFollowsTheAnswer) {
  Host h;
  h.c.setBaud(9600);
  EXPECT_BYTES(cat(ACK(), answer(hex("11"))), h.send(hex("10 04"), 9600));
  EXPECT_EQ(9600u, h.c.baud()) << "switched before the host's ACK";
  h.write(ACK(), 9600);
  EXPECT_EQ(115200u, h.c.baud());
  h.write(ACK(), 9600);  // the host's second ACK, still at 9600, is noise now
  EXPECT_EQ("", toHex(h.send(hex("02"), 9600)));
  EXPECT_BYTES(cat(ACK(), kFirmwareReply), h.send(hex("02"), 115200));
}

// Over a pseudo-terminal the host's ACK can be read after the host has changed
// speed, or be lost to the host's purge: the controller follows the host then.
TEST(SimLine, PendingSpeedSwitchFollowsAHostAlreadyAtTheNewSpeed) {
  for (bool ackSurvives : {true, false}) {
    Host h;
    h.c.setBaud(9600);
    h.send(hex("10 04"), 9600);
    if (ackSurvives) h.write(ACK(), 115200);
    EXPECT_BYTES(cat(ACK(), kFirmwareReply), h.send(hex("02"), 115200)) << ackSurvives;
    EXPECT_EQ(115200u, h.c.baud());
  }
}

TEST(SimLine, BytesAtAnUnrequestedSpeedStayLostWhileASwitchWaits) {
  Host h;
  h.c.setBaud(9600);
  h.send(hex("10 04"), 9600);
  EXPECT_EQ("", toHex(h.send(hex("02"), 57600)));
  EXPECT_EQ(9600u, h.c.baud());
}

TEST(SimLine, SpeedSwitchIsDroppedWhenAnotherCommandComesInsteadOfTheAck) {
  Host h;
  h.send(hex("10 00"));
  h.send(hex("02"));
  h.write(ACK());
  EXPECT_EQ(115200u, h.c.baud());
}

TEST(SimLine, SpeedCodesMapToTheirSpeedsAndBadCodesAreRefused) {
  const std::pair<const char*, std::uint32_t> table[] = {
      {"10 00", 9600}, {"10 01", 19200}, {"10 02", 38400}, {"10 03", 57600}, {"10 04", 115200}};
  for (const auto& row : table) {
    Host h;
    h.c.setBaud(38400);
    h.send(hex(row.first));
    h.write(ACK());
    EXPECT_EQ(row.second, h.c.baud()) << row.first;
  }
  Host h;
  EXPECT_BYTES(cat(ACK(), errorFrame()), h.send(hex("10 09")));
}

TEST(SimLine, UnpacedAnswerArrivesWithTheFrameOrAfterTheAnswerDelay) {
  Host h;
  h.write(frame(hex("02")));
  EXPECT_EQ(h.now, h.c.nextArrivalUs());
  h.read();
  h.c.setAnswerDelayUs(2500);
  const std::uint64_t sent = h.now;
  h.write(frame(hex("02")));
  EXPECT_EQ(sent + 2500, h.c.nextArrivalUs());
  EXPECT_EQ(0u, h.c.available(sent + 2499));
  EXPECT_EQ(ACK().size() + kFirmwareReply.size(), h.c.available(sent + 2500));
}

// 10 bits a byte: at 9600 baud a byte takes 1042 us (rounded up).
TEST(SimLine, PacingSpacesBytesTenBitsApartInBothDirections) {
  Host h;
  h.c.setBaud(9600);
  h.c.setPacing(true);
  const std::uint64_t sent = h.now;
  const Bytes f = frame(hex("02"));  // 9 bytes take 9375 us to arrive
  h.write(f);
  const std::uint64_t frameIn = sent + (9 * 10000000ull + 9599) / 9600;
  const std::uint64_t firstOut = h.c.nextArrivalUs();
  EXPECT_EQ(frameIn + (10000000ull + 9599) / 9600, firstOut);
  EXPECT_EQ(0u, h.c.available(firstOut - 1));
  EXPECT_EQ(1u, h.c.available(firstOut));
  // The whole ACK and answer, 6 + 13 bytes, have arrived 19 byte times after the frame.
  const std::uint64_t allOut = frameIn + (19 * 10000000ull + 9599) / 9600;
  EXPECT_EQ(18u, h.c.available(allOut - 1));
  EXPECT_EQ(19u, h.c.available(allOut));
}

TEST(SimLine, PacedHostBytesQueueBehindEachOther) {
  Host h;
  h.c.setBaud(115200);
  h.c.setPacing(true);
  const Bytes f = frame(hex("02"));
  h.write(Bytes(f.begin(), f.begin() + 4));
  h.write(Bytes(f.begin() + 4, f.end()));  // written at once, but on the wire after the first part
  const std::uint64_t frameIn = h.now + (9 * 10000000ull + 115199) / 115200;
  // Each write's times are rounded up to whole microseconds.
  EXPECT_NEAR(static_cast<double>(frameIn + (10000000ull + 115199) / 115200),
              static_cast<double>(h.c.nextArrivalUs()), 1.0);
}

TEST(SimLine, PurgeDropsOnlyTheBytesThatHaveArrived) {
  Host h;
  h.c.setPacing(true);
  h.write(frame(hex("02")));
  const std::uint64_t first = h.c.nextArrivalUs();
  const std::uint64_t third = first + 2 * (10000000ull / 115200) + 2;
  h.c.dropArrived(third);
  h.now = third;
  const Bytes rest = h.read();
  const Bytes all = cat(ACK(), kFirmwareReply);
  EXPECT_BYTES(Bytes(all.end() - static_cast<std::ptrdiff_t>(rest.size()), all.end()), rest);
  EXPECT_EQ(all.size() - 3, rest.size());
}

TEST(SimLine, PowerDownAnswersThenSleepsUntilTheNextHostByte) {
  Host h;
  EXPECT_BYTES(hex("17 00"), h.ask(hex("16 F0")));
  EXPECT_TRUE(h.c.poweredDown());
  h.write(hex("55 55 00 00 00"));
  EXPECT_FALSE(h.c.poweredDown());
  EXPECT_BYTES(cat(ACK(), kFirmwareReply), h.send(hex("02")));
}

// TgInitAsTarget sleeps while it waits: an ACK frame alone only wakes the
// controller and is lost; after the wake-up sequence and a pause it aborts the
// wait. An initiator's field wakes it by itself.
TEST(SimLine, WaitingTargetSleepsAndTheBytesThatWakeItAreLost) {
  const Bytes initAsTarget = hex("8C 00 08 00 12 34 56 40 01 FF A2 A3 A4 A5 A6 A7 C0 C1 C2 C3 C4 C5 C6 C7 "
                                 "FF FF AA 99 88 77 66 55 44 33 22 11 00 00");
  for (std::uint64_t pauseUs : {0u, 2000u}) {
    Host h;
    EXPECT_BYTES(ACK(), h.send(initAsTarget));
    EXPECT_TRUE(h.c.poweredDown());
    if (pauseUs > 0) h.write(hex("55 55 00 00 00"));
    h.now += pauseUs;
    h.write(ACK());
    EXPECT_FALSE(h.c.poweredDown());
    EXPECT_EQ(pauseUs == 0 ? "" : toHex(cat(ACK(), kFirmwareReply)), toHex(h.send(hex("02"))));
  }
  Host activated;
  activated.c.field().initiator = pelvsim::Initiator{};
  activated.c.field().initiator->activateAfterUs = 3000;
  EXPECT_EQ(0x8D, activated.send(initAsTarget)[6 + 6]);
  EXPECT_BYTES(cat(ACK(), kFirmwareReply), activated.send(hex("02")));
}

TEST(SimLine, LineGoneCarriesNothingUntilCleared) {
  Host h;
  h.c.faults().lineGone = true;
  h.write(frame(hex("02")));
  EXPECT_EQ("", toHex(h.read()));
  EXPECT_EQ(UINT64_MAX, h.c.nextArrivalUs());
  h.c.faults().clear();
  EXPECT_BYTES(cat(ACK(), kFirmwareReply), h.send(hex("02")));
}

TEST(SimLine, RegistersAndGpioReadBackWhatWasWritten) {
  Host h;
  EXPECT_BYTES(hex("09"), h.ask(hex("08 63 06 50 63 05 11")));
  EXPECT_BYTES(hex("07 50 11 00"), h.ask(hex("06 63 06 63 05 63 3D")));
  EXPECT_EQ(0x50, h.c.registerValue(0x6306));
  // WriteGPIO takes a port byte only when its validation bit 0x80 is set.
  EXPECT_BYTES(hex("0F"), h.ask(hex("0E 9F 00")));
  EXPECT_EQ(0x1F, h.c.gpioP3());
  EXPECT_EQ(0x06, h.c.gpioP7());
  h.ask(hex("0E 3F 82"));
  EXPECT_EQ(0x1F, h.c.gpioP3());
  EXPECT_EQ(0x02, h.c.gpioP7());
  EXPECT_BYTES(hex("0D 1F 02 00"), h.ask(hex("0C")));
}

TEST(SimLine, RfFieldFollowsRfConfigurationAndPolling) {
  Host h;
  EXPECT_FALSE(h.c.rfFieldOn());
  h.ask(hex("32 01 01"));
  EXPECT_TRUE(h.c.rfFieldOn());
  h.ask(hex("32 01 00"));
  EXPECT_FALSE(h.c.rfFieldOn());
  h.ask(hex("4A 01 00"));
  EXPECT_TRUE(h.c.rfFieldOn());
  EXPECT_BYTES(hex("33"), h.ask(hex("32 05 FF FF 04")));
}

}  // namespace
}  // namespace simtest
