// Card polling (0x20) in every ReaderMode and the Type B wake-up request (0x25):
// the polling command on the wire, the identifier returned, and waiting for a
// card until the deadline.
#include <string>
#include <vector>

#include "card_test_util.h"
#include "command/dispatcher.h"
#include "field.h"
#include "platform/simulated.h"
#include "support/harness.h"

namespace {

using namespace cardtest;
using pelvane::commandProc;
namespace ps = pelvane::simport;

// A card of serial 7, so that the identifier is not the default one.
const Bytes kIdm7 = hex("01 2E 4C 10 00 00 00 07");

class PollingTest : public pelvtest::LinkTest {
 protected:
  std::uint16_t run(const Bytes& p) { return commandProc(pelvtest::kPort, p.data(), response.bytes); }
  void useMode(pelvane::ReaderMode mode) { portSlot().readerMode = mode; }
  // Every write gets an empty target list.
  void noCard() {
    far.keepRecord = false;
    far.replyToEvery([](const Bytes&) { return cat(ACK(), pelvtest::answer(hex("4B 00"))); });
  }
  // The framing registers read before a wake-up request, as CIU_TxMode, RxMode,
  // TxAuto and BitFraming values.
  void registersHold(const char* values) { answerNext(far, std::string("07 ") + values); }
  // A wake-up request whose registers needed no change: the read, then `answers`.
  void wakeUpAnswers(const std::vector<const char*>& answers) {
    registersHold("83 83 00 00");
    for (const char* a : answers) answerNext(far, a);
  }
  ResponseBuffer response;
};

const char* const kReadFraming = "06 63 02 63 03 63 05 63 3D";

TEST_F(PollingTest, FelicaModesPollWithTheSystemCodeAndTimeSlotAndReturnTheIdm) {
  for (pelvane::ReaderMode mode : {pelvane::kModeFelica, pelvane::kModeFelicaLite}) {
    ps::clearEvents();
    useMode(mode);
    answerNext(far, cat(hex("4B 01 01 12 01"), kIdm7, hex(kPmm)));
    EXPECT_EQ(run(hex("05 20 FE 00 01")), pelvane::kResultDone);
    EXPECT_EQ(sentCommands(), (std::vector<std::string>{"4A 01 01 00 FE 00 00 01"}));
    EXPECT_BYTES(cat(hex("0B 20 00"), kIdm7), response.packet());
  }
}

TEST_F(PollingTest, FelicaPollOfAnyOtherLengthIsRefused) {
  useMode(pelvane::kModeFelica);
  for (const char* p : {"04 20 FE 00", "06 20 FE 00 01 00", "02 20"}) {
    EXPECT_EQ(run(hex(p)), pelvane::kResultRefused) << p;
    EXPECT_EQ(response.text(), "03 20 FD") << p;
  }
  EXPECT_TRUE(written().empty());
}

TEST_F(PollingTest, FelicaAnswerTooShortForAnIdmIsALinkFailure) {
  useMode(pelvane::kModeFelica);
  answerNext(far, "4B 01 01 12 01 01 2E 4C");
  EXPECT_EQ(run(hex("05 20 FF FF 00")), pelvane::kResultFailed);
  EXPECT_EQ(response.text(), "03 20 FF");
}

TEST_F(PollingTest, TypeAReturnsTheNfcidByItsLength) {
  struct Uid {
    int reported;          // the NFCID length byte
    std::size_t present;   // NFCID bytes in the answer
    std::size_t from, n;   // expected: n bytes from this NFCID offset
  };
  const std::vector<Uid> cases = {
      {4, 4, 0, 4}, {7, 7, 0, 7}, {8, 8, 1, 7}, {10, 10, 0, 10},
      {0, 0, 0, 0},
      // A length beyond the answer gives only what the answer holds.
      {10, 4, 0, 4}, {8, 5, 1, 4}, {255, 3, 0, 3},
  };
  for (pelvane::ReaderMode mode : {pelvane::kModeMifare, pelvane::kModePageCard}) {
    useMode(mode);
    for (const Uid& c : cases) {
      ps::clearEvents();
      Bytes nfcid;
      for (std::size_t i = 0; i < c.present; ++i) nfcid.push_back(static_cast<std::uint8_t>(0xA0 + i));
      answerNext(far, cat(hex("4B 01 01 00 44 00"), Bytes{static_cast<std::uint8_t>(c.reported)}, nfcid));
      EXPECT_EQ(run(hex("02 20")), pelvane::kResultDone) << c.reported;
      EXPECT_EQ(sentCommands(), (std::vector<std::string>{"4A 01 00"}));
      const Bytes expected(nfcid.begin() + static_cast<std::ptrdiff_t>(c.from),
                           nfcid.begin() + static_cast<std::ptrdiff_t>(c.from + c.n));
      EXPECT_BYTES(cat(Bytes{static_cast<std::uint8_t>(3 + c.n), 0x20, 0x00}, expected),
                   response.packet());
    }
  }
}

TEST_F(PollingTest, TypeBPollCarriesTheAfiAndReturnsEverythingFromTheAtqb) {
  useMode(pelvane::kModeTypeB);
  const Bytes atqb = hex("50 11 22 33 44 00 00 00 00 00 81 71");
  answerNext(far, cat(hex("4B 01 01"), atqb, hex("01 00")));
  EXPECT_EQ(run(hex("03 20 05")), pelvane::kResultDone);
  EXPECT_EQ(sentCommands(), (std::vector<std::string>{"4A 01 03 05"}));
  // ALEN - 4 bytes from d2: the ATQB, the ATTRIB_RES length and ATTRIB_RES.
  EXPECT_BYTES(cat(hex("11 20 00"), atqb, hex("01 00")), response.packet());
}

TEST_F(PollingTest, TypeBPacketsWithoutAfiAreRefused) {
  useMode(pelvane::kModeTypeB);
  EXPECT_EQ(run(hex("02 20")), pelvane::kResultRefused);
  EXPECT_EQ(response.text(), "03 20 FD");
  EXPECT_EQ(run(hex("02 25")), pelvane::kResultRefused);
  EXPECT_EQ(response.text(), "03 25 FD");
  EXPECT_TRUE(written().empty());
}

TEST_F(PollingTest, PeerAndUnknownModesAnswerFfWithoutSending) {
  for (int mode : {5, 6, 7, 8, 10, 255}) {
    useMode(static_cast<pelvane::ReaderMode>(mode));
    EXPECT_EQ(run(hex("05 20 FF FF 00")), pelvane::kResultFailed) << mode;
    EXPECT_EQ(response.text(), "03 20 FF") << mode;
  }
  EXPECT_TRUE(written().empty());
}

TEST_F(PollingTest, NoCardAnswersFeOnceTheDeadlinePasses) {
  struct Wait {
    pelvane::ReaderMode mode;
    const char* packet;
    double tenths;
  };
  const std::vector<Wait> cases = {
      {pelvane::kModeFelica, "05 20 FF FF 00", 10.0},
      {pelvane::kModeMifare, "02 20", 10.0},
      {pelvane::kModeTypeB, "03 20 00", 10.0},
      {pelvane::kModeMifare, "02 20", 5.0},
  };
  noCard();
  for (const Wait& c : cases) {
    useMode(c.mode);
    portSlot().timeoutTenths = c.tenths;
    const std::int32_t before = ps::nowMs();
    EXPECT_EQ(run(hex(c.packet)), pelvane::kResultDone) << c.packet;
    EXPECT_EQ(response.text(), "03 20 FE") << c.packet;
    const std::int32_t waited = ps::nowMs() - before;
    EXPECT_GE(waited, static_cast<std::int32_t>(c.tenths * 100)) << c.packet;
    EXPECT_LT(waited, static_cast<std::int32_t>(c.tenths * 100) + 20) << c.packet;
  }
}

TEST_F(PollingTest, CardArrivingLaterIsFoundBeforeTheDeadline) {
  useMode(pelvane::kModeMifare);
  int polls = 0;
  far.replyToEvery([&polls](const Bytes&) {
    ++polls;
    return cat(ACK(), pelvtest::answer(polls < 300 ? hex("4B 00") : hex("4B 01 01 00 04 08 04 0A 0B 0C 0D")));
  });
  EXPECT_EQ(run(hex("02 20")), pelvane::kResultDone);
  EXPECT_EQ(response.text(), "07 20 00 0A 0B 0C 0D");
  EXPECT_EQ(polls, 300);
}

// The WUPB goes out in 106 kbit/s Type B framing with CRC, 10 % ASK and whole
// bytes whatever the registers held (TxMode RxMode TxAuto BitFraming), and they
// get their values back after it; a failure there is a link failure.
TEST_F(PollingTest, WakeUpRequestIsSentInTypeBFramingAndTheRegistersAreGivenBack) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"00 00 00 00", "08 63 02 83 63 03 83 63 05 00 63 3D 00"},  // after opening
      {"8C 84 47 17", "08 63 02 8F 63 03 87 63 05 07 63 3D 10"},  // other bits stay
      {"83 83 00 00", ""},  // after a Type B poll: nothing to change
  };
  for (int mode = 1; mode <= 9; ++mode) {
    for (const auto& c : cases) {
      ps::clearEvents();
      useMode(static_cast<pelvane::ReaderMode>(mode));
      const Bytes v = hex(c.first);
      const std::string back = "08 63 02 " + hexByte(v[0]) + " 63 03 " + hexByte(v[1]) +
                               " 63 05 " + hexByte(v[2]) + " 63 3D " + hexByte(v[3]);
      const bool set = *c.second != '\0';
      registersHold(c.first);
      for (const char* a : {"09", "43 00 50 11 22 33 44 AB", "09"}) {
        if (set || a[0] == '4') answerNext(far, a);
      }
      EXPECT_EQ(run(hex("03 25 3C")), pelvane::kResultDone) << mode << " " << c.first;
      const std::vector<std::string> wire =
          set ? std::vector<std::string>{kReadFraming, c.second, "42 05 3C 08", back}
              : std::vector<std::string>{kReadFraming, "42 05 3C 08"};
      EXPECT_EQ(sentCommands(), wire) << mode << " " << c.first;
      // The card's answer without its last byte.
      EXPECT_EQ(response.text(), "08 25 00 50 11 22 33 44") << mode;
      EXPECT_EQ(portSlot().readerMode, mode);
    }
  }
  // A NACK where the registers are read, or where they are given back.
  far.reply(pelvtest::NACK());
  EXPECT_EQ(run(hex("03 25 00")), pelvane::kResultFailed);
  EXPECT_EQ(response.text(), "03 25 FF");
  registersHold("00 00 00 00");
  for (const char* a : {"09", "43 00 50 AA BB"}) answerNext(far, a);
  far.reply(pelvtest::NACK());
  EXPECT_EQ(run(hex("03 25 00")), pelvane::kResultFailed);
  EXPECT_EQ(response.text(), "03 25 FF");
}

