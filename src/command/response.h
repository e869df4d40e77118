// Building response packets and mapping handler codes to results, in one place.
#pragma once

#include <cstdint>

namespace pelvane {

// Handler codes besides the link codes (0, -1, -2) and controller status bytes (> 0).
constexpr std::int32_t kCodeBadLength = -3;  // STATUS 0xFD
constexpr std::int32_t kCodeOutOfRange = -4; // STATUS 0xFC
constexpr std::int32_t kCodeFelicaStatus = -7; // STATUS 0xF9

// How a command reports code -2 (time-out).
enum class TimeoutRule { Done, Failed };

// Largest response a command can produce (the segmented read of 94 segments).
constexpr std::int32_t kLargestResponse = 4 + 243 * 94;
// Data bytes a short response can carry.
constexpr std::int32_t kShortResponseData = 252;

// 03 CMD STATUS, STATUS being the code's low byte.
void writeFailure(std::uint8_t* response, std::uint8_t cmd, std::int32_t code);
// 3 + n, CMD, 00, data (n <= 252).
void writeSuccess(std::uint8_t* response, std::uint8_t cmd, const std::uint8_t* data,
                  std::int32_t n);
// Result for a non-zero code: -3 gives 2; -2 gives 0 under TimeoutRule::Done, else 1;
// everything else 1.
std::uint16_t resultFor(std::int32_t code, TimeoutRule rule);
// writeSuccess/writeFailure by code, returning the matching result.
std::uint16_t finish(std::uint8_t* response, std::uint8_t cmd, std::int32_t code,
                     const std::uint8_t* data, std::int32_t n, TimeoutRule rule);

}  // namespace pelvane
