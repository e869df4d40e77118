// Host command 0x30: read the card the port works with, by ReaderMode.
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

constexpr std::int32_t kBlockSize = 16;
constexpr std::int32_t kResultCapacity = 256;

// FeliCa answer data of Read Without Encryption: d13 block count, d14.. block data.
constexpr std::int32_t kFelicaReadData = 14;

std::int32_t readFelica(int port, const std::uint8_t* packet, bool lite, std::uint8_t* result,
                        std::int32_t* resultLength) {
  std::int32_t services = 0;
  std::int32_t blocks = 0;
  std::int32_t code = felicaCounts(packet, &services, &blocks);
  if (code != 0) return code;
  if (packet[0] != 2 * (services + blocks) + 12) return kCodeBadLength;

  if (lite) {
    if (services != 1 || blocks < 1 || blocks > 4) return kCodeOutOfRange;
  } else {
    if (services < 1 || services > 8 || blocks < 1 || blocks > 8) return kCodeOutOfRange;
  }

  Answer answer;
  code = felicaExchange(port, packet, services, kFelicaReadWithoutEncryption, &answer);
  if (code != 0) return code;
  if (!answerCopy(answer, kFelicaReadData, kBlockSize * blocks, result)) return kLinkFailed;
  *resultLength = kBlockSize * blocks;
  return 0;
}

// MIFARE READ (30) of one 16-byte block: 40 01 30 N.
constexpr std::uint8_t kMifareReadTemplate[4] = {0x40, 0x01, 0x30, 0x00};
constexpr std::int32_t kMifareReadLength = 15;

std::int32_t readMifare(int port, const std::uint8_t* packet, std::uint8_t* result,
                        std::int32_t* resultLength) {
  if (packet[0] != kMifareReadLength) return kCodeBadLength;
  int sector = packet[12];
  int first = packet[13];
  int count = packet[14];
  if (sector >= kMifareSectors) return kCodeOutOfRange;
  int perSector = sectorBlockCount(sector);
  if (first >= perSector || count < 1 || count > perSector - first) return kCodeOutOfRange;
  // A whole large sector (256 bytes) does not fit the short response.
  if (kBlockSize * count > kShortResponseData) return kCodeOutOfRange;

  std::uint8_t block = mifareBlock(sector, first);
  Answer answer;
  std::int32_t code = authenticateKeyA(port, packet, block, &answer);
  if (code != 0) return code;

  for (int i = 0; i < count; ++i) {
    std::uint8_t read[sizeof kMifareReadTemplate];
    std::memcpy(read, kMifareReadTemplate, sizeof read);
    read[3] = static_cast<std::uint8_t>(block + i);
    code = exchangeWithTarget(port, read, sizeof read, &answer);
    if (code != 0) return code;
    if (!answerCopy(answer, 1, kBlockSize, result + kBlockSize * i)) return kLinkFailed;
  }
  *resultLength = kBlockSize * count;
  return 0;
}

// The preparatory exchange of the 7-byte-UID card before page reads; its fifth
// byte is 04 here (the writes send 00), followed by the 7 identifier bytes.
constexpr std::uint8_t kPageReadPrepare[18] = {0x40, 0x01, 0x60, 0x00, 0x04, 0x3E,
                                               0x91, 0xC7, 0x0B, 0x5D, 0xA4};
// READ (30) of four pages from page P: 40 01 30 P.
constexpr std::uint8_t kPageReadTemplate[4] = {0x40, 0x01, 0x30, 0x00};
constexpr std::int32_t kPageReadLength = 11;
constexpr int kLastStartPage = 15;
// The card has 16 pages. Its READ answers the addressed page and the three after
// it, rolling over from page 15 to page 0, and refuses an address past page 15
// (MIFARE Ultralight, NFC Forum Type 2 Tag READ): so a read from START + 4j is
// sent as page (START + 4j) mod 16, and every read wraps after page 15.
constexpr int kPageCount = 16;

std::int32_t readPages(int port, const std::uint8_t* packet, std::uint8_t* result,
                       std::int32_t* resultLength) {
  if (packet[0] != kPageReadLength) return kCodeBadLength;
  int start = packet[9];
  int reads = packet[10] / 4;
  if (start > kLastStartPage) return kCodeOutOfRange;
  // 16 or more reads (256 bytes and up) do not fit the short response.
  if (kBlockSize * reads > kShortResponseData) return kCodeOutOfRange;

  std::uint8_t prepare[sizeof kPageReadPrepare];
  std::memcpy(prepare, kPageReadPrepare, sizeof prepare);
  std::memcpy(prepare + 11, packet + 2, 7);
  Answer answer;
  std::int32_t code = exchangeWithTarget(port, prepare, sizeof prepare, &answer);
  if (code != 0) return code;

  for (int j = 0; j < reads; ++j) {
    std::uint8_t read[sizeof kPageReadTemplate];
    std::memcpy(read, kPageReadTemplate, sizeof read);
    read[3] = static_cast<std::uint8_t>((start + 4 * j) % kPageCount);
    code = exchangeWithTarget(port, read, sizeof read, &answer);
    if (code != 0) return code;
    if (!answerCopy(answer, 1, kBlockSize, result + kBlockSize * j)) return kLinkFailed;
  }
  *resultLength = kBlockSize * reads;
  return 0;
}

std::int32_t readByMode(int port, std::uint8_t mode, const std::uint8_t* packet,
                        std::uint8_t* result, std::int32_t* resultLength) {
  *resultLength = 0;
  std::int32_t code;
  switch (mode) {
    case kModeFelica:
      code = readFelica(port, packet, false, result, resultLength);
      break;
    case kModeFelicaLite:
      code = readFelica(port, packet, true, result, resultLength);
      break;
    case kModeMifare:
      code = readMifare(port, packet, result, resultLength);
      break;
    case kModePageCard:
      code = readPages(port, packet, result, resultLength);
      break;
    case kModePeerInitiator:
      code = targetExchange(port, packet, result, resultLength);
      break;
    default:
      code = kLinkFailed;
      break;
  }
  if (code != 0) *resultLength = 0;
  return code;
}

}  // namespace

std::uint16_t readCard(int port, const std::uint8_t* command, std::uint8_t* response) {
  std::uint8_t mode = slot(port).readerMode;
  if (mode == kModeNone) return kResultRefused;
  std::uint8_t result[kResultCapacity];
  std::int32_t length = 0;
  std::int32_t code = readByMode(port, mode, command, result, &length);
  return finish(response, command[1], code, result, length, TimeoutRule::Done);
}

}  // namespace pelvane
