// The faster serial line a host asks for with PV_SetLineSpeed: the switch after
// the bring-up, the fallback to 115200, the switch back at closing, and a reader
// left fast by a program that ended without closing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/dispatcher.h"
#include "faults.h"
#include "link/frame.h"
#include "pelvane.h"
#include "platform/simulated.h"
#include "port/line_speed.h"
#include "port/port_table.h"
#include "port/ports.h"
#include "support/harness.h"

namespace pelvane {
namespace {

using namespace pelvtest;
namespace ps = simport;

const std::vector<Bytes> kReset = {hex("02"), hex("32 05 FF FF 04"), hex("32 01 00")};

std::vector<Bytes> resets(int times) {
  std::vector<Bytes> all;
  for (int k = 0; k < times; ++k) all.insert(all.end(), kReset.begin(), kReset.end());
  return all;
}

std::vector<std::string> lines;
void keepLine(const char* line) { lines.emplace_back(line); }

class FastLine : public SimReaders {
 protected:
  void SetUp() override {
    SimReaders::SetUp();
    lines.clear();
    setTraceSink(&keepLine);
  }
  void TearDown() override {
    setTraceSink(nullptr);
    setRequestedSpeed(0, 0);
    setRequestedSpeed(kPort, 0);
    SimReaders::TearDown();
  }
  std::uint32_t lineSpeed() {
    LineSettings line;
    EXPECT_TRUE(ps::lineSettingsOf(pathOf(kPort), &line));
    return line.baudRate;
  }
  // Writes, speed changes and the switch's settle pause (2 ms) from the write of
  // `from` on; the byte reader's 1 ms pauses left out.
  static std::vector<std::string> stepsFrom(const Bytes& from) {
    std::vector<std::string> steps;
    bool seen = false;
    for (const ps::Event& e : ps::events()) {
      if (e.kind == ps::Event::Write && e.bytes == from) seen = true;
      if (!seen) continue;
      if (e.kind == ps::Event::Write) steps.push_back(toHex(e.bytes));
      if (e.kind == ps::Event::SetLine) steps.push_back("line " + std::to_string(e.value));
      if (e.kind == ps::Event::Sleep && e.value == 2) steps.push_back("settle");
    }
    return steps;
  }
};

TEST_F(FastLine, OpeningSwitchesAfterTheBringUpAndChecksTheReaderThere) {
  pelvsim::Controller& reader = addReader(kPort);
  ASSERT_TRUE(setRequestedSpeed(kPort, 921600));
  ASSERT_EQ(openPort(kPort, &opened_), 0);

  // The reset tried at 921600 first is noise to a reader at 115200.
  std::vector<Bytes> expected = resets(2);
  expected.push_back(hex("10 07"));
  for (const Bytes& b : kReset) expected.push_back(b);
  EXPECT_EQ(reader.commands(), expected);
  EXPECT_EQ(reader.baud(), 921600u);
  EXPECT_EQ(lineSpeed(), 921600u);
  EXPECT_EQ(eventValues(ps::Event::SetLine),
            (std::vector<std::uint32_t>{115200, 921600, 115200, 921600}));
  EXPECT_EQ(eventValues(ps::Event::Open).size(), 1u);
  const std::vector<std::string> steps = stepsFrom(frame(hex("10 07")));
  ASSERT_GE(steps.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 5),
            (std::vector<std::string>{"00 00 FF 03 FD D4 10 07 15 00", "00 00 FF 00 FF 00", "settle",
                                      "line 921600", "00 00 FF 02 FE D4 02 2A 00"}));
  EXPECT_TRUE(lines.empty());
}

TEST_F(FastLine, ClosingTakesReaderAndPortBackTo115200) {
  pelvsim::Controller& reader = addReader(kPort);
  ASSERT_TRUE(setRequestedSpeed(0, 460800));
  ASSERT_EQ(openPort(kPort, &opened_), 0);
  ASSERT_EQ(reader.baud(), 460800u);
  ps::clearEvents();
  const std::size_t before = reader.commands().size();

  ASSERT_EQ(closePort(kPort), 0);
  EXPECT_EQ(std::vector<Bytes>(reader.commands().begin() + before, reader.commands().end()),
            (std::vector<Bytes>{hex("32 01 00"), hex("10 04")}));
  EXPECT_EQ(reader.baud(), 115200u);
  EXPECT_EQ(stepsFrom(frame(hex("32 01 00"))),
            (std::vector<std::string>{"00 00 FF 04 FC D4 32 01 00 F9 00", "00 00 FF 00 FF 00",
                                      "00 00 FF 03 FD D4 10 04 18 00", "00 00 FF 00 FF 00",
                                      "settle", "line 115200"}));

  // The next opening without a faster line finds the reader at once.
  setRequestedSpeed(0, 0);
  ps::clearEvents();
  const std::size_t reopened = reader.commands().size();
  ASSERT_EQ(openPort(kPort, &opened_), 0);
  EXPECT_EQ(std::vector<Bytes>(reader.commands().begin() + reopened, reader.commands().end()),
            resets(2));
}

// A reader left at 921600 is found by the next opening that asks for that speed;
// an opening that does not ask fails with a line that tells how to recover.
TEST_F(FastLine, ReaderLeftFastIsFoundOnlyByAnOpeningThatAsks) {
  pelvsim::Controller& reader = addReader(kPort);
  reader.setBaud(921600);
  ASSERT_EQ(openPort(kPort, &opened_), 1);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("ended without closing answers to one opening that asks for that "
                              "speed (PV_SetLineSpeed)\n"),
            std::string::npos)
      << lines.back();

