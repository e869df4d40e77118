// Ring 2 resources: open/close cycles over a real pseudo-terminal leave no file
// descriptor behind. Every one of the 10,000 cycles runs, however long the machine
// takes (1 to 5 ms a cycle on an idle one); the time taken is printed as a figure.
#include <dirent.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "integration/support.h"
#include "pelvane.h"
#include "port/port_table.h"

namespace pelvring2 {
namespace {

int openDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n - 1;  // the directory's own descriptor
}

constexpr int kCycles = 10000;

using Resources = PtyTest;

TEST_F(Resources, OpenCloseCyclesLeaveNoDescriptorOpen) {
  std::int32_t opened = 0;
  // One cycle first: anything opened once and kept (the clock, the C library)
  // is not a leak.
  ASSERT_EQ(RF_OPEN(kPort, &opened), 0);
  ASSERT_EQ(RF_CLOSE(kPort), 0);
  const int before = openDescriptors();
  ASSERT_GT(before, 0);

  const auto start = std::chrono::steady_clock::now();
  int done = 0;
  int failed = 0;
  std::uint8_t response[PELVANE_RESPONSE_MAX];
  const std::uint8_t readGpio[] = {0x02, 0xF5};
  while (done < kCycles) {
    if (RF_OPEN(kPort, &opened) != 0) {
      ++failed;
    } else {
      // Every tenth cycle also runs a command, so the port is used, not just opened.
      if (done % 10 == 0 && RF_COMMAND(kPort, readGpio, response) != 0) ++failed;
      if (RF_CLOSE(kPort) != 0) ++failed;
    }
    ++done;
    if (done % 500 == 0) {
      const int now = openDescriptors();
      ASSERT_EQ(now, before) << "after " << done << " cycles";
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ figures  ] RF_OPEN/RF_CLOSE over a pty: %d cycles in %.1f s (%.2f ms each)\n", done,
              seconds, 1000.0 * seconds / done);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_FALSE(pelvane::slotOpen(kPort));
}

TEST_F(Resources, FailedOpensLeaveNoDescriptorOpen) {
  // A port whose device does not exist, and one whose reader never answers.
  const int before = openDescriptors();
  ASSERT_TRUE(pelvane::setPortDevice(9, "/nonexistent/ttyUSB99"));
  server.withController([](pelvsim::Controller& c) { c.setBaud(2400); });
  for (int i = 0; i < 20; ++i) {
    std::int32_t opened = 0;
    EXPECT_EQ(RF_OPEN(9, &opened), 1);
    if (i < 3) {
      EXPECT_EQ(RF_OPEN(kPort, &opened), 1);
    }
  }
  pelvane::setPortDevice(9, nullptr);
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace pelvring2