TEST_F(PollingTest, WakeUpRequestIsRepeatedWhileTheCardHasNotAnswered) {
  useMode(pelvane::kModeTypeB);
  wakeUpAnswers({"43 01", "43 01", "43 00 50 AA BB"});
  EXPECT_EQ(run(hex("03 25 00")), pelvane::kResultDone);
  EXPECT_EQ(sentCommands(),
            (std::vector<std::string>{kReadFraming, "42 05 00 08", "42 05 00 08", "42 05 00 08"}));
  EXPECT_TRUE(sleeps().empty());
  EXPECT_EQ(response.text(), "05 25 00 50 AA");
}

TEST_F(PollingTest, WakeUpRequestEndsOnAnyOtherStatusWithWhatFollowsIt) {
  useMode(pelvane::kModeTypeB);
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"43 02 50 AA BB", "05 25 00 50 AA"},
      {"43 02 50", "03 25 00"},
      {"43 02", "03 25 00"},
  };
  for (const auto& c : cases) {
    wakeUpAnswers({c.first});
    EXPECT_EQ(run(hex("03 25 00")), pelvane::kResultDone) << c.first;
    EXPECT_EQ(response.text(), c.second) << c.first;
  }
}

TEST_F(PollingTest, WakeUpRequestWithoutAnswerGivesUpAtTheDeadline) {
  useMode(pelvane::kModeTypeB);
  far.keepRecord = false;
  registersHold("83 83 00 00");
  far.replyToEvery([](const Bytes&) { return cat(ACK(), pelvtest::answer(hex("43 01"))); });
  // Each unanswered request takes a little time at the controller.
  far.perByteUs = 100;
  const std::int32_t before = ps::nowMs();
  EXPECT_EQ(run(hex("03 25 00")), pelvane::kResultDone);
  EXPECT_EQ(response.text(), "03 25 FE");
  EXPECT_GE(ps::nowMs() - before, 1000);
  EXPECT_LT(ps::nowMs() - before, 1020);
}

