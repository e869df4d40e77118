// Helpers for the tests of the simulated controller: frames spelled by hand (no
// library code), and a host end that drives a Controller on a virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "controller.h"
#include "faults.h"
#include "field.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes hex(const std::string& text) {
  Bytes out;
  unsigned value = 0;
  int digits = 0;
  for (char ch : text) {
    int d = -1;
    if (ch >= '0' && ch <= '9') d = ch - '0';
    if (ch >= 'A' && ch <= 'F') d = ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') d = ch - 'a' + 10;
    if (d < 0) continue;
    value = value * 16 + static_cast<unsigned>(d);
    if (++digits == 2) {
      out.push_back(static_cast<std::uint8_t>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}

inline std::string toHex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (std::uint8_t x : b) {
    if (!s.empty()) s += ' ';
    s += digits[x >> 4];
    s += digits[x & 15];
  }
  return s;
}

inline Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// 00 00 FF LEN LCS TFI payload DCS 00, extended (FF FF LENM LENL LCS) when LEN > 255.
inline Bytes infoFrame(std::uint8_t tfi, const Bytes& payload, bool extended = false) {
  const std::size_t len = payload.size() + 1;
  Bytes f = {0x00, 0x00, 0xFF};
  if (len > 255 || extended) {
    const auto m = static_cast<std::uint8_t>(len >> 8);
    const auto l = static_cast<std::uint8_t>(len);
    // Byte by byte: GCC 12 at -O2 misreads an initializer-list insert here (-Warray-bounds).
    for (std::uint8_t b : {std::uint8_t{0xFF}, std::uint8_t{0xFF}, m, l,
                           static_cast<std::uint8_t>(0x100 - ((m + l) & 0xFF))})
      f.push_back(b);
  } else {
    f.push_back(static_cast<std::uint8_t>(len));
    f.push_back(static_cast<std::uint8_t>(0x100 - len));
  }
  unsigned sum = tfi;
  f.push_back(tfi);
  for (std::uint8_t b : payload) {
    f.push_back(b);
    sum += b;
  }
  f.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
  f.push_back(0x00);
  return f;
}
inline Bytes cmd(const Bytes& payload) { return infoFrame(0xD4, payload); }
inline Bytes reply(const Bytes& answer) { return infoFrame(0xD5, answer); }
inline Bytes ack() { return hex("00 00 FF 00 FF 00"); }
inline Bytes nack() { return hex("00 00 FF FF 00 00"); }
inline Bytes errorFrame() { return hex("00 00 FF 01 FF 7F 81 00"); }

// The host end of the line, on a virtual clock that moves only when told.
struct Host {
  pelvsim::Controller c;
  std::uint64_t now = 1000;

  void write(const Bytes& b, std::uint32_t baud = 0) {
    c.hostWrote(b.data(), b.size(), now, baud ? baud : c.baud());
  }
  // Every byte that arrives up to `limit`; the clock follows the arrivals.
  Bytes read(std::uint64_t limit = UINT64_MAX / 2) {
    Bytes out;
    for (;;) {
      const std::uint64_t t = c.nextArrivalUs();
      if (t == UINT64_MAX || t > limit) break;
      if (t > now) now = t;
      for (int b = c.pop(now); b >= 0; b = c.pop(now)) out.push_back(static_cast<std::uint8_t>(b));
    }
    return out;
  }
  Bytes send(const Bytes& payload, std::uint32_t baud = 0) {
    write(cmd(payload), baud);
    return read();
  }
  // The answer (code and data) of one command, checked to come as ACK + one frame.
  Bytes ask(const Bytes& payload) {
    const Bytes wire = send(payload);
    Bytes a;
    if (!parseAnswer(wire, &a)) ADD_FAILURE() << "no ACK + answer for " << toHex(payload) << ": " << toHex(wire);
    return a;
  }

  // ACK, then one valid normal or extended frame, then nothing.
  static bool parseAnswer(const Bytes& wire, Bytes* answer) {
    if (wire.size() < 6 + 8 || Bytes(wire.begin(), wire.begin() + 6) != ack()) return false;
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
    answer->assign(f.begin() + static_cast<std::ptrdiff_t>(head + 1),
                   f.begin() + static_cast<std::ptrdiff_t>(head + len));
    return true;
  }
};

#define EXPECT_HEX(expected, actual) EXPECT_EQ(::simtest::toHex(expected), ::simtest::toHex(actual))

}  // namespace simtest
