// Closing a port: the RF field switched off in the modes that leave it on, the
// port's own time-outs restored, the slot reset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "faults.h"
#include "support/harness.h"
#include "link/frame.h"
#include "platform/simulated.h"
#include "port/port_table.h"
#include "port/ports.h"

namespace pelvane {
namespace {

using namespace pelvtest;
namespace ps = simport;

constexpr CommTimeouts kPortOwnTimeouts = {5, 6, 7, 8, 9};

// A reader opened through openPort, so that closing has real saved time-outs to
// give back; the record is cleared once it is open.
class ClosePort : public ::testing::Test {
 protected:
  void SetUp() override {
    ps::reset(pelvtest::kStartMs);
    setUpPortTable();
    ps::addDevice(pathOf(kPort), &side_);
    ps::setInitialTimeouts(pathOf(kPort), kPortOwnTimeouts);
    std::int32_t opened = 0;
    ASSERT_EQ(openPort(kPort, &opened), 0);
    slot(kPort).cardStatus = kCardActivated;
    controller_.clearCommands();
    ps::clearEvents();
  }
  void TearDown() override {
    ps::reset(pelvtest::kStartMs);
    setUpPortTable();
  }

  void expectClosedAndReset() {
    const PortSlot& s = slot(kPort);
    EXPECT_EQ(s.handle, kInvalidHandle);
    EXPECT_EQ(s.readerMode, kModeNone);
    EXPECT_EQ(s.timeoutTenths, 10.0);
    EXPECT_EQ(s.deadline, 0);
    EXPECT_EQ(s.portNumber, kPort);
    EXPECT_EQ(s.cardStatus, kCardActivated);
    EXPECT_EQ(s.lineSettings.baudRate, 115200u) << "line settings are not reset";
    EXPECT_EQ(ps::openHandles(), 0);
    EXPECT_TRUE(sameTimeouts(workingTimeouts(kPort), kPortOwnTimeouts));
  }

  pelvsim::Controller controller_;
  pelvtest::ControllerFarSide side_{controller_};
};

struct ModeCase {
  std::uint8_t mode;
  bool fieldOff;
};

class CloseInMode : public ClosePort, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(CloseInMode, SwitchesTheFieldOffOnlyWhereTheModeLeavesItOn) {
  slot(kPort).readerMode = static_cast<ReaderMode>(GetParam().mode);
  EXPECT_EQ(closePort(kPort), 0);

  const Bytes ack = ACK();
  if (GetParam().fieldOff) {
    EXPECT_EQ(controller_.commands(), std::vector<Bytes>{hex("32 01 00")});
    EXPECT_EQ(ps::writes(), (std::vector<Bytes>{frame(hex("32 01 00")), ack}));
  } else {
    EXPECT_TRUE(controller_.commands().empty());
    EXPECT_TRUE(ps::writes().empty());
  }