TEST_F(PollingTest, AnswerWithoutAFrameIsALinkFailure) {
  useMode(pelvane::kModeMifare);
  far.reply(pelvtest::NACK());
  EXPECT_EQ(run(hex("02 20")), pelvane::kResultFailed);
  EXPECT_EQ(response.text(), "03 20 FF");
  useMode(pelvane::kModeTypeB);
  registersHold("83 83 00 00");
  far.reply(pelvtest::NACK());
  EXPECT_EQ(run(hex("03 25 00")), pelvane::kResultFailed);
  EXPECT_EQ(response.text(), "03 25 FF");
}

}  // namespace

// Against the simulated controller and its virtual cards: a mode selection,
// then a poll that finds the card of that technology.
namespace {

class PollingSimTest : public pelvtest::SimReaderTest {
 protected:
  std::uint16_t send(const Bytes& p) {
    response = ResponseBuffer();
    return commandProc(pelvtest::kPort, p.data(), response.bytes);
  }
  ResponseBuffer response;
};

TEST_F(PollingSimTest, SelectedModeFindsItsCardAmongAllTechnologies) {
  pelvsim::Field& field = controller.field();
  field.felica.push_back(pelvsim::FelicaCard::standard(1));
  field.mifare.push_back(pelvsim::MifareClassicCard::make1k(2));
  field.typeB.push_back(pelvsim::TypeBCard::make(3));
  struct Case {
    std::uint8_t modeCode;
    const char* poll;
    std::string identifier;
  };
  const std::vector<Case> cases = {
      {0x10, "05 20 FF FF 00", "0B 20 00 01 2E 4C 10 00 00 00 01"},
      {0x30, "02 20", "07 20 00 0A 02 3C 4D"},
      {0x60, "03 20 00", "11 20 00 50 1B 03 2C 3D 00 00 00 00 00 81 71 01 00"},
      // The wake-up answer is the ATQB without its last byte.
      {0x60, "03 25 00", "0E 25 00 50 1B 03 2C 3D 00 00 00 00 00 81"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(send(Bytes{0x07, 0x10, c.modeCode, 0x0A, 0x00, 0x00, 0x00}), pelvane::kResultDone);
    EXPECT_EQ(response.packet().size(), 5u);
    EXPECT_EQ(send(hex(c.poll)), pelvane::kResultDone) << c.poll;
    EXPECT_EQ(response.text(), c.identifier) << c.poll;
  }
}

// Whatever framing the mode left (none yet, Type A, FeliCa, target mode), the
// wake-up request reaches the Type B card and the mode's registers stay.
TEST_F(PollingSimTest, WakeUpRequestReachesTheTypeBCardInEveryModeAndLeavesTheRegisters) {
  controller.field().felica.push_back(pelvsim::FelicaCard::standard(1));
  controller.field().mifare.push_back(pelvsim::MifareClassicCard::make1k(2));
  controller.field().typeB.push_back(pelvsim::TypeBCard::make(3));
  controller.field().initiator = pelvsim::Initiator{};
  controller.field().initiator->never = true;
  const std::vector<std::pair<std::uint8_t, const char*>> cases = {
      {0x30, "02 20"}, {0x10, "05 20 FF FF 00"}, {0x31, ""}, {0x50, ""}, {0x51, "02 50"}, {0x60, ""}};
  for (const auto& c : cases) {
    ASSERT_EQ(send(Bytes{0x07, 0x10, c.first, 0x0A, 0x00, 0x00, 0x00}), pelvane::kResultDone);
    if (*c.second) send(hex(c.second));
    auto framing = [this] {
      std::vector<int> v;
      for (int r : {0x6302, 0x6303, 0x6305, 0x633D}) {
        v.push_back(controller.registerValue(static_cast<std::uint16_t>(r)));
      }
      return v;
    };
    const std::vector<int> before = framing();
    EXPECT_EQ(send(hex("03 25 00")), pelvane::kResultDone) << hexByte(c.first);
    EXPECT_EQ(response.text(), "0E 25 00 50 1B 03 2C 3D 00 00 00 00 00 81") << hexByte(c.first);
    EXPECT_EQ(framing(), before) << hexByte(c.first);
  }
}

TEST_F(PollingSimTest, EmptyFieldTimesOutAfterTheSelectedTimeout) {
  ASSERT_EQ(send(hex("07 10 30 05 00 00 00")), pelvane::kResultDone);
  const std::int32_t before = ps::nowMs();
  EXPECT_EQ(send(hex("02 20")), pelvane::kResultDone);
  EXPECT_EQ(response.text(), "03 20 FE");
  EXPECT_GE(ps::nowMs() - before, 500);
  EXPECT_LT(ps::nowMs() - before, 600);
}

}  // namespace
