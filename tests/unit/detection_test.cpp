#include <string>
#include <vector>

#include "card_test_util.h"
#include "command/handlers.h"
#include "support/harness.h"

namespace {

using namespace cardtest;
namespace ps = pelvane::simport;

const Bytes kNoTarget = hex("4B 00");
const Bytes kFelicaFound = cat(hex("4B 01 01 12 01"), hex(kIdm), hex(kPmm));
const Bytes kTypeA7Found = hex("4B 01 01 00 44 00 07 04 01 5A 6B 7C 8D 9E");
const Bytes kTypeA4Found = hex("4B 01 01 00 04 08 04 0A 01 3C 4D");
const Bytes kTypeA10Found = hex("4B 01 01 00 84 00 0A 04 01 01 02 03 04 05 06 07 08");
const Bytes kTypeBFound = hex("4B 01 01 50 1B 01 2C 3D 00 00 00 00 00 81 71 01 00");


// The writes and pauses of the command in order: "0E 9F 00", "sleep 10", ...
std::vector<std::string> trafficAndPauses() {
  std::vector<std::string> out;
  for (const ps::Event& e : ps::events()) {
    if (e.kind == ps::Event::Write) out.push_back(toHex(payloadOf(e.bytes)));
    if (e.kind == ps::Event::Sleep) out.push_back("sleep " + std::to_string(e.value));
  }
  return out;
}

class DetectionTest : public pelvtest::LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    arm(10.0);
    // Every command is acknowledged and answered; polls list no target until
    // `found` says otherwise for the n-th poll (counted from 1).
    far.replyToEvery([this](const Bytes& written) {
      Bytes payload = payloadOf(written);
      if (payload.empty() || payload[0] != 0x4A) return cat(ACK(), pelvtest::answer(Bytes{static_cast<std::uint8_t>(payload[0] + 1)}));
      ++polls;
      if (polls == foundOnPoll) return cat(ACK(), pelvtest::answer(found));
      return cat(ACK(), pelvtest::answer(kNoTarget));
    });
  }
  std::uint16_t detect(const std::string& packetHex) {
    Bytes p = hex(packetHex);
    return pelvane::detectCard(pelvtest::kPort, p.data(), response.bytes);
  }
  void cardOnPoll(int n, const Bytes& answerBytes) {
    foundOnPoll = n;
    found = answerBytes;
  }
  int polls = 0;
  int foundOnPoll = -1;
  Bytes found;
  ResponseBuffer response;
};

TEST_F(DetectionTest, FelicaCardFoundSetsModeOneAndTheNewTimeout) {
  cardOnPoll(1, kFelicaFound);
  EXPECT_EQ(detect("09 21 00 10 00 00 FE 00 01"), 0);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"0E 9F 00", "4A 01 01 00 FE 00 00 01"}));
  EXPECT_EQ(response.text(), std::string("0C 21 00 10 ") + kIdm);
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeFelica);
  EXPECT_EQ(portSlot().timeoutTenths, 16.0);
}

struct Found {
  const char* name;
  Bytes answer;
  const char* response;
  pelvane::ReaderMode mode;
};

TEST_F(DetectionTest, TypeACardSetsTheModeByItsUidLength) {
  const Found cases[] = {
      {"7-byte UID", kTypeA7Found, "0B 21 00 31 04 01 5A 6B 7C 8D 9E", pelvane::kModePageCard},
      {"4-byte UID", kTypeA4Found, "08 21 00 30 0A 01 3C 4D", pelvane::kModeMifare},
      {"10-byte UID gives its first 4 bytes", kTypeA10Found, "08 21 00 30 04 01 01 02", pelvane::kModeMifare},
  };
  for (const Found& c : cases) {
    polls = 0;
    portSlot().readerMode = pelvane::kModeFelica;
    ps::clearEvents();
    cardOnPoll(1, c.answer);
    EXPECT_EQ(detect("06 21 00 30 00 00"), 0) << c.name;
    EXPECT_EQ(sentCommands(), (std::vector<std::string>{"0E BF 00", "4A 01 00"})) << c.name;
    EXPECT_EQ(response.text(), c.response) << c.name;
    EXPECT_EQ(portSlot().readerMode, c.mode) << c.name;
  }
}

