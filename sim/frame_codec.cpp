// The controller's frame codec: host frames found in the byte stream, answer
// frames built (PN532 user manual, 6.2.1).
#include "frame_codec.h"

namespace pelvsim {

namespace {

// Longest TFI + payload a host frame may carry: the controller takes frames of up
// to 265 bytes (PN532 user manual, 6.2.1.2, extended information frame); longer
// announcements are taken for noise.
constexpr std::size_t kLongestHostFrame = 265;

}  // namespace

Bytes infoFrame(const Bytes& answerBytes, bool extended) {
  const std::size_t len = answerBytes.size() + 1;
  Bytes f = {0x00, 0x00, 0xFF};
  if (!extended && len <= 0xFF) {
    f.push_back(u8(static_cast<unsigned>(len)));
    f.push_back(u8(0x100u - static_cast<unsigned>(len)));
  } else {
    const std::uint8_t m = u8(static_cast<unsigned>(len >> 8));
    const std::uint8_t l = u8(static_cast<unsigned>(len));
    // Byte by byte: GCC 12 at -O2 misreads an initializer-list insert here (-Warray-bounds).
    for (std::uint8_t b : {std::uint8_t{0xFF}, std::uint8_t{0xFF}, m, l, u8(0x100u - ((m + l) & 0xFFu))})
      f.push_back(b);
  }
  unsigned sum = kTfiController;
  f.push_back(kTfiController);
  for (std::uint8_t b : answerBytes) {
    f.push_back(b);
    sum += b;
  }
  f.push_back(u8(0x100u - (sum & 0xFFu)));
  f.push_back(0x00);
  return f;
}

bool isExtended(const Bytes& f) { return f.size() > 4 && f[3] == 0xFF && f[4] == 0xFF; }

void mangle(Bytes* f, const FaultEntry& fault) {
  Bytes& frame = *f;
  if (frame.size() < 8) return;
  switch (fault.fault) {
    case Fault::BadLcs:
      frame[isExtended(frame) ? 7 : 4]++;
      break;
    case Fault::BadDcs:
      frame[frame.size() - 2]++;
      break;
    case Fault::Truncated:
      frame.resize(frame.size() / 2);
      break;
    case Fault::Oversized: {
      // More data than LEN announces, with a DCS that covers all of it.
      const std::size_t extra = fault.param ? fault.param : 4;
      frame.insert(frame.end() - 2, extra, 0x5A);
      const std::size_t tfi = isExtended(frame) ? 8 : 5;
      unsigned sum = 0;
      for (std::size_t k = tfi; k < frame.size() - 2; ++k) sum += frame[k];
      frame[frame.size() - 2] = u8(0x100u - (sum & 0xFFu));
      break;
    }
    default:
      break;
  }
}

// Finds and takes whole frames from the front of rx: skips to the start code
// 00 FF, decides from the length bytes when the frame is complete, then checks it.
void Controller::State::parse() {
  for (;;) {
    std::size_t i = 0;
    while (i + 1 < rx.size() && !(rx[i] == 0x00 && rx[i + 1] == 0xFF)) ++i;
    if (i + 1 >= rx.size()) {
      // Keep a trailing 00 that may begin a start code.
      const bool keepLast = !rx.empty() && rx.back() == 0x00;
      consume(keepLast ? rx.size() - 1 : rx.size());
      return;
    }
    consume(i);
    if (rx.size() < 4) return;
    const std::uint8_t len = rx[2];
    const std::uint8_t lcs = rx[3];
    if (len == 0x00 && lcs == 0xFF) {
      const std::uint64_t t = rxTimes[3];
      consume(rx.size() > 4 && rx[4] == 0x00 ? 5 : 4);
      hostAck(t);
      continue;
    }
    if (len == 0xFF && lcs == 0x00) {
      const std::uint64_t t = rxTimes[3];
      consume(rx.size() > 4 && rx[4] == 0x00 ? 5 : 4);
      hostNack(t);
      continue;
    }
    std::size_t head = 4;
    std::size_t length = len;
    if (len == 0xFF && lcs == 0xFF) {
      if (rx.size() < 7) return;
      head = 7;
      length = static_cast<std::size_t>(rx[4]) << 8 | rx[5];
      if (((rx[4] + rx[5] + rx[6]) & 0xFF) != 0 || length == 0 || length > kLongestHostFrame) {
        consume(2);
        continue;
      }
    } else if (((len + lcs) & 0xFF) != 0 || length == 0) {
      consume(2);  // a wrong length checksum: the frame is ignored
      continue;
    }
    if (rx.size() < head + length + 1) return;
    unsigned sum = 0;
    for (std::size_t k = head; k <= head + length; ++k) sum += rx[k];
    if ((sum & 0xFF) != 0 || rx[head] != kTfiHost) {
      consume(2);  // a wrong data checksum or TFI: the frame is ignored
      continue;
    }
    Bytes payload(rx.begin() + static_cast<std::ptrdiff_t>(head + 1),
                  rx.begin() + static_cast<std::ptrdiff_t>(head + length));
    std::size_t whole = head + length + 1;
    std::uint64_t t = rxTimes[whole - 1];
    if (rx.size() > whole && rx[whole] == 0x00) {
      t = rxTimes[whole++];  // postamble
    } else if (rx.size() == whole && lookahead && *lookahead == 0x00) {
      t = lookaheadTime;  // the postamble is the next byte of this write
      lookaheadTaken = true;
      lookahead = nullptr;
    }
    consume(whole);
    command(payload, t);
  }
}

}  // namespace pelvsim
