// Frames of the controller's host interface (PN532 user manual, 6.2.1).
#pragma once

#include <cstdint>

namespace pelvane {

constexpr std::uint8_t kTfiToReader = 0xD4;
constexpr std::uint8_t kTfiFromReader = 0xD5;

// Payloads of up to 246 bytes go in a normal frame, longer ones in an extended frame.
constexpr std::int32_t kLongestNormalPayload = 246;
// The longest payload any caller builds (a full command packet passed through).
constexpr std::int32_t kLongestPayload = 255;
constexpr std::int32_t kFrameCapacity = kLongestPayload + 11;

extern const std::uint8_t kAckFrame[6];       // 00 00 FF 00 FF 00
extern const std::uint8_t kFieldOffFrame[11]; // RFConfiguration RF field off
extern const std::uint8_t kInSelectFrame[10]; // InSelect target 1
extern const std::uint8_t kWakeUpSequence[5]; // 55 55 00 00 00: wakes a powered-down controller

// Wraps payload (n bytes, 0 <= n <= kLongestPayload) into a host-to-reader frame
// in out (kFrameCapacity bytes); outLength receives n + 8 or n + 11. Returns 0.
int buildFrame(const std::uint8_t* payload, std::int32_t n, std::uint8_t* out,
               std::int32_t* outLength);

}  // namespace pelvane
