#include <string>
#include <vector>

#include "card_test_util.h"
#include "command/handlers.h"
#include "support/harness.h"

namespace {

using namespace cardtest;

constexpr const char* kPrepareWrite = "40 01 60 00 00 3E 91 C7 0B 5D A4 04 01 5A 6B 7C 8D 9E";

// Card answer to Write Without Encryption: length 0C, 09, IDm, status flags.
Bytes felicaWriteAnswer(std::uint8_t flag1, std::uint8_t flag2) {
  return dataAnswer(0x00, cat(hex("0C 09"), hex(kIdm), Bytes{flag1, flag2}));
}



// Mode 3 write request: UID, key, sector, first block, count, then 16 bytes a block.
Bytes mifareWrite(std::uint8_t cmd, int sector, int first, int count, int blocksOfData) {
  Bytes p = packet(cmd, std::string(kUid4) + " " + kFactoryKey + " " + hexByte(sector) + " " +
                            hexByte(first) + " " + hexByte(count));
  for (int i = 0; i < blocksOfData; ++i) p = cat(p, sequence(static_cast<std::uint8_t>(0x80 + 16 * i), 16));
  p[0] = static_cast<std::uint8_t>(p.size());
  return p;
}

// Mode 4 write request: identifier, first page, count, then 4 bytes a page.
Bytes pageWrite(std::uint8_t cmd, int first, int count, int pagesOfData) {
  Bytes p = packet(cmd, std::string(kUid7) + " " + hexByte(first) + " " + hexByte(count));
  for (int i = 0; i < pagesOfData; ++i) p = cat(p, sequence(static_cast<std::uint8_t>(0x40 + 4 * i), 4));
  p[0] = static_cast<std::uint8_t>(p.size());
  return p;
}

class WritingTest : public HandlerTest {
 protected:
  std::uint16_t write(std::uint8_t mode, const Bytes& p) { return runIn(mode, pelvane::writeCard, p); }
};

TEST_F(WritingTest, FelicaWriteSwapsServiceCodesAndSendsBlockListAndDataUnchanged) {
  Bytes data = sequence(0xA0, 16);
  Bytes p = cat(packet(0x31, std::string(kIdm) + " 01 00 09 01 80 00"), data);
  p[0] = static_cast<std::uint8_t>(p.size());
  ASSERT_EQ(p[0], 0x20);
  answerNext(far, felicaWriteAnswer(0x00, 0x00));
  EXPECT_EQ(write(1, p), 0);
  EXPECT_EQ(sentCommands(),
            (std::vector<std::string>{"40 01 20 08 " + std::string(kIdm) + " 01 09 00 01 80 00 " + toHex(data)}));
  EXPECT_EQ(response.text(), "03 31 00");
}

TEST_F(WritingTest, FelicaWriteOfEightServicesAndEightBlocksIsAccepted) {
  std::string services = " 08";
  for (int k = 0; k < 8; ++k) services += " 00 " + hexByte(0x09 + 0x40 * k);
  std::string blocks = " 08 80 00 80 01 80 02 80 03 80 04 80 05 80 06 80 07";
  Bytes p = cat(packet(0x31, kIdm + services + blocks), repeat(0x5A, 128));
  p[0] = static_cast<std::uint8_t>(p.size());
  ASSERT_EQ(p[0], 0xAC);
  answerNext(far, felicaWriteAnswer(0x00, 0x00));
  EXPECT_EQ(write(1, p), 0);
  ASSERT_EQ(sentCommands().size(), 1u);
  EXPECT_EQ(sentCommands()[0].substr(0, 12), "40 01 AC 08 ");
  EXPECT_EQ(sentCommands()[0].size(), 174u * 3 - 1);
}

TEST_F(WritingTest, FelicaStatusFlagOneFailsWithF9AndFlagTwoAloneSucceeds) {
  Bytes p = cat(packet(0x31, std::string(kIdm) + " 01 00 09 01 80 00"), repeat(0, 16));
  p[0] = static_cast<std::uint8_t>(p.size());
  answerNext(far, felicaWriteAnswer(0xA1, 0xA9));
  EXPECT_EQ(write(2, p), 1);
  EXPECT_EQ(response.text(), "03 31 F9");
  answerNext(far, felicaWriteAnswer(0x00, 0x01));
  EXPECT_EQ(write(2, p), 0);
  EXPECT_EQ(response.text(), "03 31 00");
  answerNext(far, dataAnswer(0x00, hex("0C 09 01 2E")));
  EXPECT_EQ(write(2, p), 1);
  EXPECT_EQ(response.text(), "03 31 FF");
}

TEST_F(WritingTest, LengthIsTestedBeforeRangeAndRefusalsSendNothing) {
  const std::string idm = kIdm;
  Bytes liteTwoBlocks = cat(packet(0x31, idm + " 01 00 09 02 80 00 80 01"), repeat(0, 32));
  liteTwoBlocks[0] = static_cast<std::uint8_t>(liteTwoBlocks.size());
  Bytes liteTwoBlocksShort = liteTwoBlocks;
  liteTwoBlocksShort[0] = static_cast<std::uint8_t>(liteTwoBlocks.size() - 1);
  Bytes nineServices = cat(packet(0x31, idm + " 09" + " 00 09 00 09 00 09 00 09 00 09 00 09 00 09 00 09 00 09" +
                                            " 01 80 00"),
                           repeat(0, 16));
  nineServices[0] = static_cast<std::uint8_t>(nineServices.size());
  Bytes nineBlocks = cat(packet(0x31, idm + " 01 00 09 09 80 00 80 01 80 02 80 03 80 04 80 05 80 06 80 07 80 08"),
                         repeat(0, 144));
  nineBlocks[0] = static_cast<std::uint8_t>(nineBlocks.size());
  expectRefusals(pelvane::writeCard, {
      {"lite: two blocks, LEN fits", 2, liteTwoBlocks, "03 31 FC", 1},
      {"lite: two blocks, LEN off", 2, liteTwoBlocksShort, "03 31 FD", 2},
      {"felica: nine services, LEN fits", 1, nineServices, "03 31 FC", 1},
      {"felica: nine blocks, LEN fits", 1, nineBlocks, "03 31 FC", 1},
      {"felica: block count past LEN", 1, packet(0x31, idm + " 03 00 09 00 0B"), "03 31 FD", 2},
      {"felica: no service count", 1, packet(0x31, idm), "03 31 FD", 2},
      {"mifare: sector 1, four blocks", 3, mifareWrite(0x31, 1, 0, 4, 4), "03 31 FC", 1},
      {"mifare: trailer of a small sector", 3, mifareWrite(0x31, 1, 3, 1, 1), "03 31 FC", 1},
      {"mifare: trailer of a large sector", 3, mifareWrite(0x31, 39, 15, 1, 1), "03 31 FC", 1},
      {"mifare: large sector, 15 blocks from 1", 3, mifareWrite(0x31, 32, 1, 15, 15), "03 31 FC", 1},
      {"mifare: sector 40", 3, mifareWrite(0x32, 40, 0, 1, 1), "03 32 FC", 1},
      {"mifare: no blocks", 3, mifareWrite(0x31, 1, 0, 0, 0), "03 31 FC", 1},
      {"mifare: data for one block short", 3, mifareWrite(0x31, 1, 0, 2, 1), "03 31 FD", 2},
      {"mifare: count byte missing", 3, packet(0x31, std::string(kUid4) + " " + kFactoryKey + " 01 00"), "03 31 FD", 2},
      {"pages: 0x31 with two pages", 4, pageWrite(0x31, 4, 2, 2), "03 31 FD", 2},
      {"pages: 0x31 with two pages past the card", 4, pageWrite(0x31, 15, 2, 2), "03 31 FC", 1},
      {"pages: first page 13, four pages", 4, pageWrite(0x31, 13, 4, 4), "03 31 FC", 1},
      {"pages: first page 3", 4, pageWrite(0x32, 3, 1, 1), "03 32 FC", 1},
      {"pages: no pages", 4, pageWrite(0x32, 4, 0, 0), "03 32 FC", 1},
      {"pages: data short", 4, pageWrite(0x32, 4, 2, 1), "03 32 FD", 2},
      {"pages: count byte missing", 4, packet(0x31, std::string(kUid7) + " 04"), "03 31 FD", 2},
      {"peer: two bytes", 7, Bytes{0x02, 0x31}, "03 31 FD", 2},
      {"target: two bytes", 8, Bytes{0x02, 0x31}, "03 31 FD", 2},
      {"mode 9 has no write", 9, packet(0x31, "01 02"), "03 31 FF", 1},
      {"mode 5 has no write", 5, packet(0x31, "01 02"), "03 31 FF", 1},
      {"mode 6 has no write", 6, packet(0x31, "01 02"), "03 31 FF", 1},
  });
}

TEST_F(WritingTest, GatesLeaveTheResponseUntouched) {
  for (int mode : {0, 1, 2, 7, 8, 9}) {
    response = ResponseBuffer();
    EXPECT_EQ(write(static_cast<std::uint8_t>(mode), mifareWrite(0x32, 1, 0, 1, 1)), 1) << mode;
    EXPECT_TRUE(response.untouched()) << mode;
  }
  EXPECT_EQ(write(0, mifareWrite(0x31, 1, 0, 1, 1)), 2);
  EXPECT_TRUE(response.untouched());
  EXPECT_TRUE(pelvane::simport::writes().empty());
}

struct MifareCase {
  int sector, first, count;
  int block;
};

TEST_F(WritingTest, MifareWriteAuthenticatesTheFirstBlockAndWritesEachBlock) {
  const MifareCase cases[] = {{1, 0, 3, 4}, {0, 1, 2, 1}, {32, 0, 1, 128}, {39, 14, 1, 254}, {35, 0, 15, 176}};
  for (const MifareCase& c : cases) {
    pelvane::simport::clearEvents();
    std::vector<std::string> commands{"40 01 60 " + hexByte(c.block) + " " + kFactoryKey + " " + kUid4};
    answerNext(far, dataAnswer(0x00));
    for (int i = 0; i < c.count; ++i) {
      answerNext(far, dataAnswer(0x00));
      commands.push_back("40 01 A0 " + hexByte(c.block + i) + " " +
                         toHex(sequence(static_cast<std::uint8_t>(0x80 + 16 * i), 16)));
    }
    EXPECT_EQ(write(3, mifareWrite(0x31, c.sector, c.first, c.count, c.count)), 0) << c.sector;
    EXPECT_EQ(sentCommands(), commands) << c.sector;
    EXPECT_EQ(response.text(), "03 31 00");
  }
}

TEST_F(WritingTest, RefusedWriteStopsAtOnceWithTheControllerStatus) {
  answerNext(far, dataAnswer(0x00));
  answerNext(far, dataAnswer(0x00));
  answerNext(far, dataAnswer(0x14));
  EXPECT_EQ(write(3, mifareWrite(0x32, 1, 0, 3, 3)), 1);
  EXPECT_EQ(response.text(), "03 32 14");
  EXPECT_EQ(sentCommands().size(), 3u);
}

TEST_F(WritingTest, PageWritePreparesWithFifthByte00AndWritesEachPage) {
  struct Case {
    std::uint8_t cmd;
    int first, count;
  };
  for (const Case& c : {Case{0x32, 4, 2}, Case{0x31, 12, 4}, Case{0x32, 15, 1}, Case{0x31, 4, 12}}) {
    pelvane::simport::clearEvents();
    std::vector<std::string> commands{kPrepareWrite};
    answerNext(far, dataAnswer(0x00));
    for (int i = 0; i < c.count; ++i) {
      answerNext(far, dataAnswer(0x00));
      commands.push_back("40 01 A2 " + hexByte(c.first + i) + " " +
                         toHex(sequence(static_cast<std::uint8_t>(0x40 + 4 * i), 4)));
    }
    EXPECT_EQ(write(4, pageWrite(c.cmd, c.first, c.count, c.count)), 0) << c.first;
    EXPECT_EQ(sentCommands(), commands) << c.first;
  }
}

TEST_F(WritingTest, PeerModeReturnsThePeerAnswer) {
  answerNext(far, dataAnswer(0x00, hex("01 02")));
  EXPECT_EQ(write(7, packet(0x31, "99")), 0);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"40 01 99"}));
  EXPECT_EQ(response.text(), "05 31 00 01 02");
}

TEST_F(WritingTest, TargetModeSendsTgSetDataAndPassesItsStatus) {
  answerNext(far, "8F 00");
  EXPECT_EQ(write(8, packet(0x31, "77")), 0);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"8E 77"}));
  EXPECT_EQ(response.text(), "03 31 00");
  answerNext(far, "8F 29");
  EXPECT_EQ(write(8, packet(0x31, "77")), 1);
  EXPECT_EQ(response.text(), "03 31 29");
}

TEST_F(WritingTest, TimeOutIsReportedAsFailedWithFE) {
  EXPECT_EQ(write(3, mifareWrite(0x31, 1, 0, 1, 1)), 1);
  EXPECT_EQ(response.text(), "03 31 FE");
}

}  // namespace
