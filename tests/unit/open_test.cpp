// Opening a port: time-outs, the speed trial, reader bring-up and the switch of
// a controller left at 9600 baud.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "faults.h"
#include "support/harness.h"
#include "link/frame.h"
#include "platform/simulated.h"
#include "port/port_table.h"
#include "command/dispatcher.h"
#include "port/ports.h"

namespace pelvane {
namespace {

using namespace pelvtest;
namespace ps = simport;

constexpr CommTimeouts kPortOwnTimeouts = {5, 6, 7, 8, 9};

const Bytes kFirmware = hex("02");
const Bytes kMaxRetries = hex("32 05 FF FF 04");
const Bytes kFieldOff = hex("32 01 00");

// Ports with simulated readers behind them, all closed at the start.
class OpenPort : public pelvtest::SimReaders {
 protected:
  void TearDown() override {
    EXPECT_LE(ps::openHandles(), slotOpen(kPort) ? 1 : 0) << "a handle was left open";
    SimReaders::TearDown();
  }

  pelvsim::Controller& addReader(int port, std::uint32_t baud = 115200) {
    pelvsim::Controller& c = SimReaders::addReader(port);
    c.setBaud(baud);
    ps::setInitialTimeouts(pathOf(port), kPortOwnTimeouts);
    return c;
  }
};

// Test names from each case's `what`.
template <typename Case>
std::string caseName(const ::testing::TestParamInfo<Case>& param) {
  std::string name;
  for (const char* c = param.param.what; *c != '\0'; ++c) {
    name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  }
  return name;
}

std::vector<Bytes> resetSequence() { return {kFirmware, kMaxRetries, kFieldOff}; }

TEST_F(OpenPort, ReaderAtTheFastestSpeedIsResetTwiceOverOneHandle) {
  pelvsim::Controller& reader = addReader(kPort, 115200);
  ASSERT_EQ(openPort(kPort, &opened_), 0);

  EXPECT_EQ(opened_, kPort);
  std::vector<Bytes> twice = resetSequence();
  for (const Bytes& b : resetSequence()) twice.push_back(b);
  EXPECT_EQ(reader.commands(), twice);
  EXPECT_EQ(eventValues(ps::Event::Open), std::vector<std::uint32_t>{kOpenAttributesNone});
  EXPECT_EQ(ps::openHandles(), 1);

  const PortSlot& s = slot(kPort);
  EXPECT_TRUE(slotOpen(kPort));
  EXPECT_EQ(s.portNumber, kPort);
  EXPECT_EQ(s.readerMode, kModeMifare);
  EXPECT_EQ(s.timeoutTenths, 10.0);
  EXPECT_NE(s.deadline, 0);
  EXPECT_FALSE(reader.rfFieldOn());

  // The port's own time-outs are kept for closing; ours are applied.
  EXPECT_TRUE(sameTimeouts(savedTimeouts(kPort), kPortOwnTimeouts));
  const CommTimeouts ours = {1000, 0, 1000, 0, 1000};
  EXPECT_TRUE(sameTimeouts(workingTimeouts(kPort), ours));
  CommTimeouts applied;
  ASSERT_TRUE(ps::timeoutsOf(pathOf(kPort), &applied));
  EXPECT_TRUE(sameTimeouts(applied, ours));

  LineSettings line;
  ASSERT_TRUE(ps::lineSettingsOf(pathOf(kPort), &line));
  EXPECT_EQ(line.baudRate, 115200u);
  EXPECT_EQ(line.byteSize, 8);
  EXPECT_EQ(line.parity, 0);
  EXPECT_EQ(line.stopBits, 0);
  EXPECT_FALSE(line.fNull);
}

TEST_F(OpenPort, ReaderLeftAt9600IsSwitchedAndThePortReopened) {
  pelvsim::Controller& reader = addReader(kPort, 9600);
  ASSERT_EQ(openPort(kPort, &opened_), 0);
  EXPECT_EQ(opened_, kPort);

  // The reset at 115200 reaches the controller as noise; at 9600 it is told to
  // switch to 115200, and one reset runs at the new speed.
  std::vector<Bytes> expected = {hex("10 04")};
  for (const Bytes& b : resetSequence()) expected.push_back(b);
  EXPECT_EQ(reader.commands(), expected);
  EXPECT_EQ(reader.baud(), 115200u);

  // 115200 trial, 9600 for the switch, 115200 again on the reopened handle.
  EXPECT_EQ(eventValues(ps::Event::SetLine), (std::vector<std::uint32_t>{115200, 9600, 115200}));
  EXPECT_EQ(eventValues(ps::Event::Open),
            (std::vector<std::uint32_t>{kOpenAttributesNone, kOpenAttributesNormal}));
  EXPECT_EQ(eventValues(ps::Event::SetTimeouts).size(), 1u) << "time-outs set on the first handle only";
  EXPECT_TRUE(sameTimeouts(savedTimeouts(kPort), kPortOwnTimeouts));

  // After the switch frame: ACK, purge, ACK, close, reopen.
  const Bytes ack = ACK();
  std::vector<ps::Event::Kind> afterSwitch;
  bool seen = false;
  for (const ps::Event& e : ps::events()) {
    if (e.kind == ps::Event::Write && e.bytes == frame(hex("10 04"))) {
      seen = true;
      continue;
    }
    if (!seen || e.kind == ps::Event::Sleep) continue;
    if (e.kind == ps::Event::Write) {
      EXPECT_EQ(e.bytes, ack);
    }
    afterSwitch.push_back(e.kind);
    if (e.kind == ps::Event::Open) break;
  }
  EXPECT_EQ(afterSwitch, (std::vector<ps::Event::Kind>{ps::Event::Write, ps::Event::Purge,
                                                       ps::Event::Write, ps::Event::Close,
                                                       ps::Event::Open}));
  EXPECT_EQ(slot(kPort).readerMode, kModeMifare);
  EXPECT_EQ(ps::openHandles(), 1);
}

TEST_F(OpenPort, FailedPurgeBeforeReopenWritesTheAckOnce) {
  // The purges of the run, counted: the one right after the first ACK is refused.
  addReader(kPort, 9600);
  ASSERT_EQ(openPort(kPort, &opened_), 0);
  const Bytes ack = ACK();
  int purgesBeforeAck = 0;
  for (const ps::Event& e : ps::events()) {
    if (e.kind == ps::Event::Write && e.bytes == ack) break;
    if (e.kind == ps::Event::Purge) ++purgesBeforeAck;
  }

  TearDown();
  readers_.clear();
  SetUp();
  addReader(kPort, 9600);
  ps::failCall(ps::Call::Purge, purgesBeforeAck, 1);
  EXPECT_EQ(openPort(kPort, &opened_), 0);
  int acks = 0;
  for (const Bytes& w : ps::writes()) acks += w == ack ? 1 : 0;
  EXPECT_EQ(acks, 1);
}

// The first reset sequence uses up its whole deadline, so the speed switch and
// the reset over the reopened handle each need a deadline of their own. A slow
// controller (250 ms from command to ACK) shows it: the switch would time out
// under the spent deadline, and the four exchanges together take over 1000 ms.
TEST_F(OpenPort, SwitchAndReopenedResetEachRunUnderAFreshDeadline) {
  pelvsim::Controller& reader = addReader(kPort, 9600);
  reader.setAnswerDelayUs(250000);
  ASSERT_EQ(openPort(kPort, &opened_), 0);
  EXPECT_EQ(reader.baud(), 115200u);

  std::int32_t reopenedAtMs = -1;
  for (const ps::Event& e : ps::events()) {
    if (e.kind == ps::Event::Open && e.value == kOpenAttributesNormal) reopenedAtMs = e.timeMs;
  }
  ASSERT_NE(reopenedAtMs, -1);
  EXPECT_EQ(slot(kPort).deadline, reopenedAtMs + 1000) << "armed again once the port is reopened";
}

// The speed trial runs from 115200 down to 9600 and keeps the first speed the
// port accepts; a controller at another speed is switched to it.
struct SpeedCase {
  const char* what;
  std::vector<std::uint32_t> accepted;  // empty: every speed
  std::uint32_t readerBaud;
  bool firstCommandLost;
  std::vector<std::uint32_t> trial;
  int switchCode;  // -1: no switch
};

class SpeedTrial : public OpenPort, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(SpeedTrial, ChoosesTheFastestAcceptedSpeed) {
  const SpeedCase& c = GetParam();
  pelvsim::Controller& reader = addReader(kPort, c.readerBaud);
  if (!c.accepted.empty()) ps::setAcceptedSpeeds(pathOf(kPort), c.accepted);
  if (c.firstCommandLost) reader.faults().script(pelvsim::Fault::Silence, 1);
  ASSERT_EQ(openPort(kPort, &opened_), 0);