  lines.clear();
  const std::size_t before = reader.commands().size();
  ps::clearEvents();
  ASSERT_TRUE(setRequestedSpeed(kPort, 921600));
  ASSERT_EQ(openPort(kPort, &opened_), 0);
  EXPECT_EQ(std::vector<Bytes>(reader.commands().begin() + before, reader.commands().end()),
            resets(2));
  EXPECT_EQ(reader.baud(), 921600u);
  EXPECT_EQ(lineSpeed(), 921600u);
  EXPECT_EQ(eventValues(ps::Event::SetLine), (std::vector<std::uint32_t>{115200, 921600}));
  EXPECT_EQ(lines, (std::vector<std::string>{
      "open: COM3: the reader answers at 921600 baud: a program that asked for this speed "
      "ended without closing\n"}));
}

// Every way the faster line can fail leaves an open port at 115200, a reader at
// 115200 and one trace line naming what happened.
struct FallbackCase {
  const char* what;
  void (*arrange)(pelvsim::Controller* reader);
  std::vector<Bytes> after;  // commands the reader gets after the bring-up at 115200
  const char* line;
};

class FastLineFallback : public FastLine, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(FastLineFallback, OpensAt115200AndSaysSo) {
  const FallbackCase& c = GetParam();
  pelvsim::Controller& reader = addReader(kPort);
  c.arrange(&reader);
  ASSERT_TRUE(setRequestedSpeed(kPort, 921600));
  ASSERT_EQ(openPort(kPort, &opened_), 0);
  EXPECT_TRUE(slotOpen(kPort));
  EXPECT_EQ(reader.baud(), 115200u);
  EXPECT_EQ(lineSpeed(), 115200u);
  std::vector<Bytes> expected = resets(2);
  expected.insert(expected.end(), c.after.begin(), c.after.end());
  EXPECT_EQ(reader.commands(), expected);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(c.line), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FastLineFallback,
    ::testing::Values(
        FallbackCase{"PortRefusesTheSpeed",
                     [](pelvsim::Controller*) {
                       ps::setAcceptedSpeeds(pathOf(kPort), {9600, 57600, 115200});
                     },
                     {}, "open: COM3: the port does not take 921600 baud: the line stays at 115200"},
        FallbackCase{"SwitchUnanswered",
                     [](pelvsim::Controller* r) { r->faults().script(pelvsim::Fault::Silence, 1, 6); },
                     {hex("10 07")},
                     "no answer to SetSerialBaudRate to 921600 at 115200 baud (link code -2, "
                     "time-out): the line stays at 115200 baud"},
        // The reader switched, but nothing comes back at 921600 (a bridge that
        // cannot keep up): it is told at 921600 to come back.
        FallbackCase{"SilentAfterTheSwitch",
                     [](pelvsim::Controller* r) { r->faults().script(pelvsim::Fault::Silence, 1, 7); },
                     {hex("10 07"), hex("02"), hex("10 04"), hex("02"), hex("32 05 FF FF 04"),
                      hex("32 01 00")},
                     "no answer to GetFirmwareVersion after the switch at 921600 baud"}),
    [](const ::testing::TestParamInfo<FallbackCase>& p) { return std::string(p.param.what); });

TEST(LineSpeedSetting, TakesListedSpeedsAndPortZeroForEveryPort) {
  struct Case { std::int32_t port, baud, result; };
  const Case cases[] = {{0, 921600, PELVANE_EXT_DONE}, {256, 230400, PELVANE_EXT_DONE},
                        {1, 115200, PELVANE_EXT_DONE}, {1, 0, PELVANE_EXT_DONE},
                        {-1, 921600, PELVANE_EXT_REFUSED}, {257, 921600, PELVANE_EXT_REFUSED},
                        {1, 57600, PELVANE_EXT_REFUSED}, {1, 1288000, PELVANE_EXT_REFUSED},
                        {1, 921601, PELVANE_EXT_REFUSED}, {1, -921600, PELVANE_EXT_REFUSED}};
  for (const Case& c : cases) EXPECT_EQ(PV_SetLineSpeed(c.port, c.baud), c.result) << c.port << " " << c.baud;

  ASSERT_EQ(PV_SetLineSpeed(0, 460800), PELVANE_EXT_DONE);
  ASSERT_EQ(PV_SetLineSpeed(3, 115200), PELVANE_EXT_DONE);
  ASSERT_EQ(PV_SetLineSpeed(4, 921600), PELVANE_EXT_DONE);
  EXPECT_EQ(requestedSpeed(3), 0u) << "115200 for one port overrides the process-wide speed";
  EXPECT_EQ(requestedSpeed(4), 921600u);
  EXPECT_EQ(requestedSpeed(5), 460800u);
  for (std::int32_t port : {0, 1, 3, 4, 256}) PV_SetLineSpeed(port, 0);
  EXPECT_EQ(requestedSpeed(5), 0u);
}

}  // namespace
}  // namespace pelvane
