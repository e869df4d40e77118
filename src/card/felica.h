// The FeliCa Read and Write Without Encryption exchange shared by 0x30 and 0x31.
#pragma once

#include <cstdint>

#include "link/exchange.h"

namespace pelvane {

// FeliCa card command codes carried in InDataExchange.
constexpr std::uint8_t kFelicaReadWithoutEncryption = 0x06;
constexpr std::uint8_t kFelicaWriteWithoutEncryption = 0x08;

// Reads the service count n (packet byte 10) and the block count m (byte 11 + 2n).
// Returns -3 when either lies past the packet's LEN, else 0.
std::int32_t felicaCounts(const std::uint8_t* packet, std::int32_t* services,
                          std::int32_t* blocks);

// Sends 40 01 L cardCommand, then packet bytes 2..LEN-1 (L = LEN) with each of the
// `services` service codes turned low byte first, and checks the answer: the
// controller status d0, then FeliCa status flag 1 (d11, -7 when not 0). Returns 0,
// a link code, -1 for an answer too short to hold the flag, d0, or -7.
// The packet's LEN and counts must have been checked already.
std::int32_t felicaExchange(int port, const std::uint8_t* packet, std::int32_t services,
                            std::uint8_t cardCommand, Answer* answer);

}  // namespace pelvane
