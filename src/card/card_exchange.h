// The InDataExchange step every card command shares.
#pragma once

#include <cstdint>

#include "link/exchange.h"

namespace pelvane {

// Sends one card command (InDataExchange payload 40 01 ...) once and checks the
// controller's status byte d0. Returns the link code, -1 when the answer carries
// no status byte (a NACK or a frame without data), d0 when it is not 0, else 0.
std::int32_t exchangeWithTarget(int port, const std::uint8_t* payload, std::int32_t n,
                                Answer* answer);

}  // namespace pelvane
