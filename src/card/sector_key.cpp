// Host command 0x33: change key A of a MIFARE Classic sector (ReaderMode 3), or
// write page 3 of a 7-byte-UID card (ReaderMode 4). Every controller refusal
// shows as 0xFE, like a time-out.
#include <cstring>

#include "card/card_exchange.h"
#include "card/mifare.h"
#include "command/dispatcher.h"
#include "command/handlers.h"
#include "command/response.h"
#include "link/exchange.h"
#include "port/port_table.h"

namespace pelvane {

namespace {

constexpr std::int32_t kBlockSize = 16;
constexpr std::int32_t kKeySize = 6;

// A link failure passes unchanged; a controller status only says "refused".
std::int32_t refusedAsTimeout(std::int32_t code) {
  return code > 0 ? kLinkTimeout : code;
}

// MIFARE READ (30) of the trailer.
constexpr std::uint8_t kTrailerReadTemplate[4] = {0x40, 0x01, 0x30, 0x00};
// MIFARE WRITE (A0) of the trailer with the new key A in bytes 0..5.
constexpr std::uint8_t kTrailerWriteTemplate[4 + kBlockSize] = {0x40, 0x01, 0xA0};
constexpr std::int32_t kKeyChangeLength = 19;

std::int32_t changeKeyA(int port, const std::uint8_t* packet) {
  if (packet[0] != kKeyChangeLength) return kCodeBadLength;
  int sector = packet[12];
  if (sector >= kMifareSectors) return kCodeOutOfRange;
  std::uint8_t trailer = mifareTrailer(sector);

  // Authenticate with the current key A, which the request carries where reads do.
  Answer answer;
  std::int32_t code = authenticateKeyA(port, packet, trailer, &answer);
  if (code != 0) return refusedAsTimeout(code);

  std::uint8_t read[sizeof kTrailerReadTemplate];
  std::memcpy(read, kTrailerReadTemplate, sizeof read);
  read[3] = trailer;
  code = exchangeWithTarget(port, read, sizeof read, &answer);
  if (code != 0) return refusedAsTimeout(code);

  // Access bits, the byte after them and key B (bytes 6..15) go back as read.
  std::uint8_t write[sizeof kTrailerWriteTemplate];
  std::memcpy(write, kTrailerWriteTemplate, sizeof write);
  write[3] = trailer;
  if (!answerCopy(answer, 1, kBlockSize, write + 4)) return kLinkFailed;
  std::memcpy(write + 4, packet + 13, kKeySize);  // new key A
  code = exchangeWithTarget(port, write, sizeof write, &answer);
  return refusedAsTimeout(code);
}

// The preparatory exchange before a page write (fifth byte 00), then the
// 7 identifier bytes.
constexpr std::uint8_t kPage3Prepare[18] = {0x40, 0x01, 0x60, 0x00, 0x00, 0x3E,
                                            0x91, 0xC7, 0x0B, 0x5D, 0xA4};
// Ultralight WRITE (A2) of page 3.
constexpr std::uint8_t kPage3WriteTemplate[8] = {0x40, 0x01, 0xA2, 0x03};
constexpr std::int32_t kPage3Length = 14;

std::int32_t writePage3(int port, const std::uint8_t* packet) {
  if (packet[0] != kPage3Length) return kCodeBadLength;
  std::uint8_t prepare[sizeof kPage3Prepare];
  std::memcpy(prepare, kPage3Prepare, sizeof prepare);
  std::memcpy(prepare + 11, packet + 2, 7);
  Answer answer;
  std::int32_t code = exchangeWithTarget(port, prepare, sizeof prepare, &answer);
  if (code != 0) return refusedAsTimeout(code);

  std::uint8_t write[sizeof kPage3WriteTemplate];
  std::memcpy(write, kPage3WriteTemplate, sizeof write);
  std::memcpy(write + 4, packet + 9, 4);
  code = exchangeWithTarget(port, write, sizeof write, &answer);
  return refusedAsTimeout(code);
}

}  // namespace

std::uint16_t writeKeyOrPage3(int port, const std::uint8_t* command, std::uint8_t* response) {
  std::int32_t code;
  switch (slot(port).readerMode) {
    case kModeMifare:
      code = changeKeyA(port, command);
      break;
    case kModePageCard:
      code = writePage3(port, command);
      break;
    default:
      // The dispatcher's gate, kept here too: no traffic and no response.
      return kResultFailed;
  }
  return finish(response, command[1], code, nullptr, 0, TimeoutRule::Failed);
}

}  // namespace pelvane
