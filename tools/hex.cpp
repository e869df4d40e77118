#include "hex.h"

#include <algorithm>
#include <cstdio>

namespace pelvtool {
namespace {

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':' || c == '-';
}

}  // namespace

bool parseHex(const std::string& text, Bytes* out, std::string* error) {
  Bytes bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (isSeparator(text[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && !isSeparator(text[end])) ++end;
    std::string token = text.substr(i, end - i);
    i = end;
    std::string digits = token;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
      digits = digits.substr(2);
    }
    for (char c : digits) {
      if (digitValue(c) < 0) {
        if (error) *error = "'" + token + "' is not hexadecimal";
        return false;
      }
    }
    if (digits.size() == 1) {
      bytes.push_back(static_cast<std::uint8_t>(digitValue(digits[0])));
      continue;
    }
    if (digits.size() % 2 != 0) {
      if (error) *error = "'" + token + "' has an odd number of hex digits";
      return false;
    }
    for (std::size_t k = 0; k < digits.size(); k += 2) {
      bytes.push_back(static_cast<std::uint8_t>(digitValue(digits[k]) * 16 + digitValue(digits[k + 1])));
    }
  }
  *out = std::move(bytes);
  return true;
}

bool parseHexExact(const std::string& text, std::size_t length, Bytes* out, std::string* error) {
  Bytes bytes;
  if (!parseHex(text, &bytes, error)) return false;
  if (bytes.size() != length) {
    if (error) {
      *error = "'" + text + "' is " + std::to_string(bytes.size()) + " byte" +
               (bytes.size() == 1 ? "" : "s") + ", expected " + std::to_string(length);
    }
    return false;
  }
  *out = std::move(bytes);
  return true;
}

std::string hexBytes(const std::uint8_t* data, std::size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(n * 3);
  for (std::size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 0x0F];
  }
  return s;
}

std::string hexBytes(const Bytes& data) { return hexBytes(data.data(), data.size()); }

std::string hexByte(unsigned value) { return hexWord(value, 2); }

std::string hexWord(unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

std::string hexDump(const std::uint8_t* data, std::size_t n, std::size_t base) {
  std::string s;
  char buf[16];
  for (std::size_t line = 0; line < n; line += 16) {
    std::snprintf(buf, sizeof buf, "%04zX  ", base + line);
    s += buf;
    for (std::size_t k = 0; k < 16; ++k) {
      if (k == 8) s += ' ';
      if (line + k < n) {
        std::snprintf(buf, sizeof buf, "%02X ", data[line + k]);
        s += buf;
      } else {
        s += "   ";
      }
    }
    s += " |";
    for (std::size_t k = 0; k < 16 && line + k < n; ++k) {
      const std::uint8_t c = data[line + k];
      s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    s += "|\n";
  }
  return s;
}

std::string hexDump(const Bytes& data, std::size_t base) { return hexDump(data.data(), data.size(), base); }

std::string labeledDump(const std::vector<std::string>& labels, const Bytes& data, std::size_t width) {
  std::size_t pad = 0;
  for (const std::string& l : labels) pad = std::max(pad, l.size());
  std::string s;
  for (std::size_t line = 0, at = 0; at < data.size() && width > 0; ++line, at += width) {
    std::string label = line < labels.size() ? labels[line] : std::string();
    label.resize(pad, ' ');
    const std::size_t n = std::min(width, data.size() - at);
    s += label + "  " + hexBytes(data.data() + at, n);
    s.append((width - n) * 3, ' ');
    s += "  |";
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint8_t c = data[at + k];
      s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    s += "|\n";
  }
  return s;
}

bool parseNumber(const std::string& text, long min, long max, long* out) {
  if (text.empty()) return false;
  std::size_t i = 0;
  int radix = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    radix = 16;
    i = 2;
  }
  long value = 0;
  for (; i < text.size(); ++i) {
    const int d = digitValue(text[i]);
    if (d < 0 || d >= radix) return false;
    value = value * radix + d;
    if (value > max) return false;
  }
  if (value < min) return false;
  *out = value;
  return true;
}

}  // namespace pelvtool
