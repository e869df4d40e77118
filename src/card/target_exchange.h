#pragma once

#include <cstdint>

namespace pelvane {

// Passes packet bytes 2..LEN-1 to target 1 with InDataExchange. On success result
// (252 bytes) holds the target's answer and resultLength its length. Returns 0,
// a link code, -3 (LEN below 3) or the controller's non-zero status byte.
std::int32_t targetExchange(int port, const std::uint8_t* packet, std::uint8_t* result,
                            std::int32_t* resultLength);

}  // namespace pelvane
