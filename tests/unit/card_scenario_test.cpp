// Whole host commands through commandProc against the simulated controller's
// persistent virtual cards: detect, write, read back, change a key.
#include <random>
#include <string>
#include <vector>

#include "card_test_util.h"
#include "command/dispatcher.h"
#include "command/handlers.h"
#include "field.h"
#include "support/harness.h"

namespace {

using namespace cardtest;
using pelvsim::FelicaCard;
using pelvsim::MifareClassicCard;
using pelvsim::PageCard;

// Packet from pieces, LEN set from the whole.
Bytes assemble(std::uint8_t cmd, const Bytes& body) {
  Bytes p = cat(Bytes{0x00, cmd}, body);
  p[0] = static_cast<std::uint8_t>(p.size());
  return p;
}

// Every scenario runs twice: on a controller that answers at once, and on one
// whose answers wait for their air time (RF timing), as a reader's would.
class CardScenarioTest : public pelvtest::SimReaderTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    SimReaderTest::SetUp();
    controller.setRfTiming(GetParam());
  }
  std::uint16_t send(const Bytes& p) {
    response = ResponseBuffer();
    return pelvane::commandProc(pelvtest::kPort, p.data(), response.bytes);
  }
  // Data bytes of a successful response.
  Bytes data() const {
    Bytes r = response.packet();
    return Bytes(r.begin() + 3, r.end());
  }
  // n data bytes from offset `from`.
  Bytes data(std::size_t from, std::size_t n) const {
    Bytes all = data();
    if (from + n > all.size()) return {};
    return Bytes(all.begin() + static_cast<std::ptrdiff_t>(from), all.begin() + static_cast<std::ptrdiff_t>(from + n));
  }
  Bytes mifareKeyedRequest(std::uint8_t cmd, const Bytes& uid, const Bytes& key, int sector, int first,
                           int count, const Bytes& payload = {}) {
    return assemble(cmd, cat(uid, key,
                             Bytes{static_cast<std::uint8_t>(sector), static_cast<std::uint8_t>(first),
                                   static_cast<std::uint8_t>(count)},
                             payload));
  }
  ResponseBuffer response;
};

const Bytes kKeyA = hex(kFactoryKey);

TEST_P(CardScenarioTest, FelicaBlocksWrittenAreReadBackAndReadOnlyServiceRefusesWrites) {
  controller.field().felica.push_back(FelicaCard::standard(1));
  ASSERT_EQ(send(hex("09 21 00 10 00 00 FF FF 00")), 0);
  ASSERT_EQ(response.bytes[3], 0x10);
  const Bytes idm(response.bytes + 4, response.bytes + 12);
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeFelica);

  // Service 0009, blocks 2 and 3.
  Bytes blocks = cat(sequence(0xC0, 16), sequence(0xD0, 16));
  ASSERT_EQ(send(assemble(0x31, cat(idm, hex("01 00 09 02 80 02 80 03"), blocks))), 0);
  EXPECT_EQ(response.text(), "03 31 00");

  ASSERT_EQ(send(assemble(0x30, cat(idm, hex("01 00 09 02 80 02 80 03")))), 0);
  EXPECT_EQ(toHex(data()), toHex(blocks));
  // The same blocks through the read-only code 000B, in a two-service read.
  ASSERT_EQ(send(assemble(0x30, cat(idm, hex("02 00 0B 09 0F 02 80 03 81 00")))), 0);
  EXPECT_EQ(toHex(data(0, 16)), toHex(sequence(0xD0, 16)));

  // 090F is read-only: status flag 1 set.
  EXPECT_EQ(send(assemble(0x31, cat(idm, hex("01 09 0F 01 80 00"), repeat(0, 16)))), 1);
  EXPECT_EQ(response.text(), "03 31 F9");
}

TEST_P(CardScenarioTest, FelicaLiteBlockWrittenIsReadBack) {
  controller.field().felica.push_back(FelicaCard::lite(2));
  ASSERT_EQ(send(hex("09 21 00 10 00 00 88 B4 00")), 0);
  const Bytes idm(response.bytes + 4, response.bytes + 12);
  portSlot().readerMode = pelvane::kModeFelicaLite;

  Bytes block = sequence(0x71, 16);
  ASSERT_EQ(send(assemble(0x31, cat(idm, hex("01 00 09 01 80 05"), block))), 0);
  ASSERT_EQ(send(assemble(0x30, cat(idm, hex("01 00 0B 01 80 05")))), 0);
  EXPECT_EQ(toHex(data()), toHex(block));
  // Lite takes one block per write.
  EXPECT_EQ(send(assemble(0x31, cat(idm, hex("01 00 09 02 80 05 80 06"), block, block))), 1);
  EXPECT_EQ(response.text(), "03 31 FC");
}

