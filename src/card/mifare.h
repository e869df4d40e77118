// MIFARE Classic addressing shared by the read, write and key-change commands.
#pragma once

#include <cstdint>

#include "link/exchange.h"

namespace pelvane {

// Sectors 0..31 hold 4 blocks each (blocks 0..127); sectors 32..39 of a 4K card
// hold 16 blocks each (blocks 128..255).
constexpr int kMifareSectors = 40;
constexpr int kMifareSmallSectors = 32;

inline int sectorBlockCount(int sector) { return sector < kMifareSmallSectors ? 4 : 16; }

// Absolute block number of block `block` within `sector` (sector < 40).
inline std::uint8_t mifareBlock(int sector, int block) {
  int first = sector < kMifareSmallSectors ? 4 * sector : 128 + 16 * (sector - kMifareSmallSectors);
  return static_cast<std::uint8_t>(first + block);
}

// The sector trailer: the last block of the sector (key A, access bits, key B).
inline std::uint8_t mifareTrailer(int sector) {
  return mifareBlock(sector, sectorBlockCount(sector) - 1);
}

// MIFARE authentication with key A (60) for `block`: 40 01 60 block K1..K6 U1..U4,
// the key from packet bytes 6..11 and the UID from packet bytes 2..5 (the layout of
// every MIFARE request). Returns exchangeWithTarget's code.
std::int32_t authenticateKeyA(int port, const std::uint8_t* packet, std::uint8_t block,
                              Answer* answer);

}  // namespace pelvane
