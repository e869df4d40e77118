#include "rf_timing.h"

#include <algorithm>

namespace pelvsim {
namespace rf {

namespace {

constexpr Cycles kEtu = 128;  // one bit at 106 kbit/s

// ---- Type A ----
std::uint64_t typeABits(const RfFrame& f) {
  if (f.bytes.empty()) return 0;
  const bool partial = f.lastBits < 8;
  return (f.bytes.size() - 1) * 9 + (partial ? f.lastBits : 9);
}

// The last bit on the air: a partial byte's last data bit, else the last byte's
// odd parity bit.
bool lastBitOne(const RfFrame& f) {
  if (f.bytes.empty()) return false;
  const std::uint8_t b = f.bytes.back();
  if (f.lastBits < 8) return (b >> (f.lastBits - 1)) & 1u;
  unsigned ones = 0;
  for (unsigned k = 0; k < 8; ++k) ones += (b >> k) & 1u;
  return ones % 2 == 0;
}

RfFrame whole(const Bytes& bytes, bool crc) {
  RfFrame f;
  f.bytes = bytes;
  if (crc) appendCrcA(&f.bytes);
  return f;
}

RfFrame sized(std::size_t bytes, bool crc) { return whole(Bytes(bytes, 0x00), crc); }

RfFrame fourBits() {
  RfFrame f;
  f.bytes = {0x0A};
  f.lastBits = 4;
  return f;
}

// ---- Type B ----
constexpr Cycles kTypeBSof = 12 * kEtu;
constexpr Cycles kTypeBEof = 10 * kEtu;
constexpr Cycles kTr0 = 1024;
constexpr Cycles kTr1 = 1280;
constexpr std::size_t kCrcB = 2;

// ---- DEP ----
constexpr std::size_t kDepHeader = 3;      // CMD0 CMD1 PFB
constexpr std::size_t kDepLongest = 251;   // data bytes in one frame: LR 254 less the header

}  // namespace

std::uint64_t toUs(Cycles c) { return (c * 1000000 + kCarrierHz / 2) / kCarrierHz; }

Cycles fromTimeoutCode(std::uint8_t code) {
  if (code == 0) return 0;
  const unsigned shift = std::min<unsigned>(code, 16u) - 1;
  return (100ull << shift) * kCarrierHz / 1000000;
}

// ---- Type A ----
Cycles typeAReaderFrame(const RfFrame& f) { return (1 + typeABits(f) + 2) * kEtu; }
Cycles typeACardFrame(const RfFrame& f) { return (1 + typeABits(f) + 1) * kEtu; }

Cycles typeAFrameDelay(const RfFrame& sent) {
  return 9 * kEtu + (lastBitOne(sent) ? 84 : 20) - 2 * kEtu;
}

Cycles typeAExchange(const RfFrame& sent, const RfFrame& answer, Cycles cardTime) {
  return typeAReaderFrame(sent) + typeAFrameDelay(sent) + cardTime + typeACardFrame(answer);
}

Cycles typeAActivation(const Bytes& uid) {
  Cycles t = typeANoAnswer();  // as long as REQA and its ATQA
  const std::size_t levels = uid.size() <= 4 ? 1 : uid.size() <= 7 ? 2 : 3;
  for (std::size_t level = 0; level < levels; ++level) {
    const std::uint8_t sel = static_cast<std::uint8_t>(0x93 + 2 * level);
    Bytes cl;
    const std::size_t from = 3 * level;
    if (level + 1 < levels) {
      cl = {0x88, uid[from], uid[from + 1], uid[from + 2]};
    } else {
      cl.assign(uid.begin() + static_cast<std::ptrdiff_t>(std::min(from, uid.size())), uid.end());
      cl.resize(4, 0x00);
    }
    cl.push_back(static_cast<std::uint8_t>(cl[0] ^ cl[1] ^ cl[2] ^ cl[3]));
    t += typeAExchange(whole({sel, 0x20}, false), whole(cl, false));
    Bytes select = {sel, 0x70};
    select.insert(select.end(), cl.begin(), cl.end());
    t += typeAExchange(whole(select, true), sized(1, true));
  }
  return t;
}

Cycles typeANoAnswer() {
  RfFrame reqa;
  reqa.bytes = {0x26};
  reqa.lastBits = 7;
  return typeAExchange(reqa, sized(2, false));
}

Cycles typeAHalt() { return typeAReaderFrame(whole({0x50, 0x00}, true)) + kCarrierHz / 1000; }

Cycles mifareCommand(const Bytes& d, bool answered, std::size_t answerBytes) {
  if (d.empty()) return 0;
  const std::uint8_t cmd = d[0];
  if ((cmd == 0x60 || cmd == 0x61) && d.size() == 12) {
    const RfFrame first = whole({cmd, d[1]}, true);
    const RfFrame second = sized(8, false);
    Cycles t = typeAExchange(first, sized(4, false)) + typeAReaderFrame(second);
    if (answered) t += typeAFrameDelay(second) + typeACardFrame(sized(4, false));
    return t;
  }
  if (cmd == 0xA0 && d.size() == 18) {
    const RfFrame first = whole({cmd, d[1]}, true);
    const RfFrame data = whole(Bytes(d.begin() + 2, d.end()), true);
    Cycles t = typeAExchange(first, fourBits()) + typeAReaderFrame(data);
    if (answered) t += typeAFrameDelay(data) + kEepromWrite + typeACardFrame(fourBits());
    return t;
  }
  const RfFrame sent = whole(d, true);
  if (!answered) return typeAReaderFrame(sent);
  if (cmd == 0xA2 && answerBytes == 0) return typeAExchange(sent, fourBits(), kEepromWrite);
  return typeAExchange(sent, answerBytes == 0 ? fourBits() : sized(answerBytes, true));
}

// ---- Type B ----
Cycles typeBReaderFrame(std::size_t bytes) { return kTypeBSof + 10 * kEtu * bytes + kTypeBEof; }
Cycles typeBCardFrame(std::size_t bytes) { return kTr0 + kTr1 + typeBReaderFrame(bytes); }

Cycles typeBExchange(std::size_t sent, std::size_t answered, Cycles cardTime) {
  return typeBReaderFrame(sent + kCrcB) + cardTime + typeBCardFrame(answered + kCrcB);
}

Cycles typeBFrameWaitingTime(unsigned fwi) { return 4096ull << (fwi > 14 ? 4 : fwi); }

Cycles typeBNoAnswer() { return typeBReaderFrame(3 + kCrcB) + 7680; }

Cycles isoDepApdu(std::size_t apdu, std::size_t answer, std::size_t fsc, std::size_t fsd, std::size_t head,
                  Cycles processing) {
  const std::size_t up = fsc > head ? fsc - head : 1;
  const std::size_t down = fsd > head ? fsd - head : 1;
  const std::size_t rBlock = head - kCrcB;  // PCB [CID]
  Cycles t = 0;
  std::size_t left = apdu;
  while (left > up) {  // chained I-blocks, each answered by R(ACK)
    t += typeBExchange(rBlock + up, rBlock);
    left -= up;
  }
  std::size_t part = std::min(answer, down);
  t += typeBExchange(rBlock + left, rBlock + part, processing);
  for (std::size_t given = part; given < answer; given += part) {  // R(ACK) for each further part
    part = std::min(answer - given, down);
    t += typeBExchange(rBlock, rBlock + part);
  }
  return t;
}

// ---- FeliCa ----
Cycles felicaFrame(std::size_t length, unsigned kbps) {
  const Cycles bit = kbps >= 424 ? 32 : 64;
  return (6 + 2 + length + 2) * 8 * bit;
}

Cycles felicaPollingSlot(unsigned slot) { return 512 * 64 + static_cast<Cycles>(slot) * 256 * 64; }

Cycles felicaPollingNoAnswer(std::size_t requestLength, unsigned slots, unsigned kbps) {
  return felicaFrame(requestLength, kbps) + felicaPollingSlot(std::max(slots, 1u));
}

Cycles felicaResponseTime(const std::array<std::uint8_t, 8>& pmm, const Bytes& command) {
  if (command.size() < 2) return 0;
  std::size_t index = 7;
  Cycles n = 0;
  bool withB = true;
  switch (command[1]) {
    case 0x02:  // Request Service: L 02 IDm(8) n codes(2n)
      index = 2;
      n = command.size() > 10 ? command[10] : 0;
      break;
    case 0x04:
      index = 3;
      n = 1;
      break;
    case 0x0A:
    case 0x0C:
      index = 3;
      withB = false;
      break;
    case 0x10:
    case 0x12:
      index = 4;
      break;
    case 0x06:  // Read / Write: L cmd IDm(8) m codes(2m) n blocks
    case 0x08: {
      index = command[1] == 0x06 ? 5 : 6;
      const std::size_t at = 11 + 2 * static_cast<std::size_t>(command.size() > 10 ? command[10] : 0);
      n = at < command.size() ? command[at] : 0;
      break;
    }
    default:
      break;
  }
  const std::uint8_t p = pmm[index];
  const Cycles a = p & 0x07u;
  const Cycles b = withB ? (p >> 3) & 0x07u : 0;
  const unsigned e = p >> 6;
  const Cycles units = withB ? (b + 1) * n + a + 1 : a + 1;
  return 4096 * units << (2 * e);
}

// ---- DEP ----
Cycles depFrame(std::size_t payload, unsigned speed) {
  if (speed == 0) return typeAReaderFrame(sized(1 + 1 + payload, true));
  return felicaFrame(1 + payload, speed == 1 ? 212 : 424);
}

Cycles depTurnaround(bool active, unsigned speed) {
  if (active) return 768 + 1024;
  if (speed == 0) return 9 * kEtu + 20 - 2 * kEtu;
  return 2672;
}

Cycles depExchange(std::size_t sent, std::size_t answered, bool active, unsigned speed) {
  const Cycles turn = depTurnaround(active, speed);
  const Cycles ack = depFrame(kDepHeader, speed);
  Cycles t = 0;
  std::size_t left = sent;
  for (; left > kDepLongest; left -= kDepLongest) t += depFrame(kDepHeader + kDepLongest, speed) + turn + ack + turn;
  t += depFrame(kDepHeader + left, speed) + turn;
  std::size_t back = answered;
  for (; back > kDepLongest; back -= kDepLongest) t += depFrame(kDepHeader + kDepLongest, speed) + turn + ack + turn;
  return t + depFrame(kDepHeader + back, speed);
}

Cycles depInitialGuard() { return 4096 + 5 * kCarrierHz / 1000; }

}  // namespace rf
}  // namespace pelvsim