TEST_P(CardScenarioTest, FelicaLiteReadsUpToFourBlocksInOneCommand) {
  controller.field().felica.push_back(FelicaCard::lite(2));
  ASSERT_EQ(send(hex("09 21 00 10 00 00 88 B4 00")), 0);
  const Bytes idm(response.bytes + 4, response.bytes + 12);
  portSlot().readerMode = pelvane::kModeFelicaLite;

  // Factory contents: byte j of block i holds 16 i + j + 2.
  ASSERT_EQ(send(assemble(0x30, cat(idm, hex("01 00 0B 04 80 00 80 01 80 02 80 03")))), 0);
  EXPECT_EQ(toHex(data()), toHex(sequence(0x02, 64)));
  EXPECT_EQ(send(assemble(0x30, cat(idm, hex("01 00 0B 05 80 00 80 01 80 02 80 03 80 04")))), 1);
  EXPECT_EQ(response.text(), "03 30 FC");
}

TEST_P(CardScenarioTest, TypeBCardDetectedWithItsAfiSetsModeNine) {
  pelvsim::TypeBCard card = pelvsim::TypeBCard::make(1);
  card.afi = 0x12;
  controller.field().typeB.push_back(card);
  // A Type A attempt, then a Type B attempt with AFI 12 and no further bytes.
  ASSERT_EQ(send(hex("08 21 00 30 60 00 12 00")), 0);
  EXPECT_EQ(response.text(), "12 21 00 60 50 1B 01 2C 3D 00 00 00 00 00 81 71 01 00");
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeTypeB);
  EXPECT_EQ(portSlot().timeoutTenths, 48.0);
}

TEST_P(CardScenarioTest, TypeBCardOfAnotherAfiIsNotFoundBeforeTheDeadline) {
  pelvsim::TypeBCard card = pelvsim::TypeBCard::make(1);
  card.afi = 0x12;
  controller.field().typeB.push_back(card);
  EXPECT_EQ(send(hex("08 21 00 60 00 00 34 00")), 0);
  EXPECT_EQ(response.text(), "03 21 FE");
  EXPECT_GE(elapsedMs(), 5000);
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeMifare);
}

TEST_P(CardScenarioTest, Mifare1kBlocksWrittenAreReadBack) {
  controller.field().mifare.push_back(MifareClassicCard::make1k(1));
  ASSERT_EQ(send(hex("06 21 00 30 00 00")), 0);
  ASSERT_EQ(response.text(), "08 21 00 30 0A 01 3C 4D");
  const Bytes uid = hex(kUid4);

  Bytes blocks = cat(sequence(0x10, 16), sequence(0x20, 16), sequence(0x30, 16));
  ASSERT_EQ(send(mifareKeyedRequest(0x31, uid, kKeyA, 5, 0, 3, blocks)), 0);
  EXPECT_EQ(response.text(), "03 31 00");

  ASSERT_EQ(send(mifareKeyedRequest(0x30, uid, kKeyA, 5, 0, 4)), 0);
  ASSERT_EQ(data().size(), 64u);
  EXPECT_EQ(toHex(data(0, 48)), toHex(blocks));
  // The trailer reads with key A hidden and the access bits in place.
  EXPECT_EQ(toHex(data(48, data().size() - 48)),
            "00 00 00 00 00 00 FF 07 80 69 FF FF FF FF FF FF");
}

TEST_P(CardScenarioTest, Mifare4kLargeSectorBlocksWrittenAreReadBack) {
  controller.field().mifare.push_back(MifareClassicCard::make4k(1));
  ASSERT_EQ(send(hex("06 21 00 30 00 00")), 0);
  const Bytes uid(response.bytes + 4, response.bytes + 8);

  ASSERT_EQ(send(mifareKeyedRequest(0x32, uid, kKeyA, 39, 14, 1, sequence(0xE0, 16))), 0);
  ASSERT_EQ(send(mifareKeyedRequest(0x31, uid, kKeyA, 32, 0, 2, cat(sequence(0x01, 16), sequence(0x11, 16)))), 0);
  EXPECT_EQ(toHex(Bytes(controller.field().mifare[0].blocks[254].begin(), controller.field().mifare[0].blocks[254].end())),
            toHex(sequence(0xE0, 16)));

  ASSERT_EQ(send(mifareKeyedRequest(0x30, uid, kKeyA, 39, 14, 1)), 0);
  EXPECT_EQ(toHex(data()), toHex(sequence(0xE0, 16)));
  ASSERT_EQ(send(mifareKeyedRequest(0x30, uid, kKeyA, 32, 0, 3)), 0);
  EXPECT_EQ(toHex(data(0, 32)), toHex(cat(sequence(0x01, 16), sequence(0x11, 16))));
  // Block 130 is untouched: byte j holds 130 + j.
  EXPECT_EQ(toHex(data(32, data().size() - 32)), toHex(sequence(130, 16)));
}