  // The time-outs go back after the last write and before the handle closes.
  std::vector<ps::Event::Kind> tail;
  for (const ps::Event& e : ps::events()) {
    if (e.kind == ps::Event::SetTimeouts || e.kind == ps::Event::Close) tail.push_back(e.kind);
    if (e.kind == ps::Event::Write) tail.clear();
  }
  EXPECT_EQ(tail, (std::vector<ps::Event::Kind>{ps::Event::SetTimeouts, ps::Event::Close}));
  CommTimeouts restored;
  ASSERT_TRUE(ps::timeoutsOf(pathOf(kPort), &restored));
  EXPECT_TRUE(sameTimeouts(restored, kPortOwnTimeouts));
  expectClosedAndReset();
}

INSTANTIATE_TEST_SUITE_P(Modes, CloseInMode,
                         ::testing::Values(ModeCase{0, false}, ModeCase{1, true},
                                           ModeCase{2, false}, ModeCase{3, true},
                                           ModeCase{4, true}, ModeCase{5, false},
                                           ModeCase{7, false}, ModeCase{8, false},
                                           ModeCase{9, false}, ModeCase{0xC8, false}),
                         [](const ::testing::TestParamInfo<ModeCase>& param) {
                           return "mode" + std::to_string(param.param.mode);
                         });

TEST_F(ClosePort, UnansweredFieldOffWritesNoAckAndStillCloses) {
  controller_.faults().script(pelvsim::Fault::Silence);
  EXPECT_EQ(closePort(kPort), 0);
  EXPECT_EQ(ps::writes(), std::vector<Bytes>{frame(hex("32 01 00"))});
  expectClosedAndReset();
}

TEST_F(ClosePort, LineGoneStillResetsTheSlot) {
  ps::removeDevice(pathOf(kPort));
  EXPECT_EQ(closePort(kPort), 0);
  EXPECT_TRUE(ps::writes().empty());
  expectClosedAndReset();
}

TEST_F(ClosePort, RefusedTimeoutsStillClose) {
  ps::failCall(ps::Call::SetTimeouts);
  EXPECT_EQ(closePort(kPort), 0);
  expectClosedAndReset();
}

TEST_F(ClosePort, ClosedSlotIsLeftAlone) {
  ASSERT_EQ(closePort(kPort), 0);
  ps::clearEvents();
  EXPECT_EQ(closePort(kPort), 1);
  for (int port : {0, 257, -1}) EXPECT_EQ(closePort(port), 1) << port;
  EXPECT_TRUE(ps::events().empty());
}

TEST_F(ClosePort, ClosedPortCanBeOpenedAgain) {
  ASSERT_EQ(closePort(kPort), 0);
  std::int32_t opened = 0;
  EXPECT_EQ(openPort(kPort, &opened), 0);
  EXPECT_TRUE(sameTimeouts(savedTimeouts(kPort), kPortOwnTimeouts));
}

// The field-off exchange of a close waits under a deadline armed from the slot's
// own time-out at the start of the close.
struct DeadlineCase {
  double tenths;
  std::int32_t ms;
};

class CloseDeadline : public pelvtest::LinkTest,
                      public ::testing::WithParamInterface<DeadlineCase> {};

TEST_P(CloseDeadline, UnansweredFieldOffGivesUpAtTheSlotsTimeout) {
  portSlot().timeoutTenths = GetParam().tenths;
  portSlot().deadline = 0;
  EXPECT_EQ(closePort(pelvtest::kPort), 0);
  EXPECT_GE(elapsedMs(), GetParam().ms);
  EXPECT_LT(elapsedMs(), GetParam().ms + 60) << "the byte reader tests the deadline every 50 ms";
  EXPECT_EQ(written(), std::vector<Bytes>{frame(hex("32 01 00"))});
  EXPECT_FALSE(slotOpen(pelvtest::kPort));
}

INSTANTIATE_TEST_SUITE_P(Timeouts, CloseDeadline,
                         ::testing::Values(DeadlineCase{32.0, 3200}, DeadlineCase{10.0, 1000},
                                           DeadlineCase{0.5, 50}));

class CloseScripted : public pelvtest::LinkTest {};

TEST_F(CloseScripted, AckFollowsTheFieldOffAnswer) {
  far.reply(cat(ACK(), answer(hex("33"))));
  EXPECT_EQ(closePort(pelvtest::kPort), 0);
  EXPECT_EQ(written(), (std::vector<Bytes>{frame(hex("32 01 00")), ACK()}));
}

TEST_F(CloseScripted, CorruptFieldOffAnswerWritesNoAck) {
  far.reply(cat(ACK(), hex("00 00 FF 02 FF D5 33 F8 00")));  // LCS off by one
  EXPECT_EQ(closePort(pelvtest::kPort), 0);
  EXPECT_EQ(written(), std::vector<Bytes>{frame(hex("32 01 00"))});
}

}  // namespace
}  // namespace pelvane
