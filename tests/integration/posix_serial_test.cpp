// The POSIX platform code against the simulated controller on a pseudo-terminal.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>
#include <thread>
#include <cstdint>

#include "faults.h"
#include "integration/support.h"
#include "link/byte_reader.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "port/ports.h"
#include "port/port_table.h"

namespace pelvring2 {
namespace {

using namespace pelvane;

using PosixSerial = PtyTest;

std::int32_t getFirmwareVersion(int port, Answer* answer) {
  const std::uint8_t payload[] = {0x02};
  armDeadline(port);
  return exchangeCommand(port, payload, 1, answer, 0);
}

TEST_F(PosixSerial, FirmwareVersionIsExchangedOverTheTerminal) {
  ASSERT_NE(kInvalidHandle, openSlot());
  Answer answer{};
  ASSERT_EQ(0, getFirmwareVersion(kPort, &answer));
  EXPECT_EQ(0x32, answerByte(answer, 0));  // IC code
  EXPECT_EQ(0x01, answerByte(answer, 1));  // firmware version
  EXPECT_EQ(13, answer.frameLength);
  // A second command finds the line clean.
  ASSERT_EQ(0, getFirmwareVersion(kPort, &answer));
  EXPECT_EQ(0x32, answerByte(answer, 0));
}

TEST_F(PosixSerial, LineSpeedIsVisibleOnTheFarSide) {
  const PortHandle h = openSlot(57600);
  ASSERT_NE(kInvalidHandle, h);
  // As root, TIOCEXCL does not stop this second descriptor; it only reads.
  const int peek = ::open(devicePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(peek, 0);
  termios t{};
  ASSERT_EQ(0, tcgetattr(peek, &t));
  ::close(peek);
  EXPECT_EQ(B57600, cfgetospeed(&t));
  EXPECT_EQ(CS8, t.c_cflag & CSIZE);
  EXPECT_EQ(0u, t.c_cflag & (PARENB | CSTOPB));
  EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO));

  // The controller runs at 115200: frames sent at 57600 are noise to it.
  Answer answer{};
  slot(kPort).timeoutTenths = 2.0;
  EXPECT_EQ(-2, getFirmwareVersion(kPort, &answer));
  server.withController([](pelvsim::Controller& c) { c.setBaud(57600); });
  EXPECT_EQ(0, getFirmwareVersion(kPort, &answer));
}

TEST_F(PosixSerial, LineSettingsReadBackAndRefuseUnknownSpeeds) {
  const PortHandle h = openSlot(38400);
  ASSERT_NE(kInvalidHandle, h);
  LineSettings line;
  ASSERT_TRUE(getLineSettings(h, &line));
  EXPECT_EQ(38400u, line.baudRate);
  EXPECT_EQ(8, line.byteSize);
  EXPECT_EQ(0, line.parity);
  EXPECT_EQ(0, line.stopBits);
  LineSettings odd = line;
  odd.baudRate = 12345;
  EXPECT_FALSE(setLineSettings(h, &odd));
  odd = line;
  odd.fNull = true;  // a tty cannot drop received 0x00 bytes
  EXPECT_FALSE(setLineSettings(h, &odd));
  ASSERT_TRUE(getLineSettings(h, &line));
  EXPECT_EQ(38400u, line.baudRate);
}

TEST_F(PosixSerial, TimeoutsAreKeptPerHandle) {
  const PortHandle h = openSlot();
  ASSERT_NE(kInvalidHandle, h);
  const CommTimeouts set{1, 2, 3, 4, 5};
  ASSERT_TRUE(setTimeouts(h, &set));
  CommTimeouts got;
  ASSERT_TRUE(getTimeouts(h, &got));
  EXPECT_EQ(1u, got.readIntervalTimeout);
  EXPECT_EQ(3u, got.readTotalTimeoutConstant);
  EXPECT_EQ(5u, got.writeTotalTimeoutConstant);
  EXPECT_FALSE(getTimeouts(kInvalidHandle, &got));
}

TEST_F(PosixSerial, SecondOpenOfAPortInUseIsRefused) {
  const PortHandle first = openDevice(devicePath().c_str(), kOpenAttributesNone);
  ASSERT_NE(kInvalidHandle, first);
  EXPECT_EQ(kInvalidHandle, openDevice(devicePath().c_str(), kOpenAttributesNormal));
  closeDevice(first);
  const PortHandle again = openDevice(devicePath().c_str(), kOpenAttributesNormal);
  EXPECT_NE(kInvalidHandle, again);
  closeDevice(again);
}

TEST_F(PosixSerial, MissingDeviceCannotBeOpened) {
  EXPECT_EQ(kInvalidHandle, openDevice("/dev/pelvane-no-such-port", 0));
  EXPECT_EQ(kInvalidHandle, openDevice("/dev/null", 0));  // not a terminal
}

// A line that goes away fails the status call at once: -1, not a wait for the deadline.
TEST_F(PosixSerial, DeviceThatDisappearsGivesMinusOne) {
  ASSERT_NE(kInvalidHandle, openSlot());
  Answer answer{};
  ASSERT_EQ(0, getFirmwareVersion(kPort, &answer));
  server.dropLine();
  slot(kPort).timeoutTenths = 0.0;  // no deadline: only the failure can end the wait
  armDeadline(kPort);
  std::uint8_t b = 0;
  EXPECT_EQ(-1, readByte(kPort, &b));
  // The purge is the first call to meet the dead line: -2 at once, with no
  // deadline set that could have produced it.
  EXPECT_EQ(-2, getFirmwareVersion(kPort, &answer));
  EXPECT_FALSE(hasAnswer(answer));
}

TEST_F(PosixSerial, LineLostWhileWaitingForTheAnswerGivesMinusOne) {
  ASSERT_NE(kInvalidHandle, openSlot());
  server.withController([](pelvsim::Controller& c) { c.faults().script(pelvsim::Fault::Silence); });
  slot(kPort).timeoutTenths = 0.0;  // no deadline
  std::thread dropper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    server.dropLine();
  });
  Answer answer{};
  EXPECT_EQ(-1, getFirmwareVersion(kPort, &answer));
  dropper.join();
}

