#include <string>
#include <vector>

#include "card_test_util.h"
#include "command/handlers.h"
#include "support/harness.h"

namespace {

using namespace cardtest;

// A trailer as READ returns it: key A reads as zeros, then access bits, the
// byte after them and key B.
const Bytes kTrailerRead = hex("00 00 00 00 00 00 FF 07 80 69 B0 B1 B2 B3 B4 B5");


Bytes keyChange(int sector) {
  return packet(0x33, std::string(kUid4) + " " + kFactoryKey + " " + hexByte(sector) + " " + kNewKey);
}

class SectorKeyTest : public HandlerTest {
 protected:
  std::uint16_t run(std::uint8_t mode, const Bytes& p) { return runIn(mode, pelvane::writeKeyOrPage3, p); }
};

TEST_F(SectorKeyTest, KeyChangeRewritesTheTrailerWithTheNewKeyAndTheRestAsRead) {
  const struct {
    int sector;
    int trailer;
  } cases[] = {{0, 3}, {1, 7}, {31, 127}, {32, 143}, {33, 159}, {39, 255}};
  for (const auto& c : cases) {
    pelvane::simport::clearEvents();
    answerNext(far, dataAnswer(0x00));
    answerNext(far, dataAnswer(0x00, kTrailerRead));
    answerNext(far, dataAnswer(0x00));
    EXPECT_EQ(run(3, keyChange(c.sector)), 0) << c.sector;
    const std::string t = hexByte(c.trailer);
    EXPECT_EQ(sentCommands(),
              (std::vector<std::string>{"40 01 60 " + t + " " + kFactoryKey + " " + kUid4, "40 01 30 " + t,
                                        "40 01 A0 " + t + " " + kNewKey + " FF 07 80 69 B0 B1 B2 B3 B4 B5"}))
        << c.sector;
    EXPECT_EQ(response.text(), "03 33 00");
  }
}

TEST_F(SectorKeyTest, WrongLengthOrSectorIsRefusedBeforeAnyExchange) {
  Bytes shortOne = keyChange(1);
  shortOne[0] = 18;
  Bytes longOne = cat(keyChange(1), hex("00"));
  longOne[0] = 20;
  Bytes page13 = packet(0x33, std::string(kUid7) + " 01 02 03");
  Bytes page15 = packet(0x33, std::string(kUid7) + " 01 02 03 04 05 06");
  expectRefusals(pelvane::writeKeyOrPage3, {
      {"18 bytes", 3, shortOne, "03 33 FD", 2},
      {"20 bytes", 3, longOne, "03 33 FD", 2},
      {"sector 40", 3, keyChange(40), "03 33 FC", 1},
      {"sector 255", 3, keyChange(255), "03 33 FC", 1},
      {"page write of 13 bytes", 4, page13, "03 33 FD", 2},
      {"page write of 15 bytes", 4, page15, "03 33 FD", 2},
  });
}

TEST_F(SectorKeyTest, EveryControllerRefusalShowsAsFEAndStopsBeforeTheWrite) {
  const struct {
    const char* name;
    std::vector<Bytes> answers;
    std::size_t sent;
  } cases[] = {
      {"authentication refused", {dataAnswer(0x14)}, 1},
      {"read refused", {dataAnswer(0x00), dataAnswer(0x01)}, 2},
      {"write refused", {dataAnswer(0x00), dataAnswer(0x00, kTrailerRead), dataAnswer(0x14)}, 3},
  };
  for (const auto& c : cases) {
    pelvane::simport::clearEvents();
    for (const Bytes& a : c.answers) answerNext(far, a);
    EXPECT_EQ(run(3, keyChange(1)), 1) << c.name;
    EXPECT_EQ(response.text(), "03 33 FE") << c.name;
    EXPECT_EQ(sentCommands().size(), c.sent) << c.name;
  }
}

TEST_F(SectorKeyTest, ShortTrailerReadIsALinkFailureAndNothingIsWritten) {
  answerNext(far, dataAnswer(0x00));
  answerNext(far, dataAnswer(0x00, Bytes(kTrailerRead.begin(), kTrailerRead.end() - 1)));
  EXPECT_EQ(run(3, keyChange(1)), 1);
  EXPECT_EQ(response.text(), "03 33 FF");
  EXPECT_EQ(sentCommands().size(), 2u);
}

TEST_F(SectorKeyTest, TimeOutIsReportedAsFailedWithFE) {
  EXPECT_EQ(run(3, keyChange(1)), 1);
  EXPECT_EQ(response.text(), "03 33 FE");
}

TEST_F(SectorKeyTest, Page3WritePreparesWithFifthByte00AndIgnoresTheLastByte) {
  for (const char* last : {"00", "FF"}) {
    pelvane::simport::clearEvents();
    answerNext(far, dataAnswer(0x00));
    answerNext(far, dataAnswer(0x00));
    EXPECT_EQ(run(4, packet(0x33, std::string(kUid7) + " E1 10 06 00 " + last)), 0);
    EXPECT_EQ(sentCommands(),
              (std::vector<std::string>{"40 01 60 00 00 3E 91 C7 0B 5D A4 " + std::string(kUid7),
                                        "40 01 A2 03 E1 10 06 00"}));
    EXPECT_EQ(response.text(), "03 33 00");
  }
}

TEST_F(SectorKeyTest, Page3RefusalsShowAsFE) {
  answerNext(far, dataAnswer(0x14));
  EXPECT_EQ(run(4, packet(0x33, std::string(kUid7) + " E1 10 06 00 00")), 1);
  EXPECT_EQ(response.text(), "03 33 FE");
  EXPECT_EQ(sentCommands().size(), 1u);
}

TEST_F(SectorKeyTest, OtherModesAreRefusedWithoutResponse) {
  for (int mode : {0, 1, 2, 5, 7, 8, 9}) {
    response = ResponseBuffer();
    EXPECT_EQ(run(static_cast<std::uint8_t>(mode), keyChange(1)), 1) << mode;
    EXPECT_TRUE(response.untouched()) << mode;
  }
  EXPECT_TRUE(pelvane::simport::writes().empty());
}

}  // namespace
