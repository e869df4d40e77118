#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "support/harness.h"
#include "link/frame.h"

namespace pelvtest {
namespace {

using pelvane::buildFrame;

Bytes built(const Bytes& payload) {
  std::uint8_t out[pelvane::kFrameCapacity];
  std::int32_t length = -1;
  EXPECT_EQ(0, buildFrame(payload.data(), static_cast<std::int32_t>(payload.size()), out, &length));
  return Bytes(out, out + (length > 0 ? length : 0));
}

struct Worked {
  const char* payload;
  const char* frame;
};

TEST(FrameBuilder, WorkedExamplesMatchTheWireBytes) {
  const Worked cases[] = {
      {"4A 01 03 00", "00 00 FF 05 FB D4 4A 01 03 00 DE 00"},
      {"32 01 00", "00 00 FF 04 FC D4 32 01 00 F9 00"},
      {"02", "00 00 FF 02 FE D4 02 2A 00"},
      {"12 01", "00 00 FF 03 FD D4 12 01 19 00"},
      {"58 00", "00 00 FF 03 FD D4 58 00 D4 00"},
      {"", "00 00 FF 01 FF D4 2C 00"},
  };
  for (const Worked& c : cases) {
    SCOPED_TRACE(c.payload);
    EXPECT_BYTES(hex(c.frame), built(hex(c.payload)));
  }
}

// The frames kept ready-made are written as they are: each must be the wire bytes.
TEST(FrameBuilder, StoredFramesAreTheWireBytes) {
  EXPECT_BYTES(hex("00 00 FF 04 FC D4 32 01 00 F9 00"),
               Bytes(pelvane::kFieldOffFrame, pelvane::kFieldOffFrame + sizeof pelvane::kFieldOffFrame));
  EXPECT_BYTES(hex("00 00 FF 03 FD D4 54 01 D7 00"),
               Bytes(pelvane::kInSelectFrame, pelvane::kInSelectFrame + sizeof pelvane::kInSelectFrame));
  EXPECT_BYTES(hex("00 00 FF 00 FF 00"), Bytes(pelvane::kAckFrame, pelvane::kAckFrame + 6));
}

TEST(FrameBuilder, PayloadOf246IsTheLongestNormalFrame) {
  const Bytes f = built(Bytes(246, 0x11));
  ASSERT_EQ(254u, f.size());
  EXPECT_EQ(0xF7, f[3]);
  EXPECT_EQ(0x09, f[4]);
  EXPECT_EQ(0xD4, f[5]);
}

TEST(FrameBuilder, PayloadOf247GoesIntoAnExtendedFrame) {
  const Bytes f = built(Bytes(247, 0x11));
  ASSERT_EQ(258u, f.size());
  EXPECT_BYTES(hex("00 00 FF FF FF 00 F8 08 D4"), Bytes(f.begin(), f.begin() + 9));
  EXPECT_BYTES(Bytes(247, 0x11), Bytes(f.begin() + 9, f.end() - 2));
  EXPECT_BYTES(hex("C5 00"), Bytes(f.end() - 2, f.end()));  // D4 + 247 x 11 + C5 = 0 (mod 256)
}

TEST(FrameBuilder, LongestPayloadFitsTheFrameBuffer) {
  const Bytes f = built(Bytes(pelvane::kLongestPayload, 0xFF));
  EXPECT_EQ(static_cast<std::size_t>(pelvane::kFrameCapacity), f.size());
  EXPECT_EQ(0x01, f[5]);  // LENM of LEN 256
  EXPECT_EQ(0x00, f[6]);
}

// Every length from 0 to 255, random contents: both checksums hold, the frame
// ends in 00, and it matches the harness's independent encoder.
TEST(FrameBuilder, ChecksumsHoldForEveryPayloadLength) {
  std::mt19937 rng(20261208);
  for (int n = 0; n <= pelvane::kLongestPayload; ++n) {
    for (int round = 0; round < 4; ++round) {
      Bytes payload(static_cast<std::size_t>(n));
      for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
      if (round == 1) std::fill(payload.begin(), payload.end(), 0xFF);
      const Bytes f = built(payload);
      SCOPED_TRACE(n);
      ASSERT_EQ(payload.size() + (n <= 246 ? 8u : 11u), f.size());
      const bool extended = n > 246;
      const std::size_t tfiAt = extended ? 8 : 5;
      if (extended) {
        EXPECT_EQ(0, (f[5] + f[6] + f[7]) & 0xFF);
        EXPECT_EQ(n + 1, f[5] * 256 + f[6]);
      } else {
        EXPECT_EQ(0, (f[3] + f[4]) & 0xFF);
        EXPECT_EQ(n + 1, f[3]);
      }
      int sum = 0;
      for (std::size_t i = tfiAt; i < f.size() - 1; ++i) sum += f[i];
      EXPECT_EQ(0, sum & 0xFF);
      EXPECT_EQ(0x00, f.back());
      EXPECT_BYTES(frame(payload), f);
    }
  }
}

TEST(FrameBuilder, RefusesPayloadsItCannotHold) {
  std::uint8_t out[pelvane::kFrameCapacity];
  std::uint8_t payload[300] = {};
  std::int32_t length = 99;
  EXPECT_NE(0, buildFrame(payload, pelvane::kLongestPayload + 1, out, &length));
  EXPECT_EQ(0, length);
  length = 99;
  EXPECT_NE(0, buildFrame(payload, -1, out, &length));
  EXPECT_EQ(0, length);
  EXPECT_NE(0, buildFrame(nullptr, 3, out, &length));
}

}  // namespace
}  // namespace pelvtest