TEST_F(DetectionTest, TypeBAttemptRetriesOnceWithTheFieldOffAndPauses) {
  cardOnPoll(4, kTypeBFound);
  EXPECT_EQ(detect("08 21 00 60 00 00 00 00"), 0);
  EXPECT_EQ(trafficAndPauses(),
            (std::vector<std::string>{"0E 9F 00", "4A 01 03 00", "32 01 00", "sleep 10", "4A 01 03 00",
                                      "32 01 00", "sleep 10", "sleep 1",
                                      "0E 9F 00", "4A 01 03 00", "32 01 00", "sleep 10", "4A 01 03 00"}));
  EXPECT_EQ(response.text(), "12 21 00 60 50 1B 01 2C 3D 00 00 00 00 00 81 71 01 00");
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeTypeB);
}

TEST_F(DetectionTest, TypeBPollCarriesTheAfiAndTheHostBytes) {
  cardOnPoll(1, kTypeBFound);
  Bytes tail = repeat(0x3C, 46);
  std::string p = "36 21 00 60 00 00 05 2E " + pelvtest::toHex(tail);
  EXPECT_EQ(detect(p), 0);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"0E 9F 00", "4A 01 03 05 " + pelvtest::toHex(tail)}));
}

TEST_F(DetectionTest, NoCardEndsAfterFiveSecondsWhateverTheOldTimeout) {
  portSlot().timeoutTenths = 0.0;
  portSlot().deadline = 0;
  EXPECT_EQ(detect("08 21 00 30 60 00 00 00"), 0);
  EXPECT_EQ(response.text(), "03 21 FE");
  EXPECT_GE(elapsedMs(), 5000);
  EXPECT_LE(elapsedMs(), 5000 + 22);
  EXPECT_EQ(portSlot().timeoutTenths, 48.0);
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeMifare);
  // Each pass: a Type A attempt, then a Type B attempt.
  std::vector<std::string> all = trafficAndPauses();
  ASSERT_GE(all.size(), 12u);
  EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 12),
            (std::vector<std::string>{"0E BF 00", "4A 01 00", "sleep 1", "0E 9F 00", "4A 01 03 00",
                                      "32 01 00", "sleep 10", "4A 01 03 00", "32 01 00", "sleep 10",
                                      "sleep 1", "0E BF 00"}));
}

TEST_F(DetectionTest, ThreeTechnologiesAreTriedInTheirOrderEachPass) {
  cardOnPoll(5, kFelicaFound);
  EXPECT_EQ(detect("09 21 00 30 10 31 FF FF 00"), 0);
  EXPECT_EQ(sentCommands(),
            (std::vector<std::string>{"0E BF 00", "4A 01 00", "0E 9F 00", "4A 01 01 00 FF FF 00 00", "0E BF 00",
                                      "4A 01 00", "0E BF 00", "4A 01 00", "0E 9F 00", "4A 01 01 00 FF FF 00 00"}));
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeFelica);
}

// The parameters of the technology after a Type B code start behind its tail.
TEST_F(DetectionTest, ParametersAfterATypeBTailBelongToTheNextTechnology) {
  cardOnPoll(3, kFelicaFound);
  EXPECT_EQ(detect("0E 21 00 60 10 30 05 02 AA BB 12 34 01 77"), 0);
  EXPECT_EQ(sentCommands(),
            (std::vector<std::string>{"0E 9F 00", "4A 01 03 05 AA BB", "32 01 00", "4A 01 03 05 AA BB",
                                      "32 01 00", "0E 9F 00", "4A 01 01 00 12 34 00 01"}));
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeFelica);
}

TEST_F(DetectionTest, ThirdCodeBehindAnEmptySecondIsIgnored) {
  cardOnPoll(2, kTypeA4Found);
  EXPECT_EQ(detect("09 21 00 30 00 10 FF FF 00"), 0);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"0E BF 00", "4A 01 00", "0E BF 00", "4A 01 00"}));
}

struct Refusal {
  const char* name;
  std::string packet;
  const char* response;
};