TEST_F(PosixSerial, PauseForInputReturnsWhenInputArrives) {
  const PortHandle h = openSlot();
  ASSERT_NE(kInvalidHandle, h);
  const Bytes f = frame({0x02});
  ASSERT_TRUE(writeBytes(h, f.data(), static_cast<std::uint32_t>(f.size())));
  const auto start = std::chrono::steady_clock::now();
  pauseForInput(h, 20000);
  const auto waited = std::chrono::steady_clock::now() - start;
  // Returned because the acknowledgement came in, long before the 20 s.
  EXPECT_LT(waited, std::chrono::seconds(10));
  std::uint32_t errors = 1;
  std::uint32_t waiting = 0;
  ASSERT_TRUE(clearErrors(h, &errors, &waiting));
  EXPECT_EQ(0u, errors);
  EXPECT_GE(waiting, 1u);
}

TEST_F(PosixSerial, PurgeDropsInputAndEmptyReadEndsOnItsTimeout) {
  const PortHandle h = openSlot();
  ASSERT_NE(kInvalidHandle, h);
  const Bytes f = frame({0x02});
  ASSERT_TRUE(writeBytes(h, f.data(), static_cast<std::uint32_t>(f.size())));
  std::uint32_t errors = 0;
  std::uint32_t waiting = 0;
  ASSERT_TRUE(waitUntil([&] { return clearErrors(h, &errors, &waiting) && waiting >= 19; }, 2000));
  ASSERT_TRUE(purgeBuffers(h));
  ASSERT_TRUE(clearErrors(h, &errors, &waiting));
  EXPECT_EQ(0u, waiting);
  const CommTimeouts shortRead{0, 0, 20, 0, 1000};
  ASSERT_TRUE(setTimeouts(h, &shortRead));
  std::uint8_t b = 0x11;
  std::uint32_t delivered = 9;
  ASSERT_TRUE(readOneByte(h, &b, &delivered));
  EXPECT_EQ(0u, delivered);
  EXPECT_EQ(0x11, b);
}

TEST_F(PosixSerial, ClockIsMonotonicMilliseconds) {
  const std::int32_t a = clockMs();
  sleepMs(20);
  const std::int32_t b = clockMs();
  EXPECT_GE(b - a, 20);
}

TEST(PosixDevicePath, DefaultIsTtyUsbOfThePortNumberMinusOne) {
  char path[64];
  formatDevicePath(1, path, sizeof path);
  EXPECT_STREQ("/dev/ttyUSB0", path);
  formatDevicePath(256, path, sizeof path);
  EXPECT_STREQ("/dev/ttyUSB255", path);
  ASSERT_TRUE(setPortDevice(7, "/dev/pts/3"));
  formatDevicePath(7, path, sizeof path);
  EXPECT_STREQ("/dev/pts/3", path);
  ASSERT_TRUE(setPortDevice(7, ""));
  formatDevicePath(7, path, sizeof path);
  EXPECT_STREQ("/dev/ttyUSB6", path);
  EXPECT_FALSE(setPortDevice(0, "/dev/pts/3"));
  EXPECT_FALSE(setPortDevice(257, "/dev/pts/3"));
  // The longest accepted path comes back whole from the opening buffer; one
  // character more is refused.
  const std::string longest = "/dev/" + std::string(kDevicePathSize - 6, 'x');
  ASSERT_TRUE(setPortDevice(7, longest.c_str()));
  char whole[kDevicePathSize];
  formatDevicePath(7, whole, sizeof whole);
  EXPECT_EQ(longest, whole);
  EXPECT_FALSE(setPortDevice(7, (longest + "x").c_str()));
  ASSERT_TRUE(setPortDevice(7, nullptr));
}

// The error device enumeration ends with, as on Windows (ERROR_NO_MORE_ITEMS).
constexpr std::uint32_t kNoMoreItems = 259;