TEST_P(CardScenarioTest, PagesWrittenAreReadBackAndPage3IsWritten) {
  controller.field().page.push_back(PageCard::make(1));
  ASSERT_EQ(send(hex("06 21 00 30 00 00")), 0);
  ASSERT_EQ(response.text(), "0B 21 00 31 04 01 5A 6B 7C 8D 9E");
  EXPECT_EQ(portSlot().readerMode, pelvane::kModePageCard);
  const Bytes uid = hex(kUid7);

  Bytes pages = sequence(0xA0, 16);
  ASSERT_EQ(send(assemble(0x31, cat(uid, hex("08 04"), pages))), 0);
  ASSERT_EQ(send(assemble(0x32, cat(uid, hex("0C 02"), sequence(0x50, 8)))), 0);
  ASSERT_EQ(send(assemble(0x30, cat(uid, hex("08 08")))), 0);
  EXPECT_EQ(toHex(data()), toHex(cat(pages, sequence(0x50, 8), hex("38 39 3A 3B 3C 3D 3E 3F"))));
  // From page 14, eight pages: 14, 15, then the card's start, 0 to 5.
  ASSERT_EQ(send(assemble(0x30, cat(uid, hex("0E 08")))), 0);
  const PageCard& card = controller.field().page[0];
  Bytes wrapped;
  for (int page : {14, 15, 0, 1, 2, 3, 4, 5}) wrapped = cat(wrapped, Bytes(card.pages[page].begin(), card.pages[page].end()));
  EXPECT_EQ(toHex(data()), toHex(wrapped));

  ASSERT_EQ(send(assemble(0x33, cat(uid, hex("E1 10 06 00 00")))), 0);
  EXPECT_EQ(response.text(), "03 33 00");
  ASSERT_EQ(send(assemble(0x30, cat(uid, hex("03 04")))), 0);
  EXPECT_EQ(toHex(data(0, 4)), "E1 10 06 00");
}

TEST_P(CardScenarioTest, ChangedKeyAReplacesTheOldOneAndKeepsTheRestOfTheTrailer) {
  controller.field().mifare.push_back(MifareClassicCard::make1k(1));
  const Bytes uid = hex(kUid4);
  const Bytes newKey = hex(kNewKey);
  ASSERT_EQ(send(hex("06 21 00 30 00 00")), 0);

  ASSERT_EQ(send(assemble(0x33, cat(uid, kKeyA, Bytes{0x02}, newKey))), 0);
  EXPECT_EQ(response.text(), "03 33 00");
  const MifareClassicCard& card = controller.field().mifare[0];
  const pelvsim::Block& trailer = card.blocks[11];
  EXPECT_EQ(toHex(Bytes(trailer.begin(), trailer.end())),
            "A0 A1 A2 A3 A4 A5 FF 07 80 69 FF FF FF FF FF FF");

  EXPECT_EQ(send(mifareKeyedRequest(0x30, uid, kKeyA, 2, 0, 1)), 1);
  EXPECT_EQ(response.text(), "03 30 14");
  // A refused key leaves the card idle: it answers nothing until polled again.
  EXPECT_EQ(send(mifareKeyedRequest(0x30, uid, newKey, 2, 0, 1)), 1);
  EXPECT_EQ(response.text(), "03 30 01");
  ASSERT_EQ(send(hex("06 21 00 30 00 00")), 0);
  ASSERT_EQ(send(mifareKeyedRequest(0x30, uid, newKey, 2, 0, 1)), 0);
  EXPECT_EQ(toHex(data()), toHex(sequence(8, 16)));
  // The other sectors keep the factory key.
  EXPECT_EQ(send(mifareKeyedRequest(0x30, uid, kKeyA, 3, 0, 1)), 0);

  // A key change with the wrong current key changes nothing and shows as FE.
  EXPECT_EQ(send(assemble(0x33, cat(uid, kKeyA, Bytes{0x02}, hex("11 11 11 11 11 11")))), 1);
  EXPECT_EQ(response.text(), "03 33 FE");
  EXPECT_EQ(toHex(Bytes(card.blocks[11].begin(), card.blocks[11].begin() + 6)), "A0 A1 A2 A3 A4 A5");
}

