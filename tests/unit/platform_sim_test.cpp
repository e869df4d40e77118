// The simulated platform is what every other unit test stands on; these tests
// hold it to the behaviour of the Windows calls it replaces.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "platform/simulated.h"
#include "support/harness.h"

namespace pelvtest {
namespace {

namespace ps = pelvane::simport;
using namespace pelvane;

class SimPlatform : public ::testing::Test {
 protected:
  void SetUp() override {
    ps::reset(kStartMs);
    ps::addDevice(kPath, &far);
  }
  void TearDown() override { ps::reset(kStartMs); }
  ScriptedFarSide far;
};

TEST_F(SimPlatform, PortIsOpenedWithoutSharing) {
  const PortHandle a = openDevice(kPath, kOpenAttributesNone);
  ASSERT_NE(kInvalidHandle, a);
  EXPECT_EQ(kInvalidHandle, openDevice(kPath, kOpenAttributesNormal));
  EXPECT_EQ(1, ps::openHandles());
  closeDevice(a);
  EXPECT_EQ(0, ps::openHandles());
  const PortHandle b = openDevice(kPath, kOpenAttributesNormal);
  EXPECT_NE(kInvalidHandle, b);
  EXPECT_NE(a, b);
  EXPECT_EQ(kInvalidHandle, openDevice("\\\\.\\COM9", 0));
}

TEST_F(SimPlatform, RecordsOpensWithFlagsClosesAndTimeouts) {
  const PortHandle h = openDevice(kPath, kOpenAttributesNormal);
  const CommTimeouts t{1000, 0, 1000, 0, 1000};
  ASSERT_TRUE(setTimeouts(h, &t));
  closeDevice(h);
  const auto& e = ps::events();
  ASSERT_EQ(3u, e.size());
  EXPECT_EQ(ps::Event::Open, e[0].kind);
  EXPECT_EQ(kPath, e[0].path);
  EXPECT_EQ(0x80u, e[0].value);
  EXPECT_EQ(ps::Event::SetTimeouts, e[1].kind);
  EXPECT_EQ(1000u, e[1].timeouts.readIntervalTimeout);
  EXPECT_EQ(1000u, e[1].timeouts.writeTotalTimeoutConstant);
  EXPECT_EQ(ps::Event::Close, e[2].kind);
}

TEST_F(SimPlatform, DeviceKeepsTimeoutsAndLineSettingsAcrossHandles) {
  ps::setInitialTimeouts(kPath, CommTimeouts{7, 8, 9, 10, 11});
  PortHandle h = openDevice(kPath, 0);
  CommTimeouts t;
  ASSERT_TRUE(getTimeouts(h, &t));
  EXPECT_EQ(9u, t.readTotalTimeoutConstant);
  LineSettings line;
  ASSERT_TRUE(getLineSettings(h, &line));
  line.baudRate = 57600;
  ASSERT_TRUE(setLineSettings(h, &line));
  closeDevice(h);
  h = openDevice(kPath, 0);
  ASSERT_TRUE(getLineSettings(h, &line));
  EXPECT_EQ(57600u, line.baudRate);
  ASSERT_TRUE(ps::lineSettingsOf(kPath, &line));
  EXPECT_EQ(57600u, line.baudRate);
}

TEST_F(SimPlatform, RefusedSpeedLeavesTheLineAsItWas) {
  ps::setAcceptedSpeeds(kPath, {9600});
  const PortHandle h = openDevice(kPath, 0);
  LineSettings line;
  ASSERT_TRUE(getLineSettings(h, &line));
  line.baudRate = 115200;
  EXPECT_FALSE(setLineSettings(h, &line));
  line.baudRate = 9600;
  EXPECT_TRUE(setLineSettings(h, &line));
  std::vector<ps::Event> tried;
  for (const ps::Event& e : ps::events()) {
    if (e.kind == ps::Event::SetLine) tried.push_back(e);
  }
  ASSERT_EQ(2u, tried.size());
  EXPECT_EQ(115200u, tried[0].value);
  EXPECT_FALSE(tried[0].ok);
  EXPECT_EQ(9600u, tried[1].value);
  EXPECT_TRUE(tried[1].ok);
  EXPECT_EQ(8, tried[1].line.byteSize);
  ASSERT_TRUE(ps::lineSettingsOf(kPath, &line));
  EXPECT_EQ(9600u, line.baudRate);
}

TEST_F(SimPlatform, FailCallSucceedsAfterThenFailsTimes) {
  const PortHandle h = openDevice(kPath, 0);
  ps::failCall(ps::Call::Purge, 2, 2);
  const bool expected[] = {true, true, false, false, true, true};
  for (bool e : expected) EXPECT_EQ(e, purgeBuffers(h));
  ps::failCall(ps::Call::Purge, 0, -1);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(purgeBuffers(h));
}

TEST_F(SimPlatform, RemovedDeviceFailsEveryCallOnItsOpenHandles) {
  const PortHandle h = openDevice(kPath, 0);
  ps::removeDevice(kPath);
  std::uint32_t errors = 0;
  std::uint32_t waiting = 0;
  const std::uint8_t b = 1;
  EXPECT_FALSE(clearErrors(h, &errors, &waiting));
  EXPECT_FALSE(purgeBuffers(h));
  EXPECT_FALSE(writeBytes(h, &b, 1));
  EXPECT_EQ(kInvalidHandle, openDevice(kPath, 0));
  ps::addDevice(kPath, &far);  // plugged in again: the old handle stays dead
  EXPECT_FALSE(purgeBuffers(h));
  const PortHandle again = openDevice(kPath, 0);
  EXPECT_NE(kInvalidHandle, again);
  EXPECT_TRUE(purgeBuffers(again));
  closeDevice(h);
  closeDevice(again);
  EXPECT_EQ(0, ps::openHandles());
}

TEST_F(SimPlatform, WritesReachTheFarSideWithTimeAndSpeed) {
  const PortHandle h = openDevice(kPath, 0);
  LineSettings line;
  getLineSettings(h, &line);
  line.baudRate = 38400;
  setLineSettings(h, &line);
  ps::advanceUs(1234);
  const Bytes f = hex("00 00 FF 02 FE D4 02 2A 00");
  ASSERT_TRUE(writeBytes(h, f.data(), static_cast<std::uint32_t>(f.size())));
  ASSERT_EQ(1u, far.received.size());
  EXPECT_BYTES(f, far.received[0].bytes);
  EXPECT_EQ(1234u, far.received[0].atUs);
  EXPECT_EQ(38400u, far.received[0].baud);
  EXPECT_BYTES(f, ps::bytesWritten(kPath));
  EXPECT_EQ(std::vector<Bytes>{f}, ps::writes());
}

TEST_F(SimPlatform, FailedWriteIsRecordedButNotDelivered) {
  const PortHandle h = openDevice(kPath, 0);
  ps::failCall(ps::Call::Write);
  const std::uint8_t b = 0x55;
  EXPECT_FALSE(writeBytes(h, &b, 1));
  EXPECT_TRUE(far.received.empty());
  EXPECT_EQ(1u, ps::writes().size());
  EXPECT_FALSE(ps::events().back().ok);
}

TEST_F(SimPlatform, PurgeDropsArrivedBytesButNotThoseStillOnTheWire) {
  const PortHandle h = openDevice(kPath, 0);
  far.arriveAt(hex("01 02"), 0);
  far.arriveAt(hex("03"), 5000);
  ASSERT_TRUE(purgeBuffers(h));
  std::uint32_t errors = 9;
  std::uint32_t waiting = 9;
  ASSERT_TRUE(clearErrors(h, &errors, &waiting));
  EXPECT_EQ(0u, errors);
  EXPECT_EQ(0u, waiting);
  ps::advanceUs(5000);
  ASSERT_TRUE(clearErrors(h, &errors, &waiting));
  EXPECT_EQ(1u, waiting);
}

TEST_F(SimPlatform, InjectedLineErrorIsReportedOnce) {
  const PortHandle h = openDevice(kPath, 0);
  ps::injectLineError(1);
  std::uint32_t errors = 0;
  std::uint32_t waiting = 0;
  ASSERT_TRUE(clearErrors(h, &errors, &waiting));
  EXPECT_NE(0u, errors);
  ASSERT_TRUE(clearErrors(h, &errors, &waiting));
  EXPECT_EQ(0u, errors);
}

struct ReadWait {
  const char* name;
  CommTimeouts timeouts;
  std::int32_t waitedMs;
};

class SimRead : public SimPlatform, public ::testing::WithParamInterface<ReadWait> {};

// ReadFile with nothing to read returns without a byte once its total time-out
// has passed in virtual time.
TEST_P(SimRead, EmptyReadWaitsTheReadTimeout) {
  const PortHandle h = openDevice(kPath, 0);
  ASSERT_TRUE(setTimeouts(h, &GetParam().timeouts));
  std::uint8_t b = 0;
  std::uint32_t delivered = 7;
  ASSERT_TRUE(readOneByte(h, &b, &delivered));
  EXPECT_EQ(0u, delivered);
  EXPECT_EQ(GetParam().waitedMs, ps::nowMs() - kStartMs);
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, SimRead,
    ::testing::Values(ReadWait{"Opening", {1000, 0, 1000, 0, 1000}, 1000},
                      ReadWait{"Multiplier", {0, 20, 300, 0, 0}, 320},
                      ReadWait{"ReturnAtOnce", {0xFFFFFFFFu, 0, 0, 0, 0}, 0},
                      ReadWait{"ForEverIsCapped", {0, 0, 0, 0, 0}, 60000}),
    [](const ::testing::TestParamInfo<ReadWait>& i) { return std::string(i.param.name); });

TEST_F(SimPlatform, ReadTakesAByteThatArrivesDuringItsWait) {
  const PortHandle h = openDevice(kPath, 0);
  const CommTimeouts t{1000, 0, 1000, 0, 1000};
  setTimeouts(h, &t);
  far.arriveAt({0x4D}, 250000);
  std::uint8_t b = 0;
  std::uint32_t delivered = 0;
  ASSERT_TRUE(readOneByte(h, &b, &delivered));
  EXPECT_EQ(1u, delivered);
  EXPECT_EQ(0x4D, b);
  EXPECT_EQ(250, ps::nowMs() - kStartMs);
}

TEST_F(SimPlatform, SleepsAndPausesAdvanceTheClockAndAreRecorded) {
  sleepMs(47);
  pauseForInput(kInvalidHandle, 1);
  EXPECT_EQ(kStartMs + 48, clockMs());
  EXPECT_EQ(48000u, ps::nowUs());
  ASSERT_EQ(2u, ps::events().size());
  EXPECT_EQ(47u, ps::events()[0].value);
  EXPECT_EQ(kStartMs + 47, ps::events()[1].timeMs);
}

// A quantum makes every pause wake on a tick: the first multiple of the quantum
// at or after the time asked for.
TEST_F(SimPlatform, PausesWakeOnTheFirstTickOfTheQuantum) {
  struct Case {
    std::uint64_t quantumUs, startUs;
    std::uint32_t ms;
    std::uint64_t endUs;
  };
  const Case cases[] = {
      {15625, 0, 1, 15625},          // Sleep(1) on a default Windows tick
      {15625, 15000, 1, 31250},      // due after the coming tick: the one after it
      {15625, 10000, 1, 15625},      // due before the coming tick: that tick
      {15625, 15625, 47, 78125},     // 47 ms from a tick: four ticks, 62.5 ms
      {15625, 0, 10, 15625},
      {1000, 500, 1, 2000},          // 1 ms resolution, mid-way between ticks
      {1000, 3000, 20, 23000},
      {0, 1234, 1, 2234},            // no quantum: exact
  };
  for (const Case& c : cases) {
    ps::reset(kStartMs);
    ps::setSleepQuantumUs(c.quantumUs);
    ps::advanceUs(c.startUs);
    sleepMs(c.ms);
    EXPECT_EQ(c.endUs, ps::nowUs()) << "quantum " << c.quantumUs << " from " << c.startUs;
  }
}

TEST_F(SimPlatform, ClockWrapsAsASigned32BitValue) {
  ps::reset(INT32_MAX - 1);
  sleepMs(3);
  EXPECT_EQ(INT32_MIN + 1, clockMs());
}

TEST_F(SimPlatform, RecordingCanBeSwitchedOff) {
  ps::setRecording(false);
  sleepMs(5);
  EXPECT_TRUE(ps::events().empty());
  EXPECT_EQ(kStartMs + 5, clockMs());
}

// ---- device names, as the SetupDi calls hand them out ----

TEST_F(SimPlatform, FriendlyNamesFollowTheBufferSizeProtocol) {
  ps::setDeviceNames({"CP210x USB to UART Bridge Controller (COM3)", "!broken", ""});
  const DeviceList list = openDeviceList();
  ASSERT_NE(kInvalidDeviceList, list);
  DeviceInfo info;
  info.cbSize = 28;

  ASSERT_TRUE(enumDevice(list, 0, &info));
  std::uint32_t required = 0;
  EXPECT_FALSE(getFriendlyName(list, &info, nullptr, 0, &required));
  EXPECT_EQ(kErrorInsufficientBuffer, lastError());
  EXPECT_EQ(44u, required);  // 43 characters and the terminator
  char small[43];
  EXPECT_FALSE(getFriendlyName(list, &info, small, sizeof small, &required));
  EXPECT_EQ(kErrorInsufficientBuffer, lastError());
  auto* name = static_cast<char*>(allocZeroed(2 * required));
  EXPECT_EQ(1, ps::liveBuffers());
  EXPECT_TRUE(getFriendlyName(list, &info, name, required, &required));
  EXPECT_STREQ("CP210x USB to UART Bridge Controller (COM3)", name);
  freeBuffer(name);
  EXPECT_EQ(0, ps::liveBuffers());

  ASSERT_TRUE(enumDevice(list, 1, &info));
  EXPECT_FALSE(getFriendlyName(list, &info, nullptr, 0, &required));
  EXPECT_NE(kErrorInsufficientBuffer, lastError());

  ASSERT_TRUE(enumDevice(list, 2, &info));
  EXPECT_FALSE(getFriendlyName(list, &info, nullptr, 0, &required));
  EXPECT_EQ(1u, required);

  EXPECT_FALSE(enumDevice(list, 3, &info));
  closeDeviceList(list);
  EXPECT_FALSE(enumDevice(list, 0, &info));
}

TEST_F(SimPlatform, FailedDeviceListEnumeratesNothing) {
  ps::setDeviceNames({"CP210x USB to UART Bridge Controller (COM3)"});
  ps::failCall(ps::Call::OpenDeviceList);
  const DeviceList list = openDeviceList();
  EXPECT_EQ(kInvalidDeviceList, list);
  DeviceInfo info;
  EXPECT_FALSE(enumDevice(list, 0, &info));
  closeDeviceList(list);
}

TEST_F(SimPlatform, DevicePathsAreComNamesUnlessOverridden) {
  char path[64];
  formatDevicePath(3, path, sizeof path);
  EXPECT_STREQ("\\\\.\\COM3", path);
  formatDevicePath(256, path, sizeof path);
  EXPECT_STREQ("\\\\.\\COM256", path);
  ASSERT_TRUE(setPortDevice(256, "/dev/pts/9"));
  formatDevicePath(256, path, sizeof path);
  EXPECT_STREQ("/dev/pts/9", path);
  formatDevicePath(256, path, 5);
  EXPECT_STREQ("/dev", path);  // cut to the buffer, terminated
  ASSERT_TRUE(setPortDevice(256, nullptr));
  formatDevicePath(256, path, sizeof path);
  EXPECT_STREQ("\\\\.\\COM256", path);
  EXPECT_FALSE(setPortDevice(0, "/x"));
  EXPECT_FALSE(setPortDevice(257, "/x"));
  EXPECT_FALSE(setPortDevice(1, std::string(400, 'a').c_str()));
}

}  // namespace
}  // namespace pelvtest
