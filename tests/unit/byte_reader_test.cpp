#include <gtest/gtest.h>

#include <cstdint>

#include "link/byte_reader.h"
#include "platform/simulated.h"
#include "support/harness.h"

namespace pelvtest {
namespace {

namespace ps = pelvane::simport;
using pelvane::readByte;

using ByteReader = LinkTest;

TEST_F(ByteReader, WaitingByteIsReadAtOnceWithoutSleeping) {
  far.arriveAt({0x42}, 0);
  arm(10.0);
  std::uint8_t b = 0;
  EXPECT_EQ(0, readByte(kPort, &b));
  EXPECT_EQ(0x42, b);
  EXPECT_TRUE(sleeps().empty());
  EXPECT_EQ(0, elapsedMs());
}

TEST_F(ByteReader, PassedDeadlineIsFirstTestedOnThe51stEmptyPoll) {
  portSlot().deadline = ps::nowMs() - 1;
  std::uint8_t b = 0x77;
  EXPECT_EQ(-2, readByte(kPort, &b));
  EXPECT_EQ(0x77, b);
  EXPECT_EQ(std::vector<std::uint32_t>(50, 1), sleeps());
  EXPECT_EQ(50, elapsedMs());
}

// The deadline test comes after the queue check, so a byte that is in by the
// 51st poll wins; one that arrives a moment later does not.
TEST_F(ByteReader, ByteArrivingBeforeTheDeadlineTestIsStillRead) {
  portSlot().deadline = ps::nowMs() - 1;
  far.arriveAt({0x5A}, 50000);
  std::uint8_t b = 0;
  EXPECT_EQ(0, readByte(kPort, &b));
  EXPECT_EQ(0x5A, b);
}

TEST_F(ByteReader, ByteArrivingAfterTheDeadlineTestIsLeftOnTheLine) {
  portSlot().deadline = ps::nowMs() - 1;
  far.arriveAt({0x5A}, 50001);
  std::uint8_t b = 0;
  EXPECT_EQ(-2, readByte(kPort, &b));
  EXPECT_EQ(1u, far.pending());
}

TEST_F(ByteReader, SilentReaderTimesOutAtTheDeadlinePlusAtMostFiftyPolls) {
  arm(1.0);  // 100 ms
  std::uint8_t b = 0;
  EXPECT_EQ(-2, readByte(kPort, &b));
  EXPECT_GE(elapsedMs(), 100);
  EXPECT_LE(elapsedMs(), 150);
  for (std::uint32_t ms : sleeps()) EXPECT_EQ(1u, ms);
}

// A pause that lasts until the next tick stretches the 50 polls between
// deadline tests: 1.0 s on a silent reader ends at the first test after it.
TEST_F(ByteReader, SilentReaderTimeOutEndsAtTheFirstDeadlineTestAfterIt) {
  struct Case {
    std::uint64_t quantumUs;
    std::int32_t endMs;
  };
  for (const Case& c : {Case{0, 1000}, Case{1000, 1000}, Case{15625, 1562}}) {
    ps::setSleepQuantumUs(c.quantumUs);
    const std::int32_t start = elapsedMs();
    arm(10.0);
    std::uint8_t b = 0;
    EXPECT_EQ(-2, readByte(kPort, &b));
    EXPECT_EQ(c.endMs, elapsedMs() - start) << "quantum " << c.quantumUs;
  }
}

TEST_F(ByteReader, WithoutDeadlineTheWaitLastsUntilTheReaderSends) {
  portSlot().deadline = 0;
  far.arriveAt({0x01}, 30000000);  // 30 s of virtual silence
  std::uint8_t b = 0;
  EXPECT_EQ(0, readByte(kPort, &b));
  EXPECT_EQ(0x01, b);
  EXPECT_EQ(30000, elapsedMs());
}

struct FailurePoint {
  const char* name;
  ps::Call call;
  int after;           // successful calls before the failure
  bool byteWaiting;
};

class ByteReaderFailure : public LinkTest, public ::testing::WithParamInterface<FailurePoint> {};

TEST_P(ByteReaderFailure, PlatformFailureGivesMinusOneAndLeavesTheByte) {
  const FailurePoint& p = GetParam();
  portSlot().deadline = 0;
  if (p.byteWaiting) far.arriveAt({0x99}, 0);
  ps::failCall(p.call, p.after, 1);
  std::uint8_t b = 0x11;
  EXPECT_EQ(-1, readByte(kPort, &b));
  EXPECT_EQ(0x11, b);
  EXPECT_EQ(p.after, static_cast<int>(sleeps().size()));
}

INSTANTIATE_TEST_SUITE_P(
    AtAnyPoint, ByteReaderFailure,
    ::testing::Values(FailurePoint{"StatusOnFirstPoll", ps::Call::ClearErrors, 0, false},
                      FailurePoint{"StatusAfterManyDeadlineTests", ps::Call::ClearErrors, 420, false},
                      FailurePoint{"StatusWithByteWaiting", ps::Call::ClearErrors, 0, true},
                      FailurePoint{"ReadOfWaitingByte", ps::Call::Read, 0, true}),
    [](const ::testing::TestParamInfo<FailurePoint>& i) { return std::string(i.param.name); });

TEST_F(ByteReader, StatusFailureAfterDeadlineTestsStillGivesMinusOne) {
  arm(10.0);
  ps::failCall(ps::Call::ClearErrors, 120, 1);  // after two deadline tests that passed
  std::uint8_t b = 0;
  EXPECT_EQ(-1, readByte(kPort, &b));
  EXPECT_EQ(120, elapsedMs());
}

TEST_F(ByteReader, LineErrorWithByteWaitingReadsTheByteNormally) {
  far.arriveAt({0xC3}, 0);
  ps::injectLineError(1);
  std::uint8_t b = 0;
  EXPECT_EQ(0, readByte(kPort, &b));
  EXPECT_EQ(0xC3, b);
}

// The read after a line error returns on its time-out with no byte; that is a
// failure, never a byte of data.
TEST_F(ByteReader, LineErrorWithEmptyQueueIsAFailureNotData) {
  const pelvane::CommTimeouts t{1000, 0, 1000, 0, 1000};
  ASSERT_TRUE(pelvane::setTimeouts(portSlot().handle, &t));
  arm(100.0);
  ps::injectLineError(1);
  std::uint8_t b = 0x11;
  EXPECT_EQ(-1, readByte(kPort, &b));
  EXPECT_EQ(0x11, b);
  EXPECT_EQ(1000, elapsedMs());  // ReadFile waited its read time-out
}

TEST_F(ByteReader, ClosedOrUnknownPortGivesMinusOne) {
  std::uint8_t b = 0;
  EXPECT_EQ(-1, readByte(0, &b));
  EXPECT_EQ(-1, readByte(257, &b));
  EXPECT_EQ(-1, readByte(5, &b));  // slot 5 closed: ClearCommError on no handle fails
  EXPECT_EQ(-1, readByte(kPort, nullptr));
}

TEST_F(ByteReader, DeviceThatDisappearsGivesMinusOne) {
  arm(10.0);
  ps::removeDevice(kPath);
  std::uint8_t b = 0;
  EXPECT_EQ(-1, readByte(kPort, &b));
}

}  // namespace
}  // namespace pelvtest
