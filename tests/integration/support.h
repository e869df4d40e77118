// Shared helpers of the integration tests (ring 2): the real POSIX platform
// against the simulated controller served on a pseudo-terminal in real time.
//
//   PtyTest        fixture: a fresh port table, a pelvsim::PtyServer `server`
//                  started on a new pseudo-terminal, and port kPort (5) pointed at
//                  its slave with setPortDevice. TearDown closes every slot still
//                  open, restores the default path and stops the server.
//   openSlot()     opens kPort's device straight into its slot the way opening
//                  leaves it (115200 8N1, time-outs 1000/0/1000/0/1000,
//                  ReaderMode 3, timeoutTenths 10.0), without the bring-up
//                  exchanges; for link-level tests. Use openPort for the real thing.
//   devicePath()   the path formatDevicePath gives kPort (the pty slave).
//   hex(), frame() and the rest of tests/support/hex.h and frames.h.
//   waitUntil(fn, ms) polls fn every millisecond, true once it holds.
// Times here are real; keep waits short and assert outcomes, never durations.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "port/port_table.h"
#include "pty_server.h"
#include "support/frames.h"
#include "support/hex.h"
#include "support/slot.h"

namespace pelvring2 {

using namespace pelvtest;

inline bool waitUntil(const std::function<bool()>& fn, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!fn()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class PtyTest : public ::testing::Test {
 protected:
  static constexpr int kPort = 5;

  void SetUp() override {
    pelvane::setUpPortTable();
    std::string error;
    ASSERT_TRUE(server.open(&error)) << error;
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(pelvane::setPortDevice(kPort, server.slavePath().c_str()));
  }

  void TearDown() override {
    for (int p = 1; p <= pelvane::kPortCount; ++p) {
      if (pelvane::slotOpen(p)) pelvane::dropHandle(p);
    }
    pelvane::setPortDevice(kPort, nullptr);
    server.stop();
  }

  std::string devicePath(int port = kPort) const { return pathOf(port); }

  pelvane::PortHandle openSlot(std::uint32_t baud = 115200) {
    return openIntoSlot(kPort, devicePath(), baud, 10.0) ? pelvane::slot(kPort).handle.load()
                                                         : pelvane::kInvalidHandle;
  }

  pelvsim::PtyServer server;
};

}  // namespace pelvring2