TEST_F(DetectionTest, MalformedRequestsAreRefusedBeforeAnythingIsSent) {
  const Refusal cases[] = {
      {"first code 0", "06 21 00 00 10 00", "03 21 FC"},
      {"first code 0, codes 2 and 3 missing", "04 21 00 00", "03 21 FC"},
      {"no first code", "03 21 00", "03 21 FD"},
      {"codes 2 and 3 missing", "05 21 00 30 00", "03 21 FD"},
      {"FeliCa parameters short", "08 21 00 10 00 00 FE 00", "03 21 FD"},
      {"second FeliCa parameters missing", "09 21 00 10 10 00 FF FF 00", "03 21 FD"},
      {"Type B count missing", "07 21 00 60 00 00 00", "03 21 FD"},
      {"Type B bytes short of the count", "0A 21 00 60 00 00 00 03 01 02", "03 21 FD"},
      {"Type B count 47", "37 21 00 60 00 00 00 2F " + pelvtest::toHex(repeat(0, 47)), "03 21 FC"},
  };
  for (const Refusal& c : cases) {
    response = ResponseBuffer();
    portSlot().timeoutTenths = 10.0;
    EXPECT_EQ(detect(c.packet), 2) << c.name;
    EXPECT_EQ(response.text(), c.response) << c.name;
    EXPECT_EQ(portSlot().timeoutTenths, 10.0) << c.name;
  }
  EXPECT_TRUE(ps::writes().empty());
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeMifare);
}

TEST_F(DetectionTest, ModeZeroIsRefusedWithoutResponse) {
  portSlot().readerMode = pelvane::kModeNone;
  EXPECT_EQ(detect("06 21 00 30 00 00"), 2);
  EXPECT_TRUE(response.untouched());
  EXPECT_TRUE(ps::writes().empty());
}

TEST_F(DetectionTest, AnswersThatCannotBeReadAreLinkFailures) {
  struct Case {
    const char* name;
    const char* packet;
    Bytes reply;  // to the poll
  };
  const Case cases[] = {
      {"FeliCa target without its IDm", "09 21 00 10 00 00 FF FF 00", cat(ACK(), pelvtest::answer(hex("4B 01 01 12 01 01 2E")))},
      {"Type A target without its UID", "06 21 00 30 00 00", cat(ACK(), pelvtest::answer(hex("4B 01 01 00 44 00 07 04 01")))},
      {"Type A target without its UID length", "06 21 00 30 00 00", cat(ACK(), pelvtest::answer(hex("4B 01 01 00")))},
      {"NACK to the poll", "06 21 00 30 00 00", pelvtest::NACK()},
      {"poll answer with a bad checksum", "06 21 00 30 00 00", cat(ACK(), hex("00 00 FF 03 FD D5 4B 00 00 00"))},
  };
  for (const Case& c : cases) {
    ps::clearEvents();
    far.reply(cat(ACK(), pelvtest::answer(hex("0F"))));  // WriteGPIO
    far.reply(c.reply);
    EXPECT_EQ(detect(c.packet), 1) << c.name;
    EXPECT_EQ(response.text(), "03 21 FF") << c.name;
    EXPECT_EQ(sentCommands().size(), 2u) << c.name;
    EXPECT_EQ(portSlot().readerMode, pelvane::kModeMifare) << c.name;
  }
}

TEST_F(DetectionTest, SilentReaderEndsTheWaitAtTheDeadlineAsATimeOut) {
  // A silent reader makes every exchange end with -2, which only ends its attempt.
  far.replyToEvery([](const Bytes&) { return Bytes{}; });
  EXPECT_EQ(detect("06 21 00 30 00 00"), 0);
  EXPECT_EQ(response.text(), "03 21 FE");
  EXPECT_GE(elapsedMs(), 5000);
  EXPECT_LE(elapsedMs(), 5000 + 120);
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeMifare);
  EXPECT_EQ(portSlot().timeoutTenths, 48.0);
}

TEST_F(DetectionTest, ByteTwoHasNoEffect) {
  for (const char* second : {"00", "5A", "FF"}) {
    ps::clearEvents();
    polls = 0;
    cardOnPoll(1, kFelicaFound);
    EXPECT_EQ(detect(std::string("09 21 ") + second + " 10 00 00 FE 00 01"), 0) << second;
    EXPECT_EQ(sentCommands(), (std::vector<std::string>{"0E 9F 00", "4A 01 01 00 FE 00 00 01"})) << second;
    EXPECT_EQ(response.text(), std::string("0C 21 00 10 ") + kIdm) << second;
  }
}

TEST_F(DetectionTest, OutputSettingFailureIsIgnored) {
  far.reply(pelvtest::NACK());
  far.reply(cat(ACK(), pelvtest::answer(kTypeA4Found)));
  EXPECT_EQ(detect("06 21 00 30 00 00"), 0);
  EXPECT_EQ(response.text(), "08 21 00 30 0A 01 3C 4D");
}

}  // namespace
