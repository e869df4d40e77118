// Every command byte with every LEN in every ReaderMode, against the simulated
// controller with cards of each kind in its field. Each packet sits in a heap
// block of exactly max(LEN, 2) bytes (the command byte is read even for LEN 0
// and 1), so the ASan build of these tests catches any read past LEN. The
// response must be one the dispatcher and handlers can write, or none where the
// gates say so; the result one of the five results; the command's virtual time
// bounded; and the port must still answer mode selection afterwards.
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "cards.h"
#include "command/dispatcher.h"
#include "field.h"
#include "pelvane.h"
#include "support/harness.h"

namespace {

using namespace pelvtest;
namespace ps = pelvane::simport;

// Commands that pass a controller's own status byte on as STATUS.
const std::set<int> kPassControllerStatus = {0x30, 0x31, 0x32, 0x50, 0x51, 0x60, 0x86};

// Longest a command may take: detection waits 5 s, a segmented read of the
// packet's count pauses 47 ms a segment on top of each segment's deadline.
constexpr std::uint64_t kLongestCommandUs = 20000000;

// Parameter fillers: byte i of the packet from i = 2 on.
enum class Fill { Index, AllOnes };
std::uint8_t fillByte(Fill f, std::size_t i) {
  return f == Fill::Index ? static_cast<std::uint8_t>(i) : 0xFF;
}

class GarbageTest : public pelvtest::SimReaderTest,
                    public ::testing::WithParamInterface<std::uint8_t> {
 protected:
  void SetUp() override {
    SimReaderTest::SetUp();
    ASSERT_TRUE(pelvsim::addCards("felica,lite,mifare1k,page,typeA10,typeB,peer,initiator",
                                  controller.field()));
    // Line time on every byte: retry loops run into their deadlines quickly.
    controller.setPacing(true);
    ps::setRecording(false);
    response.reset(new std::uint8_t[PELVANE_RESPONSE_MAX]);
  }

  // The slot as the mode under test wants it before each packet.
  void prepare() {
    if (!pelvane::slotOpen(pelvtest::kPort)) reopen();
    portSlot().readerMode = static_cast<pelvane::ReaderMode>(GetParam());
    portSlot().timeoutTenths = 1.0;
  }

  // A segmented read outside initiator mode closes the port by design.
  void reopen() {
    const pelvane::PortHandle h = pelvane::openDevice(pelvtest::kPath, pelvane::kOpenAttributesNone);
    ASSERT_NE(h, pelvane::kInvalidHandle);
    pelvane::LineSettings line;
    ASSERT_TRUE(pelvane::getLineSettings(h, &line));
    line.baudRate = controller.baud();
    ASSERT_TRUE(pelvane::setLineSettings(h, &line));
    portSlot().handle = h;
    portSlot().lineSettings = line;
  }

  // Mode selection (Type A, 1.0 s) reaches the controller and reports its firmware.
  void expectPortWorks(int afterCmd) {
    prepare();
    const std::uint8_t select[] = {0x07, 0x10, 0x30, 0x0A, 0x00, 0x00, 0x00};
    std::memset(response.get(), kUntouched, 8);
    ASSERT_EQ(pelvane::commandProc(pelvtest::kPort, select, response.get()), 0)
        << "after command " << std::hex << afterCmd;
    EXPECT_EQ(toHex(response.get(), 5), "05 10 00 32 01") << "after command " << std::hex << afterCmd;
    controller.clearCommands();
  }

  // One packet: checks the response against the dispatcher's rules.
  void sendGarbage(int cmd, int len, Fill fill) {
    prepare();
    const std::uint8_t mode = GetParam();
    const std::size_t size = len < 2 ? 2 : static_cast<std::size_t>(len);
    std::unique_ptr<std::uint8_t[]> packet(new std::uint8_t[size]);
    packet[0] = static_cast<std::uint8_t>(len);
    packet[1] = static_cast<std::uint8_t>(cmd);
    for (std::size_t i = 2; i < size; ++i) packet[i] = fillByte(fill, i);
    std::uint8_t* r = response.get();
    if (mode == 7 && (cmd == 0x30 || cmd == 0x31 || cmd == 0x70 || cmd == 0x71 || cmd == 0x86)) {
      // An activated peer echoes what these commands send: long answers, long forms.
      const std::uint8_t activate[] = {0x03, 0x50, 0x00};
      ASSERT_EQ(pelvane::commandProc(pelvtest::kPort, activate, r), 0);
    }
    std::memset(r, kUntouched, 300);

    const std::uint64_t startUs = ps::nowUs();
    const std::uint16_t result = pelvane::commandProc(pelvtest::kPort, packet.get(), r);
    const std::uint64_t tookUs = ps::nowUs() - startUs;
    longestUs_ = std::max(longestUs_, tookUs);
    const std::string what = "packet " + toHex(packet.get(), len < 6 ? size : 6) + "... LEN " +
                             std::to_string(len) + " in mode " + std::to_string(mode);
    ASSERT_LE(tookUs, kLongestCommandUs) << what;
    ASSERT_TRUE(result <= 2 || result == 0xFFFF || result == 0xFFFE) << what << ": " << result;
    const bool untouched = r[0] == kUntouched && r[1] == kUntouched && r[2] == kUntouched;

    if (len < 2) {
      ASSERT_EQ(toHex(r, 3), "03 00 FD") << what;
      ASSERT_EQ(result, 2) << what;
      return;
    }
    if (!isListed(cmd)) {
      ASSERT_EQ(toHex(r, 3), "03 " + toHex(packet.get() + 1, 1) + " FC") << what;
      ASSERT_EQ(result, 2) << what;
      return;
    }
    if (untouched) {
      // The mode gates (pinned command by command in dispatcher_test), a failed
      // mode selection and a failed RF configuration exchange leave the response
      // alone; each gives result 1 or 2, or the link code for RF configuration.
      const bool allowed = result == 1 || result == 2 ||
                           (cmd == 0xF3 && (result == 0xFFFF || result == 0xFFFE));
      ASSERT_TRUE(allowed) << what << ": no response, result " << result;
      ASSERT_TRUE(mode == 0 || cmd == 0x10 || cmd == 0x32 || cmd == 0x33 || cmd == 0xF3)
          << what << ": no response";
      return;
    }
    ASSERT_TRUE(result <= 2) << what;
    // The long form of 0x86 is FF, length high and low, CMD, STATUS.
    const bool longForm = cmd == 0x86 && r[0] == 0xFF;
    ASSERT_EQ(r[longForm ? 3 : 1], cmd) << what;
    const std::uint8_t status = longForm ? r[4] : r[2];
    const bool own = status == 0x00 || status == 0xFF || status == 0xFE || status == 0xFD ||
                     status == 0xFC || status == 0xF9;
    const bool controllerStatus = kPassControllerStatus.count(cmd) != 0 && status < 0x80;
    ASSERT_TRUE(own || controllerStatus) << what << ": status " << int{status};
    if (cmd == 0x70 || cmd == 0x71) {
      // LEN is the number of segments here; the status says only refused or failed.
      ASSERT_TRUE(status == 0x00 || status == 0xFF || status == 0xFD || status == 0xFC) << what;
    } else if (longForm) {
      ASSERT_GE(r[1] * 256 + r[2], 257) << what;
    } else {
      ASSERT_GE(r[0], 3) << what;
    }
    if (result == 2) {
      ASSERT_TRUE(status == 0xFD || status == 0xFC) << what;
    }
    if (status == 0xFD) {
      ASSERT_EQ(result, 2) << what;
    }
    if (cmd != 0x70 && cmd != 0x71) {
      ASSERT_TRUE(pelvane::slotOpen(pelvtest::kPort)) << what;
    }
  }

  std::unique_ptr<std::uint8_t[]> response;
  std::uint64_t longestUs_ = 0;
};

TEST_P(GarbageTest, EveryCommandByteWithEveryLenGetsADefinedAnswer) {
  for (Fill fill : {Fill::Index, Fill::AllOnes}) {
    for (int cmd = 0x00; cmd <= 0xFF; ++cmd) {
      for (int len = 0; len <= 255; ++len) {
        ASSERT_NO_FATAL_FAILURE(sendGarbage(cmd, len, fill));
      }
      controller.clearCommands();
      if (isListed(cmd)) {
        ASSERT_NO_FATAL_FAILURE(expectPortWorks(cmd));
      }
    }
  }
  ASSERT_NO_FATAL_FAILURE(expectPortWorks(-1));
  RecordProperty("longest_command_virtual_ms", static_cast<int>(longestUs_ / 1000));
}

// Every named mode, the never-set 5 and 6, and a value outside the table.
INSTANTIATE_TEST_SUITE_P(AllModes, GarbageTest,
                         ::testing::Values(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xAB),
                         [](const ::testing::TestParamInfo<std::uint8_t>& mode) {
                           return "Mode" + std::to_string(mode.param);
                         });

}  // namespace
