// The controller's serial frames spelled by hand, as the host and the controller
// put them on the line (PN532 user manual 6.2.1), never through the library's
// buildFrame. Header only and free of GoogleTest.
//   frame(payload)          host frame: 00 00 FF LEN LCS D4 payload DCS 00
//                           (extended above 246 payload bytes, as the host sends)
//   answer(bytes)           controller frame with TFI D5: answer(hex("03 32 01 06 07"))
//                           (extended when more than 254 answer bytes)
//   answerExtended(bytes)   the same as an extended frame (00 00 FF FF FF LENM LENL LCS ...)
//   infoFrame(tfi, body, extended)  either, with any TFI
//   ACK(), NACK()           00 00 FF 00 FF 00 and 00 00 FF FF 00 00
//   errorFrame()            the controller's syntax error frame 00 00 FF 01 FF 7F 81 00
//   hostPayload(wire, &p)   the payload of one well-formed normal host frame
//   payloadOf(wire)         the same, empty when wire is not one
//   parseAnswer(wire, &a)   ACK, then one well-formed answer frame and nothing else
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/hex.h"

namespace pelvtest {

// The rules: LEN + LCS = 0 (LENM + LENL + LCS = 0 when extended), and
// TFI + body + DCS = 0, all modulo 256.
inline Bytes infoFrame(std::uint8_t tfi, const Bytes& body, bool extended) {
  const std::size_t len = body.size() + 1;
  Bytes f = {0x00, 0x00, 0xFF};
  if (extended) {
    const auto m = static_cast<std::uint8_t>(len >> 8);
    const auto l = static_cast<std::uint8_t>(len);
    // One byte at a time: GCC 12 at -O2 misreads an initializer-list insert here
    // as a write past the vector (-Warray-bounds).
    for (std::uint8_t b : {std::uint8_t{0xFF}, std::uint8_t{0xFF}, m, l,
                           static_cast<std::uint8_t>(-(m + l))}) {
      f.push_back(b);
    }
  } else {
    f.push_back(static_cast<std::uint8_t>(len));
    f.push_back(static_cast<std::uint8_t>(-static_cast<int>(len)));
  }
  int sum = tfi;
  f.push_back(tfi);
  for (std::uint8_t b : body) {
    f.push_back(b);
    sum += b;
  }
  f.push_back(static_cast<std::uint8_t>(-sum));
  f.push_back(0x00);
  return f;
}

inline Bytes frame(const Bytes& payload) { return infoFrame(0xD4, payload, payload.size() > 246); }
inline Bytes answer(const Bytes& answerBytes) {
  return infoFrame(0xD5, answerBytes, answerBytes.size() > 254);
}
inline Bytes answerExtended(const Bytes& answerBytes) { return infoFrame(0xD5, answerBytes, true); }
inline Bytes ACK() { return {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00}; }
inline Bytes NACK() { return {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00}; }
inline Bytes errorFrame() { return {0x00, 0x00, 0xFF, 0x01, 0xFF, 0x7F, 0x81, 0x00}; }

inline bool hostPayload(const Bytes& wire, Bytes* payload) {
  if (wire.size() < 8 || wire[3] == 0xFF) return false;
  Bytes p(wire.begin() + 6, wire.end() - 2);
  if (frame(p) != wire) return false;
  *payload = p;
  return true;
}

inline Bytes payloadOf(const Bytes& wire) {
  Bytes p;
  return hostPayload(wire, &p) ? p : Bytes{};
}

inline bool parseAnswer(const Bytes& wire, Bytes* answerBytes) {
  if (wire.size() < 6 + 8 || Bytes(wire.begin(), wire.begin() + 6) != ACK()) return false;
  const Bytes f(wire.begin() + 6, wire.end());
  std::size_t head = 5;
  std::size_t len = f[3];
  if (f[3] == 0xFF && f[4] == 0xFF) {
    if (f.size() < 10 || ((f[5] + f[6] + f[7]) & 0xFF) != 0) return false;
    head = 8;
    len = static_cast<std::size_t>(f[5]) << 8 | f[6];
  } else if (((f[3] + f[4]) & 0xFF) != 0) {
    return false;
  }
  if (f.size() != head + len + 2 || f[head] != 0xD5) return false;
  unsigned sum = 0;
  for (std::size_t k = head; k <= head + len; ++k) sum += f[k];
  if ((sum & 0xFF) != 0) return false;
  answerBytes->assign(f.begin() + static_cast<std::ptrdiff_t>(head + 1),
                      f.begin() + static_cast<std::ptrdiff_t>(head + len));
  return true;
}

}  // namespace pelvtest
