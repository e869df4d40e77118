// The RF_ interface, the entry point and the extension functions, on the
// simulated port with simulated readers behind it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/lookup.h"
#include "controller.h"
#include "field.h"
#include "pelvane.h"
#include "platform/simulated.h"
#include "port/port_table.h"
#include "support/harness.h"

namespace pelvane {
namespace {

using namespace pelvtest;
namespace ps = simport;

// Every trace line since the sink was installed.
std::vector<std::string> traceLines;
void PELVANE_CALL collectTrace(const char* line) { traceLines.emplace_back(line); }

class RfInterface : public pelvtest::SimReaders {
 protected:
  void SetUp() override {
    SimReaders::SetUp();
    traceLines.clear();
  }
  void TearDown() override {
    PV_SetTraceSink(nullptr);
    SimReaders::TearDown();
  }

  // Sends a packet and returns the whole response buffer (0xEE where unwritten).
  std::uint16_t command(std::int32_t port, const Bytes& packet, Bytes* response) {
    response->assign(PELVANE_RESPONSE_MAX, 0xEE);
    return RF_COMMAND(port, packet.data(), response->data());
  }
};

Bytes head(const Bytes& response, std::size_t n) { return Bytes(response.begin(), response.begin() + n); }

TEST_F(RfInterface, PortNumbersOutsideTheTableAreRefusedWithoutOpening) {
  addReader(1);
  for (std::int32_t port : {0, 257, -2, 0x7FFF}) {
    opened_ = kUnwritten;
    EXPECT_EQ(RF_OPEN(port, &opened_), PELVANE_RESULT_REFUSED) << port;
    EXPECT_EQ(opened_, kUnwritten) << port;
  }
  EXPECT_EQ(ps::openHandles(), 0);
}

TEST_F(RfInterface, OnlyTheLow16BitsOfTheOpenPortCount) {
  pelvsim::Controller& reader = addReader(1);
  ASSERT_EQ(RF_OPEN(0x10001, &opened_), PELVANE_RESULT_DONE);
  EXPECT_EQ(opened_, 1);
  EXPECT_TRUE(slotOpen(1));
  EXPECT_FALSE(reader.commands().empty());
}

TEST_F(RfInterface, CommandAndCloseCompareAll32Bits) {
  pelvsim::Controller& reader = addReader(1);
  ASSERT_EQ(RF_OPEN(1, &opened_), PELVANE_RESULT_DONE);
  reader.clearCommands();

  Bytes response;
  EXPECT_EQ(command(0x10001, hex("03 F1 00"), &response), PELVANE_RESULT_REFUSED);
  EXPECT_BYTES(hex("03 F1 FF"), head(response, 3));
  EXPECT_EQ(RF_CLOSE(0x10001), PELVANE_CLOSE_NOT_OPEN);
  EXPECT_TRUE(reader.commands().empty()) << "nothing may reach the reader";
  EXPECT_TRUE(slotOpen(1));
}

TEST_F(RfInterface, ScanOpensTheFirstDiscoveredPort) {
  addReader(5);
  ps::setDeviceNames({cp210xName(5)});
  for (std::int32_t scan : {-1, 0xFFFF}) {
    opened_ = kUnwritten;
    ASSERT_EQ(RF_OPEN(scan, &opened_), PELVANE_RESULT_DONE) << scan;
    EXPECT_EQ(opened_, 5);
    EXPECT_EQ(RF_CLOSE(5), PELVANE_CLOSE_DONE);
  }
  ps::setDeviceNames({});
  EXPECT_EQ(RF_OPEN(-1, &opened_), PELVANE_RESULT_NO_PORT);
}

TEST_F(RfInterface, CommandOnAPortNotOpenAnswersFfWithResult2) {
  for (int c : {0xF1, 0x10, 0x86, 0x00, 0xFF}) {
    const auto cmd = static_cast<std::uint8_t>(c);
    Bytes response;
    EXPECT_EQ(command(4, Bytes{0x05, cmd, 0x01, 0x02, 0x03}, &response), PELVANE_RESULT_REFUSED);
    EXPECT_BYTES((Bytes{0x03, cmd, 0xFF, 0xEE}), head(response, 4));
  }
  EXPECT_TRUE(ps::events().empty()) << "no platform call for a port that is not open";
}

TEST_F(RfInterface, CommandOnAnOpenPortReachesTheDispatcher) {
  addReader(2);
  ASSERT_EQ(RF_OPEN(2, &opened_), PELVANE_RESULT_DONE);
  Bytes response;
  EXPECT_EQ(command(2, hex("02 F0"), &response), PELVANE_RESULT_DONE);
  EXPECT_BYTES(hex("04 F0 00 04"), head(response, 4));
  // An unlisted command byte is answered with its own byte and FC.
  EXPECT_EQ(command(2, hex("03 42 00"), &response), PELVANE_RESULT_REFUSED);
  EXPECT_BYTES(hex("03 42 FC"), head(response, 3));
}

TEST_F(RfInterface, CloseTwiceClosesThenReportsNotOpen) {
  addReader(2);
  ASSERT_EQ(RF_OPEN(2, &opened_), PELVANE_RESULT_DONE);
  EXPECT_EQ(RF_CLOSE(2), PELVANE_CLOSE_DONE);
  EXPECT_FALSE(slotOpen(2));
  EXPECT_EQ(ps::openHandles(), 0);
  EXPECT_EQ(RF_CLOSE(2), PELVANE_CLOSE_NOT_OPEN);
}

TEST_F(RfInterface, NullPacketBuffersAreRefused) {
  std::uint8_t response[8] = {0xEE};
  const std::uint8_t packet[] = {0x02, 0xF0};
  EXPECT_EQ(RF_COMMAND(1, nullptr, response), PELVANE_RESULT_REFUSED);
  EXPECT_EQ(response[0], 0xEE);
  EXPECT_EQ(RF_COMMAND(1, packet, nullptr), PELVANE_RESULT_REFUSED);
}

TEST_F(RfInterface, TraceShowsEachCommandAndItsResponse) {
  addReader(2);
  ASSERT_EQ(RF_OPEN(2, &opened_), PELVANE_RESULT_DONE);
  PV_SetTraceSink(collectTrace);
  Bytes response;
  EXPECT_EQ(command(2, hex("06 10 30 0A 00 00"), &response), PELVANE_RESULT_REFUSED);
  EXPECT_EQ(command(9, hex("03 F1 00"), &response), PELVANE_RESULT_REFUSED);
  EXPECT_EQ(traceLines, (std::vector<std::string>{"commandProc:0610300A0000\n",
                                                  "APP Return 0310FD\n",
                                                  "APP Return 03F1FF\n"}));

  // Back to the discarding default.
  PV_SetTraceSink(nullptr);
  command(2, hex("02 F0"), &response);
  EXPECT_EQ(traceLines.size(), 3u);
}

TEST_F(RfInterface, TraceOfALongFormResponseCoversItsFirst255Bytes) {
  pelvsim::Controller& reader = addReader(2);
  reader.field().typeB.push_back(pelvsim::TypeBCard::make());
  ASSERT_EQ(RW_Open(2), PELVANE_RW_OK);
  ASSERT_EQ(RW_Activate(2, 1, 0, 0, 0), PELVANE_RW_OK);
  PV_SetTraceSink(collectTrace);
  // READ BINARY of 256 bytes: 258 data bytes come back in the long form,
  // FF 01 07 86 00, the card's bytes 0 to 255 and 90 00 (263 bytes).
  Bytes response;
  ASSERT_EQ(command(2, hex("07 86 00 B0 00 00 00"), &response), PELVANE_RESULT_DONE);
  Bytes card;
  for (std::size_t i = 0; i < 256; ++i) card.push_back(pelvsim::TypeBCard::dataByte(i));
  EXPECT_BYTES(cat(hex("FF 01 07 86 00"), card, hex("90 00 EE")), head(response, 264));
  std::string shown = "APP Return FF01078600";
  for (std::size_t i = 0; i < 250; ++i) shown += hexByte(card[i]);
  EXPECT_EQ(traceLines, (std::vector<std::string>{"commandProc:078600B0000000\n", shown + "\n"}));
}

// Opening leaves the controller's framing as it was (Type A after power-up): the
// wake-up request must choose Type B framing itself to reach the card.
TEST_F(RfInterface, WakeUpRequestStraightAfterOpeningReachesTheTypeBCard) {
  pelvsim::Controller& reader = addReader(1);
  reader.field().typeB.push_back(pelvsim::TypeBCard::make(3));
  reader.field().mifare.push_back(pelvsim::MifareClassicCard::make1k(2));
  ASSERT_EQ(RF_OPEN(1, &opened_), PELVANE_RESULT_DONE);
  const std::uint8_t txMode = reader.registerValue(0x6302);
  Bytes response;
  EXPECT_EQ(command(1, hex("03 25 00"), &response), PELVANE_RESULT_DONE);
  EXPECT_BYTES(hex("0E 25 00 50 1B 03 2C 3D 00 00 00 00 00 81"), head(response, 14));
  EXPECT_EQ(reader.registerValue(0x6302), txMode);
  EXPECT_EQ(command(1, hex("02 20"), &response), PELVANE_RESULT_DONE);
  EXPECT_BYTES(hex("07 20 00 0A 02 3C 4D"), head(response, 7));
}

TEST_F(RfInterface, PortDeviceOverrideIsOpenedInsteadOfTheComPath) {
  addReader(7, "sim:reader-seven");
  EXPECT_EQ(PV_SetPortDevice(7, "sim:reader-seven"), PELVANE_EXT_DONE);
  EXPECT_EQ(RF_OPEN(7, &opened_), PELVANE_RESULT_DONE);
  EXPECT_EQ(RF_CLOSE(7), PELVANE_CLOSE_DONE);
  EXPECT_EQ(PV_SetPortDevice(7, nullptr), PELVANE_EXT_DONE);
  EXPECT_EQ(pathOf(7), "\\\\.\\COM7");
  EXPECT_EQ(RF_OPEN(7, &opened_), PELVANE_RESULT_FAILED) << "the default path has no device";

  const std::string tooLong(4096, 'x');
  for (std::int32_t port : {0, 257, -1}) {
    EXPECT_EQ(PV_SetPortDevice(port, "sim:x"), PELVANE_EXT_REFUSED) << port;
  }
  EXPECT_EQ(PV_SetPortDevice(7, tooLong.c_str()), PELVANE_EXT_REFUSED);
  EXPECT_EQ(pathOf(7), "\\\\.\\COM7");
}

class EntryPoint : public RfInterface {
 protected:
  void SetUp() override {
    RfInterface::SetUp();
    savedCount_ = loadCount;
  }
  void TearDown() override {
    loadCount = savedCount_;
    RfInterface::TearDown();
  }
  std::int32_t savedCount_ = 0;
};

TEST_F(EntryPoint, OnlyTheFirstProcessAttachSetsTheTableUp) {
  loadCount = 0;
  slot(9).timeoutTenths = 3.0;
  slot(9).readerMode = kModeTypeB;
  EXPECT_EQ(libraryEntry(kProcessAttach), 1);
  EXPECT_EQ(loadCount, 1);
  EXPECT_EQ(slot(9).timeoutTenths, 10.0);
  EXPECT_EQ(slot(9).readerMode, kModeNone);

  // A second attach while a port is open leaves the table as it is.
  addReader(2);
  ASSERT_EQ(RF_OPEN(2, &opened_), PELVANE_RESULT_DONE);
  const PortHandle handle = slot(2).handle;
  EXPECT_EQ(libraryEntry(kProcessAttach), 1);
  EXPECT_EQ(loadCount, 2);
  EXPECT_EQ(slot(2).handle, handle);
  EXPECT_EQ(slot(2).readerMode, kModeMifare);

  // Thread notifications do nothing; detaches count down and close nothing.
  EXPECT_EQ(libraryEntry(kThreadAttach), 1);
  EXPECT_EQ(libraryEntry(kThreadDetach), 1);
  EXPECT_EQ(loadCount, 2);
  EXPECT_EQ(libraryEntry(kProcessDetach), 1);
  EXPECT_EQ(libraryEntry(kProcessDetach), 1);
  EXPECT_EQ(loadCount, 0);
  EXPECT_TRUE(slotOpen(2));
  EXPECT_EQ(ps::openHandles(), 1);
}

}  // namespace
}  // namespace pelvane
