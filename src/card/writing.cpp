// Host commands 0x31 and 0x32: write to the card the port works with, or send
// data to the peer, by ReaderMode. 0x32 differs only in allowing page counts
// that are not a multiple of four.
#include <cstring>

#include "card/card_exchange.h"
#include "card/felica.h"
#include "card/mifare.h"
#include "card/target_exchange.h"
#include "command/dispatcher.h"
#include "command/handlers.h"
#include "command/response.h"
#include "link/exchange.h"
#include "port/port_table.h"

namespace pelvane {

namespace {

constexpr std::uint8_t kWriteAnyPages = 0x32;
constexpr std::int32_t kBlockSize = 16;
constexpr std::int32_t kPageSize = 4;
constexpr std::int32_t kResultCapacity = 256;

std::int32_t writeFelica(int port, const std::uint8_t* packet, bool lite) {
  std::int32_t services = 0;
  std::int32_t blocks = 0;
  std::int32_t code = felicaCounts(packet, &services, &blocks);
  if (code != 0) return code;
  if (packet[0] != 12 + 2 * services + 18 * blocks) return kCodeBadLength;

  if (lite) {
    if (services != 1 || blocks != 1) return kCodeOutOfRange;
  } else {
    if (services < 1 || services > 8 || blocks < 1 || blocks > 8) return kCodeOutOfRange;
  }

  Answer answer;
  return felicaExchange(port, packet, services, kFelicaWriteWithoutEncryption, &answer);
}

// MIFARE WRITE (A0) of one 16-byte block: 40 01 A0 A, then the data.
constexpr std::uint8_t kMifareWriteTemplate[4 + kBlockSize] = {0x40, 0x01, 0xA0};
constexpr std::int32_t kMifareData = 15;

std::int32_t writeMifare(int port, const std::uint8_t* packet) {
  std::int32_t len = packet[0];
  if (len <= 14) return kCodeBadLength;
  int count = packet[14];
  if (len != kMifareData + kBlockSize * count) return kCodeBadLength;

  int sector = packet[12];
  int first = packet[13];
  if (sector >= kMifareSectors) return kCodeOutOfRange;
  // The trailer (the sector's last block) is never written here.
  int dataBlocks = sectorBlockCount(sector) - 1;
  if (first >= sectorBlockCount(sector) || count < 1 || count > dataBlocks - first) {
    return kCodeOutOfRange;
  }

  std::uint8_t block = mifareBlock(sector, first);
  Answer answer;
  std::int32_t code = authenticateKeyA(port, packet, block, &answer);
  if (code != 0) return code;

  for (int i = 0; i < count; ++i) {
    std::uint8_t write[sizeof kMifareWriteTemplate];
    std::memcpy(write, kMifareWriteTemplate, sizeof write);
    write[3] = static_cast<std::uint8_t>(block + i);
    std::memcpy(write + 4, packet + kMifareData + kBlockSize * i, kBlockSize);
    code = exchangeWithTarget(port, write, sizeof write, &answer);
    if (code != 0) return code;
  }
  return 0;
}

// The preparatory exchange of the 7-byte-UID card before page writes; its fifth
// byte is 00 here (the reads send 04), followed by the 7 identifier bytes.
constexpr std::uint8_t kPageWritePrepare[18] = {0x40, 0x01, 0x60, 0x00, 0x00, 0x3E,
                                                0x91, 0xC7, 0x0B, 0x5D, 0xA4};
// Ultralight WRITE (A2) of one 4-byte page: 40 01 A2 P, then the data.
constexpr std::uint8_t kPageWriteTemplate[4 + kPageSize] = {0x40, 0x01, 0xA2};
constexpr std::int32_t kPageData = 11;
constexpr int kFirstWritablePage = 4;
constexpr int kPageLimit = 16;

std::int32_t writePages(int port, const std::uint8_t* packet, bool wholeGroups) {
  std::int32_t len = packet[0];
  if (len <= 10) return kCodeBadLength;
  int count = packet[10];
  if (len != kPageData + kPageSize * count) return kCodeBadLength;
  int start = packet[9];
  if (start < kFirstWritablePage || start >= kPageLimit || count == 0 ||
      start + count > kPageLimit) {
    return kCodeOutOfRange;
  }
  if (wholeGroups && count % 4 != 0) return kCodeBadLength;

  std::uint8_t prepare[sizeof kPageWritePrepare];
  std::memcpy(prepare, kPageWritePrepare, sizeof prepare);
  std::memcpy(prepare + 11, packet + 2, 7);
  Answer answer;
  std::int32_t code = exchangeWithTarget(port, prepare, sizeof prepare, &answer);
  if (code != 0) return code;

  for (int i = 0; i < count; ++i) {
    std::uint8_t write[sizeof kPageWriteTemplate];
    std::memcpy(write, kPageWriteTemplate, sizeof write);
    write[3] = static_cast<std::uint8_t>(start + i);
    std::memcpy(write + 4, packet + kPageData + kPageSize * i, kPageSize);
    code = exchangeWithTarget(port, write, sizeof write, &answer);
    if (code != 0) return code;
  }
  return 0;
}

// TgSetData (PN532 user manual, 7.3.16): 8E, then the payload.
constexpr std::uint8_t kTgSetData = 0x8E;

std::int32_t sendAsTarget(int port, const std::uint8_t* packet) {
  std::int32_t len = packet[0];
  if (len < 3) return kCodeBadLength;
  std::uint8_t payload[256] = {kTgSetData};
  std::memcpy(payload + 1, packet + 2, static_cast<std::size_t>(len - 2));
  Answer answer;
  return exchangeWithTarget(port, payload, len - 1, &answer);
}

std::int32_t writeByMode(int port, std::uint8_t mode, const std::uint8_t* packet,
                         std::uint8_t* result, std::int32_t* resultLength) {
  *resultLength = 0;
  switch (mode) {
    case kModeFelica:
      return writeFelica(port, packet, false);
    case kModeFelicaLite:
      return writeFelica(port, packet, true);
    case kModeMifare:
      return writeMifare(port, packet);
    case kModePageCard:
      return writePages(port, packet, packet[1] != kWriteAnyPages);
    case kModePeerInitiator:
      return targetExchange(port, packet, result, resultLength);
    case kModeTarget:
      return sendAsTarget(port, packet);
    default:
      return kLinkFailed;
  }
}

}  // namespace

std::uint16_t writeCard(int port, const std::uint8_t* command, std::uint8_t* response) {
  std::uint8_t mode = slot(port).readerMode;
  std::uint8_t cmd = command[1];
  // The dispatcher's gates, kept here too: no traffic and no response.
  if (cmd == kWriteAnyPages && mode != kModeMifare && mode != kModePageCard) {
    return kResultFailed;
  }
  if (mode == kModeNone) return kResultRefused;

  std::uint8_t result[kResultCapacity];
  std::int32_t length = 0;
  std::int32_t code = writeByMode(port, mode, command, result, &length);
  if (code != 0) length = 0;
  return finish(response, cmd, code, result, length, TimeoutRule::Failed);
}

}  // namespace pelvane
