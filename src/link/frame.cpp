#include "link/frame.h"

namespace pelvane {

// Normal information frame (PN532 user manual 6.2.1.1), n <= 246:
//   00 00 FF LEN LCS D4 payload DCS 00, LEN = n + 1.
// Extended information frame (6.2.1.3), n >= 247:
//   00 00 FF FF FF LENM LENL LCS D4 payload DCS 00.
// The rule for both checksums: the bytes they cover plus the checksum sum to 0 mod 256.

const std::uint8_t kAckFrame[6] = {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00};
// RFConfiguration item 0x01, value 0x00: RF field off.
const std::uint8_t kFieldOffFrame[11] = {0x00, 0x00, 0xFF, 0x04, 0xFC, 0xD4,
                                         0x32, 0x01, 0x00, 0xF9, 0x00};
// InSelect, target 1.
const std::uint8_t kInSelectFrame[10] = {0x00, 0x00, 0xFF, 0x03, 0xFD,
                                         0xD4, 0x54, 0x01, 0xD7, 0x00};

// The serial line's wake-up: a controller in power-down wakes on the first byte
// it receives and takes no frame from the bytes that woke it (PN532 user manual,
// 7.2.11); libnfc's pn532_uart_wakeup sends this sequence before the next frame.
const std::uint8_t kWakeUpSequence[5] = {0x55, 0x55, 0x00, 0x00, 0x00};

namespace {

std::uint8_t negate(unsigned sum) { return static_cast<std::uint8_t>((0x100u - (sum & 0xFFu)) & 0xFFu); }

}  // namespace

int buildFrame(const std::uint8_t* payload, std::int32_t n, std::uint8_t* out,
               std::int32_t* outLength) {
  // A payload the buffer cannot take builds nothing.
  if (out == nullptr || outLength == nullptr || n < 0 || n > kLongestPayload ||
      (n > 0 && payload == nullptr)) {
    if (outLength != nullptr) *outLength = 0;
    return -1;
  }
  const unsigned len = static_cast<unsigned>(n) + 1;  // TFI + payload
  std::int32_t at = 0;
  out[at++] = 0x00;
  out[at++] = 0x00;
  out[at++] = 0xFF;
  if (n <= kLongestNormalPayload) {
    out[at++] = static_cast<std::uint8_t>(len);
    out[at++] = negate(len);
  } else {
    const auto lenm = static_cast<std::uint8_t>(len >> 8);
    const auto lenl = static_cast<std::uint8_t>(len & 0xFF);
    out[at++] = 0xFF;
    out[at++] = 0xFF;
    out[at++] = lenm;
    out[at++] = lenl;
    out[at++] = negate(static_cast<unsigned>(lenm) + lenl);
  }
  unsigned sum = kTfiToReader;
  out[at++] = kTfiToReader;
  for (std::int32_t i = 0; i < n; ++i) {
    out[at++] = payload[i];
    sum += payload[i];
  }
  out[at++] = negate(sum);
  out[at++] = 0x00;
  *outLength = at;
  return 0;
}

}  // namespace pelvane