INSTANTIATE_TEST_SUITE_P(RfTiming, CardScenarioTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Timed" : "Instant"; });

// After the exchanges, with controller statuses below 0x80 (PN532 user manual
// 7.1): the statuses each command may give, and the result each one maps to.
bool statusAllowed(std::uint8_t cmd, int mode, std::uint8_t status) {
  if (status == 0xFF || status == 0xFE) return true;
  if (status == 0xF9) return (cmd == 0x30 || cmd == 0x31) && (mode == 1 || mode == 2);
  if (cmd == 0x21) return status == 0xFD || status == 0xFC;
  return cmd != 0x33 && status > 0 && status < 0x80;
}
std::uint16_t resultOf(std::uint8_t cmd, std::uint8_t status) {
  if (status == 0x00) return 0;
  if (status == 0xFD || (cmd == 0x21 && status == 0xFC)) return 2;
  return status == 0xFE && (cmd == 0x30 || cmd == 0x21) ? 0 : 1;
}

// Random packets, each in a buffer of exactly LEN bytes (at least LEN and CMD),
// against random answers. Under the sanitizer builds this shows that no handler
// reads past the packet or the answer; every response is the one the packet,
// ReaderMode and the answers call for.
class MalformedInputTest : public pelvtest::LinkTest {};

TEST_F(MalformedInputTest, RandomPacketsAndAnswersGetTheResponseTheirLayoutCallsFor) {
  std::mt19937 rng(20261208);
  auto byte = [&rng]() { return static_cast<std::uint8_t>(rng() & 0xFF); };
  far.keepRecord = false;
  far.replyToEvery([&](const Bytes&) {
    switch (rng() % 8) {
      case 0: return pelvtest::NACK();
      case 1: return cat(pelvtest::ACK(), hex("00 00 FF 03 FD D5 41 00 00 00"));  // bad checksum
      default: {
        Bytes a(1 + rng() % 40);
        for (auto& b : a) b = byte();
        if (a.size() > 1) a[1] = rng() % 2 ? 0x00 : a[1] & 0x7F;  // often a status of success
        return cat(pelvtest::ACK(), pelvtest::answer(a));
      }
    }
  });
  const pelvane::Handler handlers[] = {pelvane::readCard, pelvane::writeCard, pelvane::writeKeyOrPage3,
                                       pelvane::detectCard};
  const std::uint8_t commands[] = {0x30, 0x31, 0x33, 0x21};
  const std::uint8_t modes[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 0xFF};
  for (int round = 0; round < 3000; ++round) {
    const int h = round % 4;
    const std::size_t len = h == 3 ? 4 + rng() % 20 : rng() % 256;
    // The command byte is always there: the dispatcher routed on it.
    Bytes p(len < 2 ? 2 : len);
    for (auto& b : p) b = byte();
    p[0] = static_cast<std::uint8_t>(len);
    p[1] = commands[h];
    if (h == 3 && p.size() > 4) p[4] = 0;  // one technology keeps each wait short
    const int mode = modes[rng() % 10];
    portSlot().readerMode = static_cast<pelvane::ReaderMode>(mode);
    arm(1.0);
    pelvane::simport::clearEvents();
    ResponseBuffer out;
    const std::uint16_t result = handlers[h](pelvtest::kPort, p.data(), out.bytes);
    const std::string what = "round " + std::to_string(round) + " mode " + std::to_string(mode) + ": " +
                             toHex(Bytes(p.begin(), p.begin() + (p.size() < 16 ? p.size() : 16)));
    // Refused before any exchange (each refusal is pinned literally in the
    // handlers' refusal tables): nothing sent, and either no response (mode
    // gates) or 03 CMD with FD, FC or FF.
    if (written().empty()) {
      if (out.untouched()) {
        EXPECT_TRUE(result == 1 || result == 2) << what;
        continue;
      }
      EXPECT_EQ(out.bytes[0], 3) << what;
      const std::uint8_t status = out.bytes[2];
      EXPECT_TRUE(status == 0xFD || status == 0xFC || status == 0xFF) << what << " status " << hexByte(status);
      EXPECT_EQ(result, resultOf(commands[h], status)) << what;
      continue;
    }
    ASSERT_FALSE(out.untouched()) << what;
    const std::uint8_t status = out.bytes[2];
    EXPECT_EQ(out.bytes[1], commands[h]) << what;
    EXPECT_EQ(result, resultOf(commands[h], status)) << what << " status " << hexByte(status);
    if (status != 0x00) {
      EXPECT_EQ(out.bytes[0], 3) << what;
      EXPECT_TRUE(statusAllowed(commands[h], mode, status)) << what << " status " << hexByte(status);
    } else if (commands[h] == 0x30 && mode != 7) {
      const int units = mode == 3 ? p[14] : mode == 4 ? p[10] / 4 : p[11 + 2 * p[10]];
      EXPECT_EQ(out.bytes[0], 3 + 16 * units) << what;
    } else if (commands[h] == 0x33 || (commands[h] == 0x31 && mode != 7)) {
      EXPECT_EQ(out.bytes[0], 3) << what;
    }
  }
}

}  // namespace
