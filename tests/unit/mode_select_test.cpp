// Mode selection (0x10): refusals that change nothing, the steps of a
// selection in their order, its 5 s deadline, and a port whose time-outs
// cannot be set.
#include <string>
#include <vector>

#include "card_test_util.h"
#include "command/dispatcher.h"
#include "platform/simulated.h"
#include "port/ports.h"
#include "support/harness.h"

namespace {

using namespace cardtest;
using pelvane::commandProc;
using pelvtest::ACK;
using pelvtest::cat;
namespace ps = pelvane::simport;

// GetFirmwareVersion answer: IC 32, version 01, revision 06, support 07.
const Bytes kFirmware = cat(ACK(), pelvtest::answer(hex(pelvtest::kFirmwareAnswer)));

class ModeSelectTest : public pelvtest::LinkTest {
 protected:
  std::uint16_t run(const Bytes& p) { return commandProc(pelvtest::kPort, p.data(), response.bytes); }
  // The reset sequence answers: GetFirmwareVersion, MaxRetries, RF field off.
  void scriptReset() {
    far.reply(kFirmware);
    answerNext(far, "33");
    answerNext(far, "33");
  }
  std::vector<ps::Event> eventsOf(ps::Event::Kind kind) const {
    std::vector<ps::Event> out;
    for (const ps::Event& e : ps::events()) {
      if (e.kind == kind) out.push_back(e);
    }
    return out;
  }
  ResponseBuffer response;
};

struct Selection {
  std::uint8_t code;
  pelvane::ReaderMode mode;
  std::vector<std::string> sent;  // controller commands in order
};

const std::vector<std::string> kReset = {"02", "32 05 FF FF 04", "32 01 00"};
std::vector<std::string> withReset(std::vector<std::string> before) {
  before.insert(before.end(), kReset.begin(), kReset.end());
  return before;
}

TEST_F(ModeSelectTest, EachModeCodeSelectsItsModeWithItsOwnControllerTraffic) {
  const std::vector<Selection> cases = {
      {0x10, pelvane::kModeFelica, kReset},
      {0x11, pelvane::kModeFelicaLite, kReset},
      {0x30, pelvane::kModeMifare, kReset},
      {0x31, pelvane::kModePageCard, kReset},
      {0x50, pelvane::kModePeerInitiator, withReset({"4A 01 01 00 FF FF 00 00"})},
      {0x51, pelvane::kModeTarget, withReset({"4A 01 01 00 FF FF 00 00"})},
      {0x60, pelvane::kModeTypeB, withReset({"54 01"})},
  };
  for (const Selection& c : cases) {
    ps::clearEvents();
    portSlot().readerMode = pelvane::kModeNone;
    if (c.mode == pelvane::kModePeerInitiator || c.mode == pelvane::kModeTarget) {
      answerNext(far, "4B 00");
    }
    if (c.mode == pelvane::kModeTypeB) answerNext(far, "55 00");
    scriptReset();
    EXPECT_EQ(run(Bytes{0x07, 0x10, c.code, 0x0A, 0x00, 0x00, 0x00}), pelvane::kResultDone)
        << int(c.code);
    EXPECT_EQ(response.text(), "05 10 00 32 01") << int(c.code);
    EXPECT_EQ(portSlot().readerMode, c.mode) << int(c.code);
    EXPECT_EQ(sentCommands(), c.sent) << int(c.code);
  }
}

TEST_F(ModeSelectTest, TypeBWritesInSelectRawThenPausesBeforeAnyExchange) {
  answerNext(far, "55 00");
  scriptReset();
  run(hex("07 10 60 20 00 00 00"));
  const std::vector<ps::Event>& ev = ps::events();
  ASSERT_GE(ev.size(), 3u);
  // No purge before it, and no wait for its acknowledgement.
  EXPECT_EQ(ev[0].kind, ps::Event::Write);
  EXPECT_BYTES(hex("00 00 FF 03 FD D4 54 01 D7 00"), ev[0].bytes);
  EXPECT_EQ(ev[1].kind, ps::Event::Sleep);
  EXPECT_EQ(ev[1].value, 10u);
  EXPECT_EQ(response.text(), "05 10 00 32 01");
}

TEST_F(ModeSelectTest, PeerModesPauseAfterTheirPollWhateverItAnswered) {
  far.reply(pelvtest::NACK());
  scriptReset();
  EXPECT_EQ(run(hex("07 10 50 0A 00 00 00")), pelvane::kResultDone);
  EXPECT_EQ(sleeps(), (std::vector<std::uint32_t>{20}));
}

TEST_F(ModeSelectTest, TimeoutByteSetsTheSlotTimeoutAndTheSerialTimeouts) {
  for (std::uint8_t tenths : {std::uint8_t{0x01}, std::uint8_t{0x20}, std::uint8_t{0xFF}}) {
    ps::clearEvents();
    scriptReset();
    run(Bytes{0x07, 0x10, 0x30, tenths, 0x00, 0x00, 0x00});
    EXPECT_EQ(portSlot().timeoutTenths, static_cast<double>(tenths));
    const std::vector<ps::Event> set = eventsOf(ps::Event::SetTimeouts);
    ASSERT_EQ(set.size(), 1u);
    const std::uint32_t t = tenths * 100u;
    EXPECT_EQ(set[0].timeouts.readIntervalTimeout, t);
    EXPECT_EQ(set[0].timeouts.readTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(set[0].timeouts.readTotalTimeoutConstant, t);
    EXPECT_EQ(set[0].timeouts.writeTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(set[0].timeouts.writeTotalTimeoutConstant, t);
    EXPECT_EQ(pelvane::workingTimeouts(pelvtest::kPort).readTotalTimeoutConstant, t);
  }
  // The next command's deadline follows the new time-out.
  run(hex("02 F0"));
  EXPECT_EQ(portSlot().deadline, ps::nowMs() + 25500);
}

TEST_F(ModeSelectTest, RefusedPacketsChangeNothing) {
  struct Refusal {
    const char* packet;
    const char* response;
  };
  const std::vector<Refusal> cases = {
      {"06 10 10 0A 00 00", "03 10 FD"},       {"08 10 10 0A 00 00 00 00", "03 10 FD"},
      {"07 10 10 00 00 00 00", "03 10 FC"},    {"07 10 20 0A 00 00 00", "03 10 FC"},
      {"07 10 00 0A 00 00 00", "03 10 FC"},    {"07 10 61 0A 00 00 00", "03 10 FC"},
  };
  portSlot().readerMode = pelvane::kModeFelicaLite;
  portSlot().timeoutTenths = 12.0;
  for (const Refusal& c : cases) {
    EXPECT_EQ(run(hex(c.packet)), pelvane::kResultRefused) << c.packet;
    EXPECT_EQ(response.text(), c.response) << c.packet;
    EXPECT_EQ(portSlot().readerMode, pelvane::kModeFelicaLite);
    EXPECT_EQ(portSlot().timeoutTenths, 12.0);
  }
  EXPECT_TRUE(written().empty());
  EXPECT_TRUE(eventsOf(ps::Event::SetTimeouts).empty());
}

TEST_F(ModeSelectTest, BytesFourToSixHaveNoEffect) {
  scriptReset();
  run(hex("07 10 11 0A 00 00 00"));
  const std::vector<Bytes> plain = written();
  ps::clearEvents();
  scriptReset();
  run(hex("07 10 11 0A FF 5A A5"));
  EXPECT_EQ(written(), plain);
  EXPECT_EQ(response.text(), "05 10 00 32 01");
}

TEST_F(ModeSelectTest, SelectionRunsAgainstFiveSecondsWhateverTheOldTimeout) {
  portSlot().timeoutTenths = 10.0;
  scriptReset();
  run(hex("07 10 10 01 00 00 00"));
  EXPECT_EQ(portSlot().deadline, pelvtest::kStartMs + 5000);
  EXPECT_EQ(portSlot().timeoutTenths, 1.0);
}

TEST_F(ModeSelectTest, SilentReaderFailsAfterFiveSecondsKeepingTheNewMode) {
  EXPECT_EQ(run(hex("07 10 60 20 00 00 00")), pelvane::kResultFailed);
  EXPECT_TRUE(response.untouched());
  EXPECT_GE(elapsedMs(), 5000);
  EXPECT_LT(elapsedMs(), 5100);
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeTypeB);
  EXPECT_EQ(portSlot().timeoutTenths, 32.0);
}

TEST_F(ModeSelectTest, RefusedSerialTimeoutsRetireTheHandleButCloseStillResetsTheSlot) {
  ps::failCall(ps::Call::SetTimeouts);
  scriptReset();
  EXPECT_EQ(run(hex("07 10 31 14 00 00 00")), pelvane::kResultFailed);
  EXPECT_TRUE(response.untouched());
  EXPECT_EQ(portSlot().readerMode, pelvane::kModePageCard);
  EXPECT_EQ(portSlot().timeoutTenths, 20.0);
  EXPECT_EQ(ps::openHandles(), 0);
  EXPECT_EQ(eventsOf(ps::Event::Close).size(), 1u);
  EXPECT_TRUE(sentCommands().empty());
  ASSERT_TRUE(pelvane::slotOpen(pelvtest::kPort));

  // Later commands fail on the link and reach no OS object.
  ps::clearEvents();
  EXPECT_EQ(run(hex("04 F1 63 05")), pelvane::kResultDone);
  EXPECT_EQ(response.text(), "03 F1 FE");
  EXPECT_EQ(run(hex("04 F3 01 00")), 0xFFFE);
  EXPECT_EQ(run(hex("07 10 60 20 00 00 00")), pelvane::kResultFailed);
  for (const ps::Event& e : ps::events()) EXPECT_EQ(e.kind, ps::Event::Sleep);

  EXPECT_EQ(pelvane::closePort(pelvtest::kPort), 0);
  EXPECT_FALSE(pelvane::slotOpen(pelvtest::kPort));
  EXPECT_EQ(portSlot().readerMode, pelvane::kModeNone);
  EXPECT_EQ(portSlot().timeoutTenths, 10.0);
  EXPECT_EQ(pelvane::closePort(pelvtest::kPort), 1);
}

}  // namespace