// A tty class folder of our own: bridges bound to cp210x and pl2303 get the
// names Windows shows, COM<n+1> for ttyUSB<n>; other drivers have no name.
class PosixDeviceNames : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelvane-tty-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root = pattern;
    namespace fs = std::filesystem;
    for (const char* d : {"cp210x", "pl2303", "ftdi_sio"}) fs::create_directories(root / "drivers" / d);
    const std::pair<const char*, const char*> ttys[] = {
        {"ttyUSB11", "cp210x"}, {"ttyUSB0", "cp210x"}, {"ttyUSB2", "pl2303"},
        {"ttyUSB1", "ftdi_sio"}, {"ttyS0", "serial8250"}, {"ttyUSBx", "cp210x"}};
    for (const auto& t : ttys) {
      fs::create_directories(root / t.first / "device");
      fs::create_symlink(root / "drivers" / t.second, root / t.first / "device" / "driver");
    }
    ASSERT_TRUE(pelvane::posixport::setTtyClassFolder(root.c_str()));
  }
  void TearDown() override {
    pelvane::posixport::setTtyClassFolder(nullptr);
    std::filesystem::remove_all(root);
  }
  std::filesystem::path root;
};

TEST_F(PosixDeviceNames, BridgesAreNamedInAscendingOrderWithTheirComNumbers) {
  const DeviceList list = openDeviceList();
  ASSERT_NE(kInvalidDeviceList, list);
  std::vector<std::string> names;
  DeviceInfo info;
  info.cbSize = 28;
  for (std::uint32_t i = 0; enumDevice(list, i, &info); ++i) {
    std::uint32_t required = 0;
    if (getFriendlyName(list, &info, nullptr, 0, &required)) {
      ADD_FAILURE() << "a size query cannot succeed";
      continue;
    }
    if (lastError() != kErrorInsufficientBuffer) {
      names.push_back("(none)");
      continue;
    }
    std::vector<char> name(required);
    EXPECT_FALSE(getFriendlyName(list, &info, name.data(), required - 1, &required));
    EXPECT_EQ(kErrorInsufficientBuffer, lastError());
    ASSERT_TRUE(getFriendlyName(list, &info, name.data(), required, &required));
    EXPECT_EQ(std::strlen(name.data()) + 1, required);
    names.push_back(name.data());
  }
  EXPECT_EQ(kNoMoreItems, lastError());
  closeDeviceList(list);
  EXPECT_EQ((std::vector<std::string>{"CP210x USB to UART Bridge Controller (COM1)", "(none)",
                                      "Prolific USB-to-Serial Comm Port (COM3)",
                                      "CP210x USB to UART Bridge Controller (COM12)"}),
            names);
}

// Each list belongs to the call that opened it: a discovery on another thread
// that closes its list leaves this one whole.
TEST_F(PosixDeviceNames, ListsOpenAtOnceAreIndependent) {
  const DeviceList first = openDeviceList();
  const DeviceList second = openDeviceList();
  ASSERT_NE(first, second);
  closeDeviceList(first);
  DeviceInfo info;
  std::vector<std::string> names;
  for (std::uint32_t i = 0; enumDevice(second, i, &info); ++i) {
    char name[96];
    std::uint32_t required = 0;
    names.push_back(getFriendlyName(second, &info, name, sizeof name, &required) ? name : "(none)");
  }
  closeDeviceList(second);
  EXPECT_EQ(4u, names.size());
  EXPECT_EQ("Prolific USB-to-Serial Comm Port (COM3)", names.at(2));
}

TEST_F(PosixDeviceNames, DiscoveryMarksTheBridgePorts) {
  std::int32_t presence[kPresenceSize] = {};
  EXPECT_EQ(0, discoverPorts(presence));
  for (int n = 0; n < kPresenceSize; ++n) {
    EXPECT_EQ(n == 1 || n == 3 || n == 12 ? 1 : 0, presence[n]) << n;
  }
}

// On this machine's own tty class folder the list holds one entry per ttyUSB<n>
// device there (none on most machines) and ends with "no more items".
TEST(PosixDeviceList, RealListHoldsEachTtyUsbDeviceAndEndsCleanly) {
  std::uint32_t present = 0;
  std::error_code e;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/tty", e)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 6 && name.compare(0, 6, "ttyUSB") == 0 &&
        name.find_first_not_of("0123456789", 6) == std::string::npos) {
      ++present;
    }
  }
  const DeviceList list = openDeviceList();
  ASSERT_NE(kInvalidDeviceList, list);
  DeviceInfo info;
  info.cbSize = 28;
  std::uint32_t listed = 0;
  while (listed <= present && enumDevice(list, listed, &info)) ++listed;
  EXPECT_EQ(present, listed);
  EXPECT_FALSE(enumDevice(list, listed, &info));
  EXPECT_EQ(kNoMoreItems, lastError());
  closeDeviceList(list);
}

}  // namespace
}  // namespace pelvring2
