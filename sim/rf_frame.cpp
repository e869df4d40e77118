#include "rf_frame.h"

namespace pelvsim {

std::uint16_t crcA(const std::uint8_t* data, std::size_t n) {
  std::uint32_t w = 0x6363;
  for (std::size_t k = 0; k < n; ++k) {
    std::uint32_t b = data[k];
    b ^= w & 0xFFu;
    b = (b ^ (b << 4)) & 0xFFu;
    w = (w >> 8) ^ (b << 8) ^ (b << 3) ^ (b >> 4);
  }
  return static_cast<std::uint16_t>(w & 0xFFFFu);
}

namespace {

bool bitAt(const std::vector<std::uint8_t>& s, std::size_t i) { return (s[i / 8] >> (i % 8)) & 1u; }

bool oddParity(std::uint8_t b) {
  unsigned ones = 0;
  for (unsigned k = 0; k < 8; ++k) ones += (b >> k) & 1u;
  return ones % 2 == 0;  // the parity bit that makes the count odd
}

}  // namespace

void appendCrcA(std::vector<std::uint8_t>* bytes) {
  const std::uint16_t c = crcA(bytes->data(), bytes->size());
  bytes->push_back(static_cast<std::uint8_t>(c & 0xFFu));
  bytes->push_back(static_cast<std::uint8_t>(c >> 8));
}

bool hasCrcA(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 3) return false;
  const std::uint16_t c = crcA(bytes.data(), bytes.size() - 2);
  return bytes[bytes.size() - 2] == (c & 0xFFu) && bytes.back() == (c >> 8);
}

namespace {

std::uint16_t crcB(const std::uint8_t* data, std::size_t n) {
  std::uint32_t w = 0xFFFF;
  for (std::size_t k = 0; k < n; ++k) {
    std::uint32_t b = data[k];
    b ^= w & 0xFFu;
    b = (b ^ (b << 4)) & 0xFFu;
    w = (w >> 8) ^ (b << 8) ^ (b << 3) ^ (b >> 4);
  }
  return static_cast<std::uint16_t>(~w & 0xFFFFu);
}

}  // namespace

void appendCrcB(std::vector<std::uint8_t>* bytes) {
  const std::uint16_t c = crcB(bytes->data(), bytes->size());
  bytes->push_back(static_cast<std::uint8_t>(c & 0xFFu));
  bytes->push_back(static_cast<std::uint8_t>(c >> 8));
}

bool hasCrcB(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 3) return false;
  const std::uint16_t c = crcB(bytes.data(), bytes.size() - 2);
  return bytes[bytes.size() - 2] == (c & 0xFFu) && bytes.back() == (c >> 8);
}

bool unpackParityStream(const std::vector<std::uint8_t>& stream, unsigned lastBits, RfFrame* out) {
  out->bytes.clear();
  out->lastBits = 8;
  if (stream.empty()) return false;
  const std::size_t bits = (stream.size() - 1) * 8 + (lastBits == 0 ? 8 : lastBits);
  if (bits == 7) {
    out->bytes = {static_cast<std::uint8_t>(stream[0] & 0x7Fu)};
    out->lastBits = 7;
    return true;
  }
  if (bits % 9 != 0) return false;
  for (std::size_t i = 0; i < bits; i += 9) {
    std::uint8_t b = 0;
    for (unsigned k = 0; k < 8; ++k) b = static_cast<std::uint8_t>(b | bitAt(stream, i + k) << k);
    if (bitAt(stream, i + 8) != oddParity(b)) return false;
    out->bytes.push_back(b);
  }
  return true;
}

RfFrame packParityStream(const RfFrame& frame) {
  RfFrame out;
  std::size_t bit = 0;
  auto put = [&](bool v) {
    if (bit % 8 == 0) out.bytes.push_back(0);
    if (v) out.bytes.back() = static_cast<std::uint8_t>(out.bytes.back() | 1u << (bit % 8));
    ++bit;
  };
  for (std::size_t k = 0; k < frame.bytes.size(); ++k) {
    const bool last = k + 1 == frame.bytes.size();
    const unsigned n = last ? frame.lastBits : 8;
    for (unsigned j = 0; j < n; ++j) put((frame.bytes[k] >> j) & 1u);
    if (n == 8) put(oddParity(frame.bytes[k]));  // a partial last byte carries no parity
  }
  out.lastBits = bit % 8 == 0 ? 8 : static_cast<unsigned>(bit % 8);
  return out;
}

}  // namespace pelvsim