  const std::vector<std::uint32_t> lines = eventValues(ps::Event::SetLine);
  ASSERT_GE(lines.size(), c.trial.size());
  EXPECT_EQ(std::vector<std::uint32_t>(lines.begin(), lines.begin() + c.trial.size()), c.trial);
  const std::uint32_t chosen = c.trial.back();

  std::vector<std::uint32_t> rest(lines.begin() + c.trial.size(), lines.end());
  if (c.switchCode < 0) {
    EXPECT_TRUE(rest.empty());
    EXPECT_EQ(eventValues(ps::Event::Open).size(), 1u);
  } else {
    const Bytes switchCommand = {0x10, static_cast<std::uint8_t>(c.switchCode)};
    EXPECT_EQ(std::count(reader.commands().begin(), reader.commands().end(), switchCommand), 1);
    // 9600 for the switch, then the chosen speed unless that is 9600 itself.
    std::vector<std::uint32_t> expected = {9600};
    if (chosen != 9600) expected.push_back(chosen);
    EXPECT_EQ(rest, expected);
    EXPECT_EQ(eventValues(ps::Event::Open).size(), 2u);
  }
  EXPECT_EQ(reader.baud(), chosen);
  LineSettings line;
  ASSERT_TRUE(ps::lineSettingsOf(pathOf(kPort), &line));
  EXPECT_EQ(line.baudRate, chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, SpeedTrial,
    ::testing::Values(
        SpeedCase{"every speed, reader at 115200", {}, 115200, false, {115200}, -1},
        SpeedCase{"every speed, reader at 9600", {}, 9600, false, {115200}, 4},
        SpeedCase{"57600 only, reader there", {57600}, 57600, false, {115200, 57600}, -1},
        SpeedCase{"38400 and 9600, reader at 9600", {38400, 9600}, 9600, false,
                  {115200, 57600, 38400}, 2},
        SpeedCase{"9600 only, reader there", {9600}, 9600, false,
                  {115200, 57600, 38400, 19200, 9600}, -1},
        SpeedCase{"9600 only, first reset lost", {9600}, 9600, true,
                  {115200, 57600, 38400, 19200, 9600}, 0}),
    caseName<SpeedCase>);

// Every failure closes the handle and returns 1; from the line settings on, the
// port number has already been reported. The last trace line names the step.
struct FailureCase {
  const char* what;
  std::uint32_t readerBaud;  // 0: a device that never answers
  void (*arrange)(pelvsim::Controller* reader);
  bool reported;
  const char* lastTrace;
};

std::vector<std::string> traced;
void collectTrace(const char* line) { traced.emplace_back(line); }

class OpenFailure : public OpenPort, public ::testing::WithParamInterface<FailureCase> {
 protected:
  void SetUp() override {
    OpenPort::SetUp();
    traced.clear();
    setTraceSink(&collectTrace);
  }
  void TearDown() override {
    setTraceSink(nullptr);
    OpenPort::TearDown();
  }
};

TEST_P(OpenFailure, LeavesTheSlotClosed) {
  const FailureCase& c = GetParam();
  pelvsim::Controller* reader = nullptr;
  if (c.readerBaud == 0) {
    ps::addDevice(pathOf(kPort), nullptr);
  } else {
    reader = &addReader(kPort, c.readerBaud);
  }
  if (c.arrange != nullptr) c.arrange(reader);

  EXPECT_EQ(openPort(kPort, &opened_), 1);
  EXPECT_FALSE(slotOpen(kPort));
  EXPECT_EQ(ps::openHandles(), 0);
  EXPECT_EQ(opened_, c.reported ? kPort : kUnwritten);
  EXPECT_EQ(slot(kPort).portNumber, c.reported ? kPort : -1);
  ASSERT_FALSE(traced.empty());
  for (const std::string& line : traced) EXPECT_EQ(line.rfind("open: COM3: ", 0), 0u) << line;
  EXPECT_NE(traced.back().find(c.lastTrace), std::string::npos) << traced.back();
  EXPECT_EQ(traced.back().back(), '\n');
}

// The lines a user acts on, whole: the port held by another program, and no such port.
TEST_F(OpenFailure, NamesTheCallTheErrorAndWhatToCheck) {
  ps::addDevice(pathOf(kPort), nullptr);
  const PortHandle other = openDevice(pathOf(kPort).c_str(), kOpenAttributesNone);
  EXPECT_EQ(openPort(kPort, &opened_), 1);
  closeDevice(other);
  EXPECT_EQ(openPort(kPort + 1, &opened_), 1);
  EXPECT_EQ(traced, (std::vector<std::string>{
      "open: COM3: CreateFileA failed, error 5 (access denied): is another program using the port?\n",
      "open: COM4: CreateFileA failed, error 2 (file not found): is the reader plugged in, and is "
      "this its port number?\n"}));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OpenFailure,
    ::testing::Values(
        FailureCase{"device refused", 115200, [](pelvsim::Controller*) {
                      ps::failCall(ps::Call::OpenDevice);
                    }, false,
                  "CreateFileA failed, error 31 (a device attached to the system is not functioning)"},
        FailureCase{"time-outs unreadable", 115200, [](pelvsim::Controller*) {
                      ps::failCall(ps::Call::GetTimeouts);
                    }, false,
                  "GetCommTimeouts failed, error 31"},
        FailureCase{"time-outs refused", 115200, [](pelvsim::Controller*) {
                      ps::failCall(ps::Call::SetTimeouts);
                    }, false,
                  "SetCommTimeouts failed, error 31"},
        FailureCase{"line settings unreadable", 115200, [](pelvsim::Controller*) {
                      ps::failCall(ps::Call::GetLineSettings);
                    }, true,
                  "GetCommState failed, error 31"},
        FailureCase{"no speed accepted", 115200, [](pelvsim::Controller*) {
                      ps::setAcceptedSpeeds(pathOf(kPort), {1200});
                    }, true,
                  "SetCommState failed at every speed from 115200 down to 9600 baud"},
        FailureCase{"second reset unanswered", 115200, [](pelvsim::Controller* r) {
                      r->faults().script(pelvsim::Fault::Silence, 1, 3);
                    }, true,
                  "no answer to the second reset sequence at 115200 baud (link code -2, time-out)"},
        FailureCase{"line unreadable before the switch", 9600, [](pelvsim::Controller*) {
                      ps::failCall(ps::Call::GetLineSettings, 1);
                    }, true,
                  "GetCommState failed"},
        FailureCase{"switch unanswered", 0, nullptr, true,
                  "no answer to SetSerialBaudRate at 9600 baud (link code -2, time-out)"},
        FailureCase{"reopen refused", 9600, [](pelvsim::Controller*) {
                      ps::failCall(ps::Call::OpenDevice, 1);
                    }, true,
                  "CreateFileA failed"},
        FailureCase{"line refused after the reopen", 9600, [](pelvsim::Controller*) {
                      ps::failCall(ps::Call::SetLineSettings, 2);
                    }, true,
                  "SetCommState failed at 115200 baud"},
        FailureCase{"no answer at the new speed", 9600, [](pelvsim::Controller* r) {
                      r->faults().script(pelvsim::Fault::Silence, 1, 1);
                    }, true,
                  "no answer to GetFirmwareVersion after the speed switch at 115200 baud"},
        FailureCase{"only NACKs, never a firmware version", 115200, [](pelvsim::Controller* r) {
                      r->faults().script(pelvsim::Fault::Nack, 100);
                    }, true,
                  "no answer to SetSerialBaudRate at 9600 baud (link code -2, time-out)"}),
    caseName<FailureCase>);

TEST_F(OpenPort, OpenSlotIsLeftAsItWas) {
  addReader(kPort);
  ASSERT_EQ(openPort(kPort, &opened_), 0);
  const PortHandle handle = slot(kPort).handle;
  slot(kPort).readerMode = kModeTypeB;
  ps::clearEvents();
  opened_ = kUnwritten;

  EXPECT_EQ(openPort(kPort, &opened_), 1);
  EXPECT_EQ(slot(kPort).handle, handle);
  EXPECT_EQ(slot(kPort).readerMode, kModeTypeB);
  EXPECT_EQ(opened_, kUnwritten);
  EXPECT_TRUE(ps::events().empty());
}

TEST_F(OpenPort, PortOutsideTheTableOpensNothing) {
  for (int port : {0, 257, -1}) {
    EXPECT_EQ(openPort(port, &opened_), 1) << port;
  }
  EXPECT_EQ(opened_, kUnwritten);
  EXPECT_TRUE(ps::events().empty());
}

TEST_F(OpenPort, NullOpenedPortIsNotWritten) {
  addReader(kPort);
  EXPECT_EQ(openPort(kPort, nullptr), 0);
  EXPECT_TRUE(slotOpen(kPort));
  EXPECT_EQ(slot(kPort).portNumber, kPort);
  EXPECT_EQ(slot(kPort).readerMode, kModeMifare);
  EXPECT_EQ(ps::openHandles(), 1);
}

// resetReader against canned answers, byte for byte.
class ResetReader : public pelvtest::LinkTest {};

// With or without places for the IC and version, the same three commands go out.
TEST_F(ResetReader, SendsTheThreeCommandsAndYieldsIcAndVersion) {
  for (bool outputs : {true, false}) {
    ps::clearEvents();
    far.reply(cat(ACK(), answer(hex("03 32 01 06 07"))));
    far.reply(cat(ACK(), answer(hex("33"))));
    far.reply(cat(ACK(), answer(hex("33"))));
    arm(10.0);
    std::uint8_t ic = 0, version = 0;
    EXPECT_EQ(resetReader(pelvtest::kPort, outputs ? &ic : nullptr, outputs ? &version : nullptr), 0);
    EXPECT_EQ(ic, outputs ? 0x32 : 0x00);
    EXPECT_EQ(version, outputs ? 0x01 : 0x00);
    EXPECT_EQ(written(), (std::vector<Bytes>{frame(kFirmware), frame(kMaxRetries), frame(kFieldOff)}));
  }
}

struct ResetCase {
  const char* what;
  std::vector<Bytes> replies;
  std::int32_t code;
  std::size_t framesWritten;
};

class ResetFailure : public ResetReader, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetFailure, ReportsTheFirstFailureAndYieldsNothing) {
  for (const Bytes& r : GetParam().replies) far.reply(r);
  arm(10.0);
  std::uint8_t ic = 0xEE, version = 0xEE;
  EXPECT_EQ(resetReader(pelvtest::kPort, &ic, &version), GetParam().code);
  EXPECT_EQ(written().size(), GetParam().framesWritten);
  EXPECT_EQ(ic, 0xEE);
  EXPECT_EQ(version, 0xEE);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ResetFailure,
    ::testing::Values(
        ResetCase{"silent", {}, -2, 1},
        ResetCase{"NACK to the firmware request", {NACK()}, -1, 1},
        ResetCase{"firmware answer without a version", {cat(ACK(), answer(hex("03 32")))}, -1, 1},
        ResetCase{"firmware answer without data", {cat(ACK(), answer(hex("03")))}, -1, 1},
        ResetCase{"bad checksum", {cat(ACK(), hex("00 00 FF 06 F9 D5 03 32 01 06 07 00 00"))}, -1, 1},
        ResetCase{"max retries unanswered", {cat(ACK(), answer(hex("03 32 01 06 07")))}, -2, 2},
        ResetCase{"field off unanswered",
                  {cat(ACK(), answer(hex("03 32 01 06 07"))), cat(ACK(), answer(hex("33")))}, -2, 3}),
    caseName<ResetCase>);

class LineRate : public pelvtest::LinkTest {};

TEST_F(LineRate, SetsSpeedAndFrameFormatAndKeepsZeroBytes) {
  LineSettings odd;
  ASSERT_TRUE(getLineSettings(portSlot().handle, &odd));
  odd.byteSize = 7;
  odd.parity = 2;
  odd.stopBits = 2;
  odd.fNull = true;
  ASSERT_TRUE(setLineSettings(portSlot().handle, &odd));

  EXPECT_EQ(setLineRate(pelvtest::kPort, 19200), 0);
  LineSettings line;
  ASSERT_TRUE(ps::lineSettingsOf(pelvtest::kPath, &line));
  EXPECT_EQ(line.baudRate, 19200u);
  EXPECT_EQ(line.byteSize, 8);
  EXPECT_EQ(line.parity, 0);
  EXPECT_EQ(line.stopBits, 0);
  EXPECT_FALSE(line.fNull);
  EXPECT_EQ(portSlot().lineSettings.baudRate, 19200u);
}

TEST_F(LineRate, UnreadableSettingsCloseTheHandle) {
  ps::failCall(ps::Call::GetLineSettings);
  EXPECT_EQ(setLineRate(pelvtest::kPort, 9600), -1);
  EXPECT_FALSE(slotOpen(pelvtest::kPort));
  EXPECT_EQ(ps::openHandles(), 0);
}

TEST_F(LineRate, RefusedSettingsCloseTheHandle) {
  ps::failCall(ps::Call::SetLineSettings);
  EXPECT_EQ(setLineRate(pelvtest::kPort, 9600), -1);
  EXPECT_FALSE(slotOpen(pelvtest::kPort));
  EXPECT_EQ(ps::openHandles(), 0);
}

}  // namespace
}  // namespace pelvane
