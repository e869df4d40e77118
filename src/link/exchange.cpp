#include "link/exchange.h"

#include <cstring>

#include "link/byte_reader.h"
#include "link/frame.h"
#include "platform/platform.h"
#include "port/port_table.h"

namespace pelvane {

namespace {

// Offsets in a frame from the reader (PN532 user manual 6.2.1).
constexpr std::int32_t kLenOffset = 3;
constexpr std::int32_t kLcsOffset = 4;
constexpr std::int32_t kTfiOffset = 5;
constexpr std::int32_t kLenmOffset = 5;
constexpr std::int32_t kLenlOffset = 6;
constexpr std::int32_t kExtendedLcsOffset = 7;
constexpr std::int32_t kExtendedTfiOffset = 8;
constexpr std::int32_t kNormalDataOffset = 7;     // first byte after the answer code
constexpr std::int32_t kExtendedDataOffset = 10;
// Offset of the command code in a normal frame written by the host.
constexpr std::int32_t kCommandOffset = 6;

constexpr std::int32_t kAckLength = 6;
constexpr std::int32_t kAnswerHead = 5;           // preamble, start code, two more bytes
constexpr std::int32_t kNormalOverhead = 7;       // frame bytes besides LEN's count
constexpr std::int32_t kExtendedOverhead = 10;

constexpr std::uint8_t kRfRegulationTest = 0x58;  // answered with the ACK only
constexpr std::uint8_t kInListPassiveTarget = 0x4A;
constexpr std::uint8_t kTypeBBaud = 0x03;         // 106 kbit/s ISO/IEC 14443 Type B
// Every answer carries at least the TFI and the answer code (PN532 user manual
// 6.2.1.1); a shorter LEN is noise that happened to pass both checksums.
constexpr std::int32_t kShortestAnswerLen = 2;
// An answer of LEN 3 holds TFI, answer code and one byte: for InListPassiveTarget,
// zero targets.
constexpr std::uint8_t kNoTargetLen = 3;
// The frame goes out at most this many times (attempts 0 .. 100000).
constexpr std::int32_t kLastAttempt = 100000;

// Reads one byte into answer->bytes[answer->received].
std::int32_t readInto(int port, Answer* answer) {
  std::uint8_t byte = 0;
  const std::int32_t code = readByte(port, &byte);
  if (code != 0) return code;
  answer->bytes[answer->received++] = byte;
  return 0;
}

// Reads and drops `count` bytes of a frame too long to keep, so that the next
// command starts on a clean line. The deadline bounds each read.
std::int32_t discard(int port, std::int32_t count) {
  std::uint8_t byte = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    const std::int32_t code = readByte(port, &byte);
    if (code != 0) return code;
  }
  return kLinkFailed;
}

// The rules of both forms: the length bytes and LCS sum to 0, and so do the TFI,
// the answer and the DCS (the LEN bytes from `tfi` on, then the DCS); an answer
// needs at least its TFI and answer code.
bool checksumsHold(const Answer& a, unsigned lengthSum, std::int32_t tfi, std::int32_t len) {
  if ((lengthSum & 0xFF) != 0) return false;
  unsigned sum = 0;
  for (std::int32_t i = tfi; i <= tfi + len; ++i) sum += a.bytes[i];
  return (sum & 0xFF) == 0 && len >= kShortestAnswerLen;
}

std::int32_t answerLen(const Answer& a) {
  if (a.frameLength <= 0) return -1;
  if (answerIsExtended(a)) return a.bytes[kLenmOffset] * 256 + a.bytes[kLenlOffset];
  return a.bytes[kLenOffset];
}

}  // namespace

