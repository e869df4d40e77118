// Frames on the RF side of the simulated controller, as InCommunicateThru moves
// them between the host and the cards: bit counts, parity and CRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pelvsim {

// Bytes on the air; the last byte carries lastBits bits (1 to 8), low bits first.
struct RfFrame {
  std::vector<std::uint8_t> bytes;
  unsigned lastBits = 8;

  bool isShort(std::uint8_t code) const {  // a 7-bit short frame (REQA 26, WUPA 52)
    return bytes.size() == 1 && lastBits == 7 && bytes[0] == code;
  }
};

// CRC_A (ISO/IEC 14443-3, 6.2.4 and annex B: preset 6363), sent low byte first.
std::uint16_t crcA(const std::uint8_t* data, std::size_t n);
void appendCrcA(std::vector<std::uint8_t>* bytes);
// True when the last two bytes are the CRC_A of those before them.
bool hasCrcA(const std::vector<std::uint8_t>& bytes);

// CRC_B (ISO/IEC 14443-3, annex B: preset FFFF, sent inverted), low byte first.
void appendCrcB(std::vector<std::uint8_t>* bytes);
bool hasCrcB(const std::vector<std::uint8_t>& bytes);

// With parity generation off (CIU_ManualRCV ParityDisable), the host's bytes are
// the bit stream itself: every data byte followed by its odd parity bit. A 7-bit
// stream is a short frame, which has no parity. Returns false on a parity error
// or a stream that is no whole number of 9-bit characters.
bool unpackParityStream(const std::vector<std::uint8_t>& stream, unsigned lastBits, RfFrame* out);
// The card's frame as such a stream, for a host that checks parity itself.
RfFrame packParityStream(const RfFrame& frame);

}  // namespace pelvsim
