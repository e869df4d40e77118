// Shared harness of the unit tests (ring 1): the simulated platform, the port
// table and a far side behind one open port, plus helpers that spell frames the
// way the reader's protocol does. Include it as "support/harness.h".
//
// Fixtures (all in namespace pelvtest):
//   LinkTest      port kPort (3) open on device kPath ("\\.\COM3") whose far side
//                 is a ScriptedFarSide `far`: canned replies, byte-exact.
//   SimReaderTest the same port wired to a pelvsim::Controller `controller`
//                 (through ControllerFarSide); the line runs at the controller's
//                 speed. Use it for whole commands against virtual cards.
// Both reset the simulated platform (virtual clock at kStartMs) and the port
// table, open the device with openDevice, and set the slot by hand: handle,
// portNumber 3, ReaderMode 3 (kModeMifare), timeoutTenths 10.0, deadline 0.
// LinkTest's line runs at 115200 baud. The event record is cleared after set-up,
// so events()/writes() show only what the test caused. Call arm(tenths) to set
// timeoutTenths and arm the deadline from now. Far-side times (atUs, delayUs)
// are simport::nowUs() microseconds, which start at 0 in SetUp.
//
// Bytes, frames, card constants, the command list and the far sides come from
// hex.h, frames.h, cards.h, commands.h and sim_port.h, included here.
//
// SimReaders: ports with simulated readers behind them, all closed at the start;
// addReader(port) puts a pelvsim::Controller on pathOf(port) (or on a path given).
// Assertions on records: written() (frames the host wrote, one per WriteFile;
// writtenHex() the same as "00 00 FF ..." strings),
// sleeps() (ms of every Sleep/pause), elapsedMs() (virtual ms since set-up).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "controller.h"
#include "platform/platform.h"
#include "platform/simulated.h"
#include "port/port_table.h"
#include "support/cards.h"
#include "support/commands.h"
#include "support/frames.h"
#include "support/hex.h"
#include "support/sim_port.h"

namespace pelvtest {

// Values a call must overwrite, and the filler of buffers it must not touch.
constexpr std::int32_t kUnwritten = -77;
constexpr std::uint8_t kUntouched = 0xEE;

bool sameTimeouts(const pelvane::CommTimeouts& a, const pelvane::CommTimeouts& b);
// The values of the recorded platform events of one kind, in order.
std::vector<std::uint32_t> eventValues(pelvane::simport::Event::Kind kind);

// Common set-up: clean platform and table, one open port on kPath.
class PortFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual pelvane::simport::FarSide* farSide() = 0;
  virtual std::uint32_t lineBaud() { return 115200; }

  pelvane::PortSlot& portSlot() { return pelvane::slot(kPort); }
  void arm(double tenths);  // timeoutTenths := tenths, then armDeadline
  std::vector<Bytes> written() const { return pelvane::simport::writes(); }
  // The same as hex text, for readable failure messages: EXPECT_EQ(list, writtenHex()).
  std::vector<std::string> writtenHex() const;
  std::vector<std::uint32_t> sleeps() const {
    return eventValues(pelvane::simport::Event::Sleep);
  }
  std::int32_t elapsedMs() const { return pelvane::simport::nowMs() - startMs_; }

  std::int32_t startMs_ = kStartMs;
};

class LinkTest : public PortFixture {
 protected:
  pelvane::simport::FarSide* farSide() override { return &far; }
  ScriptedFarSide far;
};

class SimReaderTest : public PortFixture {
 protected:
  pelvane::simport::FarSide* farSide() override { return &controllerSide; }
  std::uint32_t lineBaud() override { return controller.baud(); }
  pelvsim::Controller controller;
  ControllerFarSide controllerSide{controller};
};

// Closed ports with simulated readers behind them; a clean platform and table.
class SimReaders : public ::testing::Test {
 protected:
  struct Reader {
    pelvsim::Controller controller;
    ControllerFarSide side{controller};
  };
  void SetUp() override;
  void TearDown() override;
  pelvsim::Controller& addReader(int port, const std::string& path = "");

  std::vector<std::unique_ptr<Reader>> readers_;
  std::int32_t opened_ = kUnwritten;
};

}  // namespace pelvtest
