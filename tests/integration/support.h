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
//   hex(), frame() spell bytes and host frames as the unit harness does.
//   waitUntil(fn, ms) polls fn every millisecond, true once it holds.
// Times here are real; keep waits short and assert outcomes, never durations.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "port/port_table.h"
#include "pty_server.h"

namespace pelvring2 {

using Bytes = std::vector<std::uint8_t>;

inline Bytes hex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
    const int v = std::isdigit(static_cast<unsigned char>(c))
                      ? c - '0'
                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

// 00 00 FF LEN LCS D4 payload DCS 00 (normal frames: payloads up to 246 bytes).
inline Bytes frame(const Bytes& payload) {
  const auto len = static_cast<std::uint8_t>(payload.size() + 1);
  Bytes f = {0x00, 0x00, 0xFF, len, static_cast<std::uint8_t>(-len), 0xD4};
  int sum = 0xD4;
  for (std::uint8_t b : payload) {
    f.push_back(b);
    sum += b;
  }
  f.push_back(static_cast<std::uint8_t>(-sum));
  f.push_back(0x00);
  return f;
}

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

  std::string devicePath(int port = kPort) const {
    char path[300];
    pelvane::formatDevicePath(port, path, sizeof path);
    return path;
  }

  pelvane::PortHandle openSlot(std::uint32_t baud = 115200) {
    const pelvane::PortHandle h =
        pelvane::openDevice(devicePath().c_str(), pelvane::kOpenAttributesNone);
    if (h == pelvane::kInvalidHandle) return h;
    const pelvane::CommTimeouts t{1000, 0, 1000, 0, 1000};
    pelvane::LineSettings line;
    if (!pelvane::setTimeouts(h, &t) || !pelvane::getLineSettings(h, &line)) {
      pelvane::closeDevice(h);
      return pelvane::kInvalidHandle;
    }
    line.baudRate = baud;
    line.byteSize = 8;
    line.parity = 0;
    line.stopBits = 0;
    line.fNull = false;
    if (!pelvane::setLineSettings(h, &line)) {
      pelvane::closeDevice(h);
      return pelvane::kInvalidHandle;
    }
    pelvane::PortSlot& s = pelvane::slot(kPort);
    s.handle = h;
    s.portNumber = kPort;
    s.lineSettings = line;
    s.readerMode = pelvane::kModeMifare;
    s.timeoutTenths = 10.0;
    s.deadline = 0;
    return h;
  }

  pelvsim::PtyServer server;
};

}  // namespace pelvring2
