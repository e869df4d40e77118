// Bytes spelled as hex text, and the small byte builders every test uses.
// Header only and free of GoogleTest, so the fuzz targets, the soak and the tool
// tests share it with the unit tests.
//   hex("00 00 FF 00 FF 00")  bytes from hex text; spaces, tabs and line feeds
//                             separate, anything else not a hex digit (or an odd
//                             number of digits) throws std::invalid_argument
//   toHex(bytes)              "00 00 FF ..." for comparisons and messages
//   hexByte(v)                one byte as two upper-case digits: "0A"
//   cat(a, b, ...)            concatenation
//   sequence(first, n)        first, first + 1, ... (wrapping), n bytes
//   repeat(value, n)          n copies of value
//   EXPECT_BYTES(expected, actual)  GoogleTest check that prints both in hex
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelvtest {

using Bytes = std::vector<std::uint8_t>;

inline int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// False on a character that is neither white space nor a hex digit, or on an
// odd number of digits; `out` then holds the bytes before the fault.
inline bool parseHex(const std::string& text, Bytes* out) {
  out->clear();
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    const int v = hexDigit(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
    } else {
      out->push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return high < 0;
}

inline Bytes hex(const std::string& text) {
  Bytes out;
  if (!parseHex(text, &out)) throw std::invalid_argument("not hex bytes: \"" + text + "\"");
  return out;
}

inline std::string toHex(const std::uint8_t* p, std::size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) s += ' ';
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}
inline std::string toHex(const Bytes& bytes) { return toHex(bytes.data(), bytes.size()); }

inline std::string hexByte(int v) {
  const auto b = static_cast<std::uint8_t>(v);
  return toHex(&b, 1);
}

inline Bytes cat(const Bytes& a) { return a; }
template <typename... Rest>
Bytes cat(const Bytes& a, const Bytes& b, const Rest&... rest) {
  Bytes all = a;
  all.insert(all.end(), b.begin(), b.end());
  return cat(all, rest...);
}

inline Bytes sequence(std::uint8_t first, std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
  return b;
}

inline Bytes repeat(std::uint8_t value, std::size_t n) { return Bytes(n, value); }

}  // namespace pelvtest

#define EXPECT_BYTES(expected, actual) \
  EXPECT_EQ(::pelvtest::toHex(expected), ::pelvtest::toHex(actual))
