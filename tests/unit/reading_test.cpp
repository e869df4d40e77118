#include <string>
#include <vector>

#include "card_test_util.h"
#include "command/handlers.h"
#include "support/harness.h"

namespace {

using namespace cardtest;

constexpr const char* kPrepareRead = "40 01 60 00 04 3E 91 C7 0B 5D A4 04 01 5A 6B 7C 8D 9E";

// Card answer to Read Without Encryption: length, 07, IDm, status flags, block count, data.
Bytes felicaReadAnswer(std::uint8_t flag1, std::uint8_t flag2, const Bytes& data) {
  Bytes card = cat(Bytes{static_cast<std::uint8_t>(13 + data.size()), 0x07}, hex(kIdm),
                   Bytes{flag1, flag2, static_cast<std::uint8_t>(data.size() / 16)}, data);
  return dataAnswer(0x00, card);
}

std::string mifareRead(int sector, int first, int count) {
  char tail[16];
  std::snprintf(tail, sizeof tail, " %02X %02X %02X", sector, first, count);
  return std::string(kUid4) + " " + kFactoryKey + tail;
}

class ReadingTest : public HandlerTest {
 protected:
  std::uint16_t read(std::uint8_t mode, const Bytes& p) { return runIn(mode, pelvane::readCard, p); }
};

TEST_F(ReadingTest, FelicaReadSendsServiceCodesLowByteFirstAndReturnsTheBlock) {
  Bytes data = sequence(0x30, 16);
  answerNext(far, felicaReadAnswer(0x00, 0x00, data));
  EXPECT_EQ(read(1, packet(0x30, std::string(kIdm) + " 01 09 0F 01 80 00")), 0);
  EXPECT_EQ(sentCommands(),
            (std::vector<std::string>{"40 01 10 06 " + std::string(kIdm) + " 01 0F 09 01 80 00"}));
  EXPECT_EQ(response.text(), "13 30 00 " + pelvtest::toHex(data));
}

TEST_F(ReadingTest, FelicaReadOfEightServicesAndEightBlocksCarries128Bytes) {
  std::string services = " 08";
  std::string swapped = " 08";
  for (int k = 0; k < 8; ++k) {
    services += " 10 " + hexByte(0x09 + k);
    swapped += " " + hexByte(0x09 + k) + " 10";
  }
  std::string blocks = " 08 80 00 80 01 80 02 80 03 80 04 80 05 80 06 80 07";
  Bytes data = sequence(0x00, 128);
  answerNext(far, felicaReadAnswer(0x00, 0x00, data));
  Bytes p = packet(0x30, kIdm + services + blocks);
  ASSERT_EQ(p[0], 44);
  EXPECT_EQ(read(1, p), 0);
  EXPECT_EQ(sentCommands(),
            (std::vector<std::string>{"40 01 2C 06 " + std::string(kIdm) + swapped + blocks}));
  EXPECT_EQ(response.packet().size(), 131u);
}

TEST_F(ReadingTest, FelicaStatusFlagOneFailsWithF9AndFlagTwoIsNotExamined) {
  answerNext(far, felicaReadAnswer(0xA1, 0x00, {}));
  EXPECT_EQ(read(1, packet(0x30, std::string(kIdm) + " 01 09 0F 01 80 00")), 1);
  EXPECT_EQ(response.text(), "03 30 F9");

  answerNext(far, felicaReadAnswer(0x00, 0xA6, repeat(0x11, 16)));
  EXPECT_EQ(read(2, packet(0x30, std::string(kIdm) + " 01 0B 00 01 80 00")), 0);
  EXPECT_EQ(response.bytes[0], 0x13);
}

// A refused request sends nothing, whatever its mode.
TEST_F(ReadingTest, LengthIsTestedBeforeRangeAndRefusalsSendNothing) {
  const std::string idm = kIdm;
  const std::string nine = " 09 00 09 00 09 00 09 00 09 00 09 00 09 00 09 00 09 00 09";
  expectRefusals(pelvane::readCard, {
      {"felica: nine services, LEN fits", 1, packet(0x30, idm + nine + " 01 80 00"), "03 30 FC", 1},
      {"felica: nine services, LEN off", 1, packet(0x30, idm + nine + " 01 80 00 00"), "03 30 FD", 2},
      {"felica: nine blocks", 1,
       packet(0x30, idm + " 01 09 0F 09" + std::string(" 80 00") + " 80 01 80 02 80 03 80 04 80 05 80 06 80 07 80 08"),
       "03 30 FC", 1},
      {"felica: no services", 1, packet(0x30, idm + " 00 01 80 00"), "03 30 FC", 1},
      {"felica: block count lies past LEN", 1, packet(0x30, idm + " 02 09 0F 00 0B"), "03 30 FD", 2},
      {"felica: service count alone", 1, packet(0x30, idm + " 01"), "03 30 FD", 2},
      {"felica: no service count", 1, packet(0x30, idm), "03 30 FD", 2},
      {"lite: two services", 2, packet(0x30, idm + " 02 09 00 0B 00 01 80 00"), "03 30 FC", 1},
      {"lite: five blocks", 2, packet(0x30, idm + " 01 0B 00 05 80 00 80 01 80 02 80 03 80 04"), "03 30 FC", 1},
      {"mifare: 14 bytes with sector 50", 3, packet(0x30, std::string(kUid4) + " " + kFactoryKey + " 32 00"), "03 30 FD", 2},
      {"mifare: 16 bytes", 3, packet(0x30, mifareRead(1, 0, 1) + " 00"), "03 30 FD", 2},
      {"mifare: sector 40", 3, packet(0x30, mifareRead(40, 0, 1)), "03 30 FC", 1},
      {"mifare: sector 1 from block 1, four blocks", 3, packet(0x30, mifareRead(1, 1, 4)), "03 30 FC", 1},
      {"mifare: block 4 of a small sector", 3, packet(0x30, mifareRead(1, 4, 1)), "03 30 FC", 1},
      {"mifare: no blocks", 3, packet(0x30, mifareRead(1, 0, 0)), "03 30 FC", 1},
      {"mifare: sector 32 from block 15, two blocks", 3, packet(0x30, mifareRead(32, 15, 2)), "03 30 FC", 1},
      {"mifare: whole large sector exceeds the response", 3, packet(0x30, mifareRead(32, 0, 16)), "03 30 FC", 1},
      {"pages: start page 16", 4, packet(0x30, std::string(kUid7) + " 10 04"), "03 30 FC", 1},
      {"pages: sixteen reads exceed the response", 4, packet(0x30, std::string(kUid7) + " 00 40"), "03 30 FC", 1},
      {"pages: 12 bytes", 4, packet(0x30, std::string(kUid7) + " 04 04 00"), "03 30 FD", 2},
      {"pages: 10 bytes", 4, packet(0x30, std::string(kUid7) + " 04"), "03 30 FD", 2},
      {"peer: two bytes", 7, Bytes{0x02, 0x30}, "03 30 FD", 2},
      {"mode 9 has no read", 9, packet(0x30, mifareRead(1, 0, 1)), "03 30 FF", 1},
      {"mode 8 has no read", 8, packet(0x30, "01"), "03 30 FF", 1},
      {"mode 5 has no read", 5, packet(0x30, mifareRead(1, 0, 1)), "03 30 FF", 1},
      {"mode 6 has no read", 6, packet(0x30, mifareRead(1, 0, 1)), "03 30 FF", 1},
      {"unknown mode 0x42", 0x42, packet(0x30, mifareRead(1, 0, 1)), "03 30 FF", 1},
  });
}

TEST_F(ReadingTest, ModeZeroIsRefusedWithoutResponse) {
  EXPECT_EQ(read(0, packet(0x30, mifareRead(1, 0, 1))), 2);
  EXPECT_TRUE(response.untouched());
  EXPECT_TRUE(pelvane::simport::writes().empty());
}

// MIFARE addressing: the authentication names the first block read.
struct MifareCase {
  int sector, first, count;
  int block;  // absolute number of the first block
};

TEST_F(ReadingTest, MifareReadAuthenticatesTheFirstBlockThenReadsEachBlock) {
  const MifareCase cases[] = {
      {1, 0, 4, 4}, {0, 3, 1, 3}, {15, 2, 2, 62}, {31, 0, 4, 124},
      {32, 0, 1, 128}, {33, 4, 3, 148}, {39, 15, 1, 255}, {39, 0, 15, 240},
  };
  for (const MifareCase& c : cases) {
    pelvane::simport::clearEvents();
    answerNext(far, dataAnswer(0x00));
    Bytes expected;
    std::vector<std::string> commands{"40 01 60 " + hexByte(c.block) + " " + kFactoryKey + " " + kUid4};
    for (int i = 0; i < c.count; ++i) {
      Bytes block = sequence(static_cast<std::uint8_t>(c.block + i), 16);
      answerNext(far, dataAnswer(0x00, block));
      expected = cat(expected, block);
      commands.push_back("40 01 30 " + hexByte(c.block + i));
    }
    EXPECT_EQ(read(3, packet(0x30, mifareRead(c.sector, c.first, c.count))), 0) << c.sector;
    EXPECT_EQ(sentCommands(), commands) << c.sector;
    EXPECT_EQ(response.text(), pelvtest::toHex(cat(Bytes{static_cast<std::uint8_t>(3 + 16 * c.count), 0x30, 0x00}, expected)));
  }
}

TEST_F(ReadingTest, RefusedAuthenticationPassesTheControllerStatusAndReadsNothing) {
  answerNext(far, dataAnswer(0x14));
  EXPECT_EQ(read(3, packet(0x30, mifareRead(1, 0, 4))), 1);
  EXPECT_EQ(response.text(), "03 30 14");
  EXPECT_EQ(sentCommands().size(), 1u);
}

TEST_F(ReadingTest, FailedSecondReadDropsTheFirstBlock) {
  answerNext(far, dataAnswer(0x00));
  answerNext(far, dataAnswer(0x00, repeat(0x42, 16)));
  answerNext(far, dataAnswer(0x01));
  EXPECT_EQ(read(3, packet(0x30, mifareRead(1, 0, 3))), 1);
  EXPECT_EQ(response.text(), "03 30 01");
  EXPECT_EQ(sentCommands().size(), 3u);
}

TEST_F(ReadingTest, ShortCardAnswersAreLinkFailuresNotStaleBytes) {
  // A MIFARE READ with 15 data bytes.
  answerNext(far, dataAnswer(0x00));
  answerNext(far, dataAnswer(0x00, repeat(0x42, 15)));
  EXPECT_EQ(read(3, packet(0x30, mifareRead(1, 0, 1))), 1);
  EXPECT_EQ(response.text(), "03 30 FF");

  // A FeliCa answer with one block where two were asked for.
  answerNext(far, felicaReadAnswer(0x00, 0x00, repeat(0x33, 16)));
  EXPECT_EQ(read(1, packet(0x30, std::string(kIdm) + " 01 09 0F 02 80 00 80 01")), 1);
  EXPECT_EQ(response.text(), "03 30 FF");

  // A FeliCa answer that ends before status flag 1.
  answerNext(far, dataAnswer(0x00, hex("1D 07 01 2E")));
  EXPECT_EQ(read(1, packet(0x30, std::string(kIdm) + " 01 09 0F 01 80 00")), 1);
  EXPECT_EQ(response.text(), "03 30 FF");

  // A NACK in place of the acknowledgement.
  far.reply(pelvtest::NACK());
  EXPECT_EQ(read(3, packet(0x30, mifareRead(1, 0, 1))), 1);
  EXPECT_EQ(response.text(), "03 30 FF");
}

TEST_F(ReadingTest, PageReadPreparesWithFifthByte04AndReadsEveryFourthPage) {
  answerNext(far, dataAnswer(0x00));
  answerNext(far, dataAnswer(0x00, sequence(0x10, 16)));
  answerNext(far, dataAnswer(0x00, sequence(0x20, 16)));
  EXPECT_EQ(read(4, packet(0x30, std::string(kUid7) + " 04 08")), 0);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{kPrepareRead, "40 01 30 04", "40 01 30 08"}));
  EXPECT_EQ(response.text(), "23 30 00 " + pelvtest::toHex(cat(sequence(0x10, 16), sequence(0x20, 16))));
}