std::int32_t exchangeFrame(int port, const std::uint8_t* frame, std::int32_t frameLength,
                           Answer* answer) {
  if (answer == nullptr) return kLinkFailed;
  answer->received = 0;
  answer->frameLength = 0;
  if (frame == nullptr || frameLength <= 0 || port < 1 || port > kPortCount) return kLinkFailed;
  const PortHandle handle = slot(port).handle;

  if (!purgeBuffers(handle)) return kLinkTimeout;
  if (!writeBytes(handle, frame, static_cast<std::uint32_t>(frameLength))) return kLinkFailed;

  // The acknowledgement position: six bytes, not compared with the ACK frame.
  for (std::int32_t i = 0; i < kAckLength; ++i) {
    const std::int32_t code = readInto(port, answer);
    if (code != 0) return code;
  }
  if (frameLength > kCommandOffset && frame[kCommandOffset] == kRfRegulationTest) return kLinkOk;
  // A NACK (00 00 FF FF 00 00) ends the exchange without an answer frame.
  if (answer->bytes[kLenOffset] == 0xFF) return kLinkOk;

  // The answer frame overwrites the acknowledgement from offset 0.
  answer->received = 0;
  for (std::int32_t i = 0; i < kAnswerHead; ++i) {
    const std::int32_t code = readInto(port, answer);
    if (code != 0) return code;
  }

  // The extended marker FF FF stands where a normal frame has LEN and LCS.
  if (answer->bytes[kLenOffset] == 0xFF && answer->bytes[kLcsOffset] == 0xFF) {
    // Extended answer: 00 00 FF FF FF LENM LENL LCS D5 answer DCS 00, checked as
    // a normal one (PN532 user manual 6.2.1.2; nfcpy's pn53x.py and libnfc's
    // pn532_uart.c test the same LCS). Until LENM and LENL are in, at least 10
    // bytes are due.
    for (;;) {
      std::int32_t target = kExtendedOverhead;
      if (answer->received > kLenlOffset) {
        target = answer->bytes[kLenmOffset] * 256 + answer->bytes[kLenlOffset] + kExtendedOverhead;
      }
      if (answer->received >= target) break;
      if (target > kAnswerCapacity) return discard(port, target - answer->received);
      const std::int32_t code = readInto(port, answer);
      if (code != 0) return code;
    }
    const std::int32_t len = answer->bytes[kLenmOffset] * 256 + answer->bytes[kLenlOffset];
    if (!checksumsHold(*answer, answer->bytes[kLenmOffset] + answer->bytes[kLenlOffset] +
                                    answer->bytes[kExtendedLcsOffset],
                       kExtendedTfiOffset, len)) {
      return kLinkFailed;
    }
    answer->frameLength = answer->received;
    return kLinkOk;
  }

  // Normal answer: 00 00 FF LEN LCS D5 answer DCS 00, LEN + 7 bytes (at most 262).
  const std::int32_t len = answer->bytes[kLenOffset];
  const std::int32_t target = len + kNormalOverhead;
  while (answer->received < target) {
    const std::int32_t code = readInto(port, answer);
    if (code != 0) return code;
  }
  if (!checksumsHold(*answer, answer->bytes[kLenOffset] + answer->bytes[kLcsOffset], kTfiOffset,
                     len)) {
    return kLinkFailed;
  }
  answer->frameLength = target;
  return kLinkOk;
}

std::int32_t exchangeCommand(int port, const std::uint8_t* payload, std::int32_t n,
                             Answer* answer, int poll) {
  if (answer == nullptr) return kLinkFailed;
  answer->received = 0;
  answer->frameLength = 0;
  if (port < 1 || port > kPortCount || n < 0 || n > kLongestPayload ||
      (n > 0 && payload == nullptr)) {
    return kLinkFailed;
  }
  if (!purgeBuffers(slot(port).handle)) return kLinkTimeout;

  std::uint8_t frame[kFrameCapacity];
  std::int32_t frameLength = 0;
  buildFrame(payload, n, frame, &frameLength);
  const bool typeBPoll = n >= 3 && payload[0] == kInListPassiveTarget && payload[2] == kTypeBBaud;

  for (std::int32_t attempt = 0; attempt <= kLastAttempt; ++attempt) {
    std::int32_t code = exchangeFrame(port, frame, frameLength, answer);
    if (code != 0) return code;
    if (poll == 0) return kLinkOk;
    if (answer->bytes[kLenOffset] != kNoTargetLen) return kLinkOk;
    if (deadlineExpired(port)) return kLinkTimeout;
    pausePort(port, 1);
    if (typeBPoll) {
      // A Type B card answers the next REQB only after the field has been reset.
      code = exchangeFrame(port, kFieldOffFrame, sizeof kFieldOffFrame, answer);
      if (code != 0) return code;
      pausePort(port, 10);
    }
  }
  return kLinkOk;
}

bool hasAnswer(const Answer& answer) { return answer.frameLength > 0; }

bool answerIsExtended(const Answer& answer) {
  return answer.frameLength >= kExtendedOverhead && answer.bytes[kLenOffset] == 0xFF &&
         answer.bytes[kLcsOffset] == 0xFF;
}

std::int32_t answerLength(const Answer& answer) { return answerLen(answer); }

std::int32_t answerDataCount(const Answer& answer) {
  const std::int32_t len = answerLen(answer);
  return len > 2 ? len - 2 : 0;
}

int answerByte(const Answer& answer, std::int32_t i) {
  if (i < 0 || i >= answerDataCount(answer)) return -1;
  const std::int32_t base = answerIsExtended(answer) ? kExtendedDataOffset : kNormalDataOffset;
  const std::int32_t at = base + i;
  if (at >= answer.frameLength || at >= kAnswerCapacity) return -1;
  return answer.bytes[at];
}

bool answerCopy(const Answer& answer, std::int32_t from, std::int32_t n, std::uint8_t* out) {
  if (from < 0 || n < 0 || from > answerDataCount(answer) - n) return false;
  if (n == 0) return true;
  if (out == nullptr) return false;
  const std::int32_t base = answerIsExtended(answer) ? kExtendedDataOffset : kNormalDataOffset;
  std::memcpy(out, answer.bytes + base + from, static_cast<std::size_t>(n));
  return true;
}

}  // namespace pelvane
