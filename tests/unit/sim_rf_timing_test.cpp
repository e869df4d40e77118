// The simulated controller's RF timing: frame and response times against figures
// worked out by hand from the standards and the card data sheets, and the answer
// timing on the line with the model on and off.
#include "rf_timing.h"
#include "sim_wire.h"

namespace simtest {
namespace {

namespace rf = pelvsim::rf;
using pelvsim::RfFrame;

RfFrame frameOf(const Bytes& b, unsigned lastBits = 8) {
  RfFrame f;
  f.bytes = b;
  f.lastBits = lastBits;
  return f;
}

struct Row {
  const char* what;
  rf::Cycles got;
  rf::Cycles want;  // carrier periods, worked out by hand
};

void checkRows(const std::vector<Row>& rows) {
  for (const Row& r : rows) EXPECT_EQ(r.want, r.got) << r.what;
}

// 128/fc a bit; whole bytes 9 bits; reader end 2 bits, card end 1 bit. The
// MIFARE data sheets draw the same frames as 368 us, 1548 us, 1558 us and 57 us.
TEST(SimRfTiming, TypeAFramesAndFrameDelay) {
  checkRows({
      {"reader, 4 bytes: (1 + 36 + 2) x 128", rf::typeAReaderFrame(frameOf(Bytes(4, 0))), 4992},
      {"reader, 18 bytes: (1 + 162 + 2) x 128", rf::typeAReaderFrame(frameOf(Bytes(18, 0))), 21120},
      {"card, 18 bytes: (1 + 162 + 1) x 128", rf::typeACardFrame(frameOf(Bytes(18, 0))), 20992},
      {"card, 4-bit ACK: (1 + 4 + 1) x 128", rf::typeACardFrame(frameOf({0x0A}, 4)), 768},
      {"REQA, 7 bits, no parity", rf::typeAReaderFrame(frameOf({0x26}, 7)), 1280},
      {"after REQA (last bit 0): 1172 - 256", rf::typeAFrameDelay(frameOf({0x26}, 7)), 916},
      {"after WUPA (last bit 1): 1236 - 256", rf::typeAFrameDelay(frameOf({0x52}, 7)), 980},
      {"after 00: parity bit 1", rf::typeAFrameDelay(frameOf({0x00})), 980},
      {"after 01: parity bit 0", rf::typeAFrameDelay(frameOf({0x01})), 916},
      {"HLTA and 1 ms", rf::typeAHalt(), 4992 + 13560},
  });
  EXPECT_EQ(368u, rf::toUs(4992));
  EXPECT_EQ(1548u, rf::toUs(20992));
  EXPECT_EQ(1558u, rf::toUs(21120));
  EXPECT_EQ(57u, rf::toUs(768));
}

// Sums whose frame delays depend on CRC parity bits: 916 or 980 per exchange.
TEST(SimRfTiming, TypeACardOperations) {
  struct Op {
    const char* what;
    rf::Cycles got;
    rf::Cycles fixed;   // frames (and EEPROM time)
    unsigned delays;    // frame delays of 916 or 980
  };
  const Bytes auth = hex("60 04 FF FF FF FF FF FF 0A 01 3C 4D");
  const Bytes write = cat(hex("A0 04"), Bytes(16, 0x11));
  const Op ops[] = {
      // REQA 1280 + ATQA 2560; 93 20 2688 + CL1 BCC 6016; SELECT 10752 + SAK 3712
      {"activation, 4-byte UID", rf::typeAActivation(hex(kUid4)), 1280 + 2560 + 2688 + 6016 + 10752 + 3712, 3},
      // two cascade levels
      {"activation, 7-byte UID", rf::typeAActivation(hex(kUid7)),
       1280 + 2560 + 2 * (2688 + 6016 + 10752 + 3712), 5},
      {"READ: 30 04 CRC -> 16 bytes CRC", rf::mifareCommand(hex("30 04"), true, 16), 4992 + 20992, 1},
      // 60 04 CRC -> 4 bytes; 8 bytes (1 + 72 + 2 bits) -> 4 bytes
      {"authentication", rf::mifareCommand(auth, true, 0), 4992 + 4864 + 9600 + 4864, 2},
      {"authentication, wrong key", rf::mifareCommand(auth, false, 0), 4992 + 4864 + 9600, 1},
      // A0 04 CRC -> ACK; 16 bytes CRC -> 3 ms EEPROM, ACK
      {"WRITE in two parts", rf::mifareCommand(write, true, 0), 4992 + 768 + 21120 + 40680 + 768, 2},
      {"page WRITE: A2 p 4 bytes CRC -> EEPROM, ACK", rf::mifareCommand(hex("A2 05 01 02 03 04"), true, 0),
       (1 + 72 + 2) * 128 + 40680 + 768, 1},
      {"refused: NAK", rf::mifareCommand(hex("30 3F"), true, 0), 4992 + 768, 1},
  };
  for (const Op& o : ops) {
    EXPECT_GE(o.got, o.fixed + 916 * o.delays) << o.what;
    EXPECT_LE(o.got, o.fixed + 980 * o.delays) << o.what;
  }
}

// etu 128/fc: SOF 12, 10 a character, EOF 10; the card first waits TR0 + TR1 (2304).
TEST(SimRfTiming, TypeBFramesAndWaits) {
  checkRows({
      {"REQB + CRC: 12 + 50 + 10 etu", rf::typeBReaderFrame(5), 9216},
      {"ATQB + CRC after TR0 + TR1", rf::typeBCardFrame(14), 2304 + (12 + 140 + 10) * 128},
      {"REQB -> ATQB", rf::typeBExchange(3, 12), 9216 + 23040},
      {"no ATQB: FWT_ATQB 7680", rf::typeBNoAnswer(), 9216 + 7680},
      {"FWT, FWI 7", rf::typeBFrameWaitingTime(7), 524288},
      {"FWT, FWI 15 read as 4", rf::typeBFrameWaitingTime(15), 65536},
      // PCB + 5 bytes + CRC: 102 etu; the card after FWI 4: PCB + 4 bytes + CRC
      {"APDU in one I-block", rf::isoDepApdu(5, 4, 64, 64, 3, 65536), 13056 + 65536 + 2304 + 92 * 128},
      // 100 bytes at 61 a block: I(61) -> R(ACK), I(39) -> I(4)
      {"APDU in two I-blocks", rf::isoDepApdu(100, 4, 64, 64, 3, 0),
       rf::typeBExchange(62, 1) + rf::typeBExchange(40, 5)},
      // the answer in parts of 61: I(61) then R(ACK) -> I(39)
      {"answer in two I-blocks", rf::isoDepApdu(5, 100, 64, 64, 3, 0),
       rf::typeBExchange(6, 62) + rf::typeBExchange(1, 40)},
  });
  EXPECT_EQ(38664u, rf::toUs(524288));
}

// Manchester at 64/fc (212) or 32/fc (424) a bit; preamble 6, sync 2, CRC 2 bytes.
// T = 4096/fc; the PMm byte 49 is E 1, B 1, A 1.
TEST(SimRfTiming, FelicaFramesSlotsAndPmmResponseTimes) {
  const std::array<std::uint8_t, 8> standard = {0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF};
  const std::array<std::uint8_t, 8> lite = {0x00, 0xF0, 0x00, 0x00, 0x00, 0x01, 0x43, 0x00};
  const Bytes read4 = cat(hex("16 06"), hex(kIdm), hex("01 0F 09 04 80 00 80 01 80 02 80 03"));
  const Bytes write1 = cat(hex("20 08"), hex(kIdm), hex("01 09 00 01 80 00"), Bytes(16, 0));
  checkRows({
      {"Polling, 6 bytes at 212", rf::felicaFrame(6, 212), 16 * 8 * 64},
      {"its answer, 18 bytes at 212", rf::felicaFrame(18, 212), 28 * 8 * 64},
      {"the answer at 424", rf::felicaFrame(18, 424), 28 * 8 * 32},
      {"slot 0 begins at 512 x 64", rf::felicaPollingSlot(0), 32768},
      {"slot 1", rf::felicaPollingSlot(1), 49152},
      {"no answer in 4 slots", rf::felicaPollingNoAnswer(6, 4, 212), 8192 + 32768 + 4 * 16384},
      {"Read, 4 blocks: T x (2 x 4 + 2) x 4", rf::felicaResponseTime(standard, read4), 4096 * 10 * 4},
      {"Lite Read, 4 blocks: T x (4 + 2)", rf::felicaResponseTime(lite, read4), 4096 * 6},
      {"Write, 1 block, PMm 93 (E 2, B 2, A 3): T x (3 + 4) x 16", rf::felicaResponseTime(standard, write1),
       4096 * 7 * 16},
      {"Request Response, PMm 02: T x (1 + 3)", rf::felicaResponseTime(standard, cat(hex("0A 04"), hex(kIdm))),
       4096 * 4},
      {"Search Service Code, PMm 02: T x 3",
       rf::felicaResponseTime(standard, cat(hex("0C 0A"), hex(kIdm), hex("00 00"))), 4096 * 3},
  });
  EXPECT_EQ(2417u, rf::toUs(32768));
  EXPECT_EQ(3625u, rf::toUs(49152));  // nfcpy's Polling wait for one slot
  EXPECT_EQ(12083u, rf::toUs(163840));
}

TEST(SimRfTiming, DepFramesTurnaroundsAndChaining) {
  checkRows({
      {"DEP_REQ of 250 bytes at 424: LEN + 253", rf::depFrame(253, 2), 264 * 8 * 32},
      {"at 106: F0 LEN, 3 bytes, CRC_A", rf::depFrame(3, 0), (1 + 7 * 9 + 2) * 128},
      {"active turnaround: TADT + TARFG", rf::depTurnaround(true, 2), 768 + 1024},
      {"passive at 212/424", rf::depTurnaround(false, 1), 2672},
      {"250 echoed, active 424", rf::depExchange(250, 250, true, 2), 67584 + 1792 + 67584},
      // 251 + 49 bytes: the first part's ACK frame (LEN + 3) between them
      {"300 bytes chained, 10 back", rf::depExchange(300, 10, true, 2),
       265 * 8 * 32 + 1792 + 14 * 8 * 32 + 1792 + 63 * 8 * 32 + 1792 + 24 * 8 * 32},
      {"active initial guard: TIDT + 5 ms", rf::depInitialGuard(), 4096 + 67800},
      {"fRetryTimeout 0A: 51.2 ms", rf::fromTimeoutCode(0x0A), 694272},
      {"no time-out", rf::fromTimeoutCode(0x00), 0},
  });
}

// The poll 4A 01 01 00 FF FF 00 00 on the line: its answer leaves the air time
// after the ACK with RF timing, at once without; commands that reach no card
// take no air time.
TEST(SimRfTiming, AnswerWaitsForTheAirTimeOnlyWhenAsked) {
  const Bytes poll = hex("4A 01 01 00 FF FF 00 00");
  for (bool on : {false, true}) {
    Host h;
    h.c.field().felica.push_back(pelvsim::FelicaCard::standard());
    h.c.setRfTiming(on);
    const std::uint64_t sent = h.now;
    h.write(frame(poll));
    const Bytes first = h.read(sent);
    const std::uint64_t airUs = on ? 4078 : 0;  // 8192 + 32768 + 14336 fc
    if (on) {
      EXPECT_BYTES(ACK(), first) << "the ACK comes at once";
      EXPECT_EQ(sent + airUs, h.c.nextArrivalUs());
      h.read();
    } else {
      EXPECT_EQ(35u, first.size()) << "ACK and answer at once: " << toHex(first);
    }
    h.send(hex("02"));  // GetFirmwareVersion: no RF
    EXPECT_EQ((std::vector<std::uint64_t>{airUs, 0}), h.c.rfTimesUs()) << on;
  }
}

// InDataExchange with no data reaches the card's model without a command byte.
TEST(SimRfTiming, EmptyExchangeWithAMifareCardIsRefused) {
  Host h;
  h.c.field().mifare.push_back(pelvsim::MifareClassicCard::make1k());
  h.c.setRfTiming(true);
  const Bytes polled = h.ask(hex("4A 01 00"));
  ASSERT_GE(polled.size(), 3u);
  EXPECT_EQ(hex("4B 01 01"), Bytes(polled.begin(), polled.begin() + 3));
  EXPECT_EQ(hex("41 14"), h.ask(hex("40 01")));
}

TEST(SimRfTiming, CommandDuringTheAirTimeIsNotTaken) {
  Host h;
  h.c.field().felica.push_back(pelvsim::FelicaCard::standard());
  h.c.setRfTiming(true);
  h.write(frame(hex("4A 01 01 00 FF FF 00 00")));
  EXPECT_BYTES(ACK(), h.read(h.now));
  h.now += 1000;
  h.write(frame(hex("02")));
  const Bytes wire = h.read();
  EXPECT_EQ(0x4B, wire.size() > 6 ? wire[6] : 0) << "the poll's answer, no ACK for the command sent meanwhile: "
                                                  << toHex(wire);
  EXPECT_EQ(1u, h.c.rfTimesUs().size() - 1) << "recorded all the same";
}

}  // namespace
}  // namespace simtest