// Page numbers past 15 wrap to the start of the 16-page card.
TEST_F(ReadingTest, PageReadsPastPage15AskForTheWrappedPage) {
  for (int k = 0; k < 4; ++k) answerNext(far, dataAnswer(0x00, k == 0 ? Bytes{} : sequence(0x10, 16)));
  EXPECT_EQ(read(4, packet(0x30, std::string(kUid7) + " 0E 0C")), 0);
  EXPECT_EQ(sentCommands(),
            (std::vector<std::string>{kPrepareRead, "40 01 30 0E", "40 01 30 02", "40 01 30 06"}));
  EXPECT_EQ(response.packet().size(), 51u);
}

TEST_F(ReadingTest, PageCountBelowFourGivesAnEmptySuccessAfterThePreparation) {
  answerNext(far, dataAnswer(0x00));
  EXPECT_EQ(read(4, packet(0x30, std::string(kUid7) + " 0F 03")), 0);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{kPrepareRead}));
  EXPECT_EQ(response.text(), "03 30 00");
}

TEST_F(ReadingTest, RefusedPreparationPassesTheControllerStatus) {
  answerNext(far, dataAnswer(0x14));
  EXPECT_EQ(read(4, packet(0x30, std::string(kUid7) + " 04 04")), 1);
  EXPECT_EQ(response.text(), "03 30 14");
  EXPECT_EQ(sentCommands().size(), 1u);
}

TEST_F(ReadingTest, PeerModePassesParametersToTheTarget) {
  answerNext(far, dataAnswer(0x00, hex("D5 07 AA")));
  EXPECT_EQ(read(7, packet(0x30, "D4 06 01")), 0);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"40 01 D4 06 01"}));
  EXPECT_EQ(response.text(), "06 30 00 D5 07 AA");
}

TEST_F(ReadingTest, TimeOutIsReportedAsDoneWithFE) {
  EXPECT_EQ(read(3, packet(0x30, mifareRead(1, 0, 1))), 0);
  EXPECT_EQ(response.text(), "03 30 FE");
}

}  // namespace
