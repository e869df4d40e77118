#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "link/exchange.h"
#include "platform/simulated.h"
#include "port/port_table.h"
#include "support/harness.h"

namespace pelvtest {
namespace {

namespace ps = pelvane::simport;
using pelvane::armDeadline;
using pelvane::deadlineExpired;
using pelvane::slot;

class PortTable : public ::testing::Test {
 protected:
  void SetUp() override {
    ps::reset(kStartMs);
    pelvane::setUpPortTable();
  }
  void TearDown() override { ps::reset(kStartMs); }
};

TEST_F(PortTable, EverySlotStartsClosedWithItsLoadValues) {
  slot(17).cardStatus = pelvane::kCardActivated;
  slot(200).readerMode = pelvane::kModeTypeB;
  pelvane::setUpPortTable();
  for (int p = 1; p <= pelvane::kPortCount; ++p) {
    const pelvane::PortSlot& s = slot(p);
    ASSERT_EQ(-1, s.portNumber) << p;
    ASSERT_EQ(pelvane::kInvalidHandle, s.handle) << p;
    ASSERT_EQ(10.0, s.timeoutTenths) << p;
    ASSERT_EQ(0, s.deadline) << p;
    ASSERT_EQ(pelvane::kModeNone, s.readerMode) << p;
    ASSERT_EQ(pelvane::kCardNone, s.cardStatus) << p;
    ASSERT_EQ(0u, s.lineSettings.baudRate) << p;
    ASSERT_FALSE(pelvane::slotOpen(p)) << p;
  }
}

struct ArmCase {
  double tenths;
  std::int32_t expectedMs;  // deadline - clock
};

class DeadlineArming : public PortTable, public ::testing::WithParamInterface<ArmCase> {};

TEST_P(DeadlineArming, DeadlineIsClockPlusTenthsTimesHundred) {
  slot(5).timeoutTenths = GetParam().tenths;
  armDeadline(5);
  EXPECT_EQ(kStartMs + GetParam().expectedMs, slot(5).deadline);
}

INSTANTIATE_TEST_SUITE_P(Tenths, DeadlineArming,
                         ::testing::Values(ArmCase{10.0, 1000}, ArmCase{32.0, 3200},
                                           ArmCase{50.0, 5000}, ArmCase{255.0, 25500},
                                           ArmCase{0.5, 50}, ArmCase{1.0, 100},
                                           ArmCase{0.019, 1}));  // 1.9 ms truncates to 1

TEST_F(PortTable, ZeroTenthsMeansNoDeadlineEver) {
  slot(9).timeoutTenths = 0.0;
  slot(9).deadline = 12345;
  armDeadline(9);
  EXPECT_EQ(0, slot(9).deadline);
  ps::advanceUs(3600ull * 1000 * 1000);
  EXPECT_FALSE(deadlineExpired(9));
}

TEST_F(PortTable, DeadlineExpiresAtTheArmedMillisecondNotBefore) {
  armDeadline(4);  // default 10.0
  ps::advanceUs(100 * 1000);
  EXPECT_FALSE(deadlineExpired(4));  // not after 100 ms
  ps::advanceUs(899 * 1000);
  EXPECT_FALSE(deadlineExpired(4));
  ps::advanceUs(1000);
  EXPECT_TRUE(deadlineExpired(4));  // at 1000 ms
  ps::advanceUs(9000 * 1000);
  EXPECT_TRUE(deadlineExpired(4));
}

// A clock reading below zero lies before a positive deadline; an unsigned
// comparison would call it expired.
TEST_F(PortTable, DeadlineComparisonIsSigned) {
  ps::reset(-100);
  armDeadline(4);
  EXPECT_EQ(900, slot(4).deadline);
  EXPECT_FALSE(deadlineExpired(4));
  ps::advanceUs(999 * 1000);
  EXPECT_FALSE(deadlineExpired(4));
  ps::advanceUs(1000);
  EXPECT_TRUE(deadlineExpired(4));
}

// The clock wraps as a signed value after ~24.8 days and as an unsigned one
// after ~49.7: a deadline armed just before either wrap lasts its full time.
TEST_F(PortTable, DeadlinesLastTheirTimeAcrossTheClockWraps) {
  struct Case {
    std::int32_t startMs;
    double tenths;
    std::uint64_t lastsMs;
  };
  const Case cases[] = {
      {INT32_MAX - 500, 10.0, 1000}, {INT32_MAX, 10.0, 1000},   {INT32_MAX - 999, 10.0, 1000},
      {-500, 10.0, 1000},            {-1, 10.0, 1000},          {INT32_MAX - 10, 255.0, 25500},
      {INT32_MAX, 0.019, 1},         {INT32_MAX - 1, 2.5e7, INT32_MAX},
  };
  for (const Case& c : cases) {
    ps::reset(c.startMs);
    slot(4).timeoutTenths = c.tenths;
    armDeadline(4);
    ps::advanceUs((c.lastsMs - 1) * 1000);
    EXPECT_FALSE(deadlineExpired(4)) << "from " << c.startMs << ", " << c.tenths;
    ps::advanceUs(1000);
    EXPECT_TRUE(deadlineExpired(4)) << "from " << c.startMs << ", " << c.tenths;
  }
}

// A whole exchange with a reader that never answers, armed 0.5 s before the
// signed wrap: the 1.0 s time-out ends it after 1.0 s, neither at once nor never.
class ClockWrap : public LinkTest {};

TEST_F(ClockWrap, ATimeOutArmedBeforeTheWrapLastsItsTime) {
  const auto toWrap = static_cast<std::uint64_t>(INT32_MAX - 500) - ps::nowMs();
  ps::advanceUs(toWrap * 1000);
  const std::uint64_t startUs = ps::nowUs();
  arm(10.0);
  pelvane::Answer answer;
  const std::uint8_t getFirmwareVersion[] = {0x02};
  EXPECT_EQ(pelvane::kLinkTimeout, pelvane::exchangeCommand(kPort, getFirmwareVersion, 1, &answer, 0));
  EXPECT_GE(ps::nowUs() - startUs, 1000u * 1000);
  EXPECT_LE(ps::nowUs() - startUs, 1050u * 1000);
}

TEST_F(PortTable, ArmedDeadlineNeverLandsOnZero) {
  ps::reset(-1000);
  armDeadline(4);
  EXPECT_NE(0, slot(4).deadline);
  EXPECT_FALSE(deadlineExpired(4));
  ps::advanceUs(1001 * 1000);
  EXPECT_TRUE(deadlineExpired(4));
}

TEST_F(PortTable, AbsurdTimeoutsDoNotOverflow) {
  const double cases[] = {1e300, -1e300, 2.5e7};
  for (double t : cases) {
    slot(6).timeoutTenths = t;
    armDeadline(6);  // defined result, no trap under -fsanitize=undefined
    EXPECT_NE(0, slot(6).deadline) << t;
  }
}

TEST_F(PortTable, EveryPortHasItsOwnRecords) {
  slot(256).readerMode = pelvane::kModeTypeB;
  slot(256).timeoutTenths = 3.0;
  pelvane::savedTimeouts(256).readTotalTimeoutConstant = 777;
  pelvane::workingTimeouts(256).writeTotalTimeoutConstant = 888;
  armDeadline(256);
  for (int p = 1; p < 256; ++p) {
    ASSERT_EQ(pelvane::kModeNone, slot(p).readerMode) << p;
    ASSERT_EQ(10.0, slot(p).timeoutTenths) << p;
    ASSERT_EQ(0, slot(p).deadline) << p;
    ASSERT_EQ(0u, pelvane::savedTimeouts(p).readTotalTimeoutConstant) << p;
    ASSERT_EQ(0u, pelvane::workingTimeouts(p).writeTotalTimeoutConstant) << p;
  }
  EXPECT_NE(&pelvane::savedTimeouts(256), &pelvane::workingTimeouts(256));
}

// A port number outside 1..256 must not reach a real port's slot.
TEST_F(PortTable, OutOfRangePortNumbersTouchNoRealSlot) {
  const int bad[] = {0, -1, 257, 70000, INT_MIN};
  for (int p : bad) {
    slot(p).handle = 42;
    slot(p).readerMode = pelvane::kModeTypeB;
    pelvane::savedTimeouts(p).readIntervalTimeout = 5;
    EXPECT_FALSE(pelvane::slotOpen(p)) << p;
  }
  for (int p = 1; p <= pelvane::kPortCount; ++p) {
    ASSERT_EQ(pelvane::kInvalidHandle, slot(p).handle) << p;
    ASSERT_EQ(pelvane::kModeNone, slot(p).readerMode) << p;
    ASSERT_EQ(0u, pelvane::savedTimeouts(p).readIntervalTimeout) << p;
  }
}

TEST_F(PortTable, DropHandleClosesTheDeviceAndOnlyMarksTheSlotClosed) {
  ps::addDevice(kPath, nullptr);
  pelvane::PortSlot& s = slot(3);
  s.handle = pelvane::openDevice(kPath, 0);
  ASSERT_NE(pelvane::kInvalidHandle, s.handle);
  s.portNumber = 3;
  s.readerMode = pelvane::kModeMifare;
  s.cardStatus = pelvane::kCardInserted;
  EXPECT_TRUE(pelvane::slotOpen(3));
  EXPECT_EQ(1, ps::openHandles());

  pelvane::dropHandle(3);
  EXPECT_EQ(0, ps::openHandles());
  EXPECT_FALSE(pelvane::slotOpen(3));
  EXPECT_EQ(3, s.portNumber);
  EXPECT_EQ(pelvane::kModeMifare, s.readerMode);
  EXPECT_EQ(pelvane::kCardInserted, s.cardStatus);

  ps::clearEvents();
  pelvane::dropHandle(3);  // already closed: nothing to close
  EXPECT_TRUE(ps::events().empty());
}

}  // namespace
}  // namespace pelvtest
