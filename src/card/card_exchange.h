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

// Status bit 6 of InDataExchange: more information, the rest of the target's
// answer waits in the controller (PN532 user manual, 7.3.8).
constexpr int kStatusMoreInformation = 0x40;

// Fetches and drops the rest of a chained answer with bare InDataExchange (40 01)
// until the status no longer carries MI, so that the target takes data again.
// Bounded by the command's deadline and a count of pieces. 0 or a link code.
std::int32_t drainChainedAnswer(int port);

}  // namespace pelvane
