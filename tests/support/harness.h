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
// Frame spelling:
//   hex("00 00 FF 00 FF 00")  bytes from hex text (spaces optional)
//   frame(payload)            host frame: 00 00 FF LEN LCS D4 payload DCS 00
//                             (extended above 246 bytes); built here, not by buildFrame
//   answer(bytes)             reader frame with TFI D5: answer(hex("03 32 01 06 07"))
//                             (extended when more than 254 answer bytes)
//   answerExtended(bytes)     the same as an extended frame (00 00 FF FF FF LENM LENL ...)
//   ACK(), NACK()             00 00 FF 00 FF 00 and 00 00 FF FF 00 00
//   cat(a, b, ...)            concatenation
//   toHex(bytes)              "00 00 FF ..." for failure messages
//
// ScriptedFarSide:
//   far.reply(bytes, delayUs)   answers the next host write with `bytes`, arriving
//                               delayUs after the write (queued: one per write, in order;
//                               every write counts, raw ACK frames too: reply({})
//                               lets one pass unanswered)
//   far.replyToEvery(fn)        when the queue is empty, fn(written) gives the reply
//                               (e.g. a LEN 3 answer for every poll)
//   far.arriveAt(bytes, atUs)   bytes that reach the host at virtual time atUs
//   far.perByteUs               spacing of the bytes of one reply (0: all at once)
//   far.received                every host write, with its time and baud
// Assertions on records: written() (frames the host wrote, one per WriteFile;
// writtenHex() the same as "00 00 FF ..." strings),
// sleeps() (ms of every Sleep/pause), elapsedMs() (virtual ms since set-up),
// EXPECT_BYTES(expected, actual) prints both in hex when they differ.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "controller.h"
#include "platform/platform.h"
#include "platform/simulated.h"
#include "port/port_table.h"

namespace pelvtest {

using Bytes = std::vector<std::uint8_t>;

constexpr int kPort = 3;
constexpr const char* kPath = "\\\\.\\COM3";
constexpr std::int32_t kStartMs = 100000;

Bytes hex(const std::string& text);
std::string toHex(const Bytes& bytes);
Bytes frame(const Bytes& payload);
Bytes answer(const Bytes& answerBytes);
Bytes answerExtended(const Bytes& answerBytes);
Bytes ACK();
Bytes NACK();

inline Bytes cat(const Bytes& a) { return a; }
template <typename... Rest>
Bytes cat(const Bytes& a, const Bytes& b, const Rest&... rest) {
  Bytes all = a;
  all.insert(all.end(), b.begin(), b.end());
  return cat(all, rest...);
}

#define EXPECT_BYTES(expected, actual) \
  EXPECT_EQ(::pelvtest::toHex(expected), ::pelvtest::toHex(actual))

// A far side that answers with canned bytes at chosen virtual times.
class ScriptedFarSide : public pelvane::simport::FarSide {
 public:
  struct Write {
    Bytes bytes;
    std::uint64_t atUs;
    std::uint32_t baud;
  };
  using Responder = std::function<Bytes(const Bytes& written)>;

  void reply(const Bytes& bytes, std::uint64_t delayUs = 0);
  void replyToEvery(Responder responder);
  void arriveAt(const Bytes& bytes, std::uint64_t atUs);
  // Bytes queued and not yet taken by the host (arrived or not).
  std::size_t pending() const;

  std::uint64_t perByteUs = 0;
  std::vector<Write> received;
  bool keepRecord = true;  // off for very long runs

  void hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                 std::uint32_t hostBaud) override;
  std::size_t available(std::uint64_t nowUs) override;
  int pop(std::uint64_t nowUs) override;
  void dropArrived(std::uint64_t nowUs) override;

 private:
  struct Timed {
    std::uint64_t atUs;
    std::uint8_t byte;
  };
  struct Scripted {
    Bytes bytes;
    std::uint64_t delayUs;
  };
  void place(const Bytes& bytes, std::uint64_t startUs);
  std::deque<Scripted> script_;
  Responder responder_;
  std::deque<Timed> line_;  // ordered by arrival time
};

// Connects a pelvsim::Controller to the simulated line.
class ControllerFarSide : public pelvane::simport::FarSide {
 public:
  explicit ControllerFarSide(pelvsim::Controller& controller) : controller_(controller) {}
  void hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                 std::uint32_t hostBaud) override;
  std::size_t available(std::uint64_t nowUs) override;
  int pop(std::uint64_t nowUs) override;
  void dropArrived(std::uint64_t nowUs) override;

 private:
  pelvsim::Controller& controller_;
};

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
  std::vector<std::uint32_t> sleeps() const;
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

}  // namespace pelvtest
