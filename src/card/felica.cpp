#include "card/felica.h"

#include <cstring>

#include "card/card_exchange.h"
#include "command/response.h"

namespace pelvane {

namespace {

// 40 01 L code: InDataExchange to target 1, then the FeliCa length and command code.
constexpr std::uint8_t kFelicaHeader[] = {0x40, 0x01, 0x00, 0x00};
constexpr int kFelicaLengthByte = 2;
constexpr int kFelicaCommandByte = 3;
// Packet offsets of the request.
constexpr std::int32_t kServiceCount = 10;
constexpr std::int32_t kServiceList = 11;
// Answer: d1 length, d2 response code, d3..d10 IDm, d11 status flag 1, d12 status flag 2.
constexpr std::int32_t kStatusFlag1 = 11;

}  // namespace

std::int32_t felicaCounts(const std::uint8_t* packet, std::int32_t* services,
                          std::int32_t* blocks) {
  std::int32_t len = packet[0];
  if (len <= kServiceCount) return kCodeBadLength;
  *services = packet[kServiceCount];
  std::int32_t blockCountAt = kServiceList + 2 * *services;
  if (blockCountAt >= len) return kCodeBadLength;
  *blocks = packet[blockCountAt];
  return 0;
}

std::int32_t felicaExchange(int port, const std::uint8_t* packet, std::int32_t services,
                            std::uint8_t cardCommand, Answer* answer) {
  std::int32_t len = packet[0];
  std::uint8_t payload[sizeof kFelicaHeader + 256];
  std::memcpy(payload, kFelicaHeader, sizeof kFelicaHeader);
  payload[kFelicaLengthByte] = static_cast<std::uint8_t>(len);
  payload[kFelicaCommandByte] = cardCommand;
  std::memcpy(payload + sizeof kFelicaHeader, packet + 2, static_cast<std::size_t>(len - 2));
  // Packet byte i lands at payload byte i + 2; the card takes service codes low byte first.
  for (std::int32_t k = 0; k < services; ++k) {
    std::uint8_t* code = payload + kServiceList + 2 + 2 * k;
    std::uint8_t high = code[0];
    code[0] = code[1];
    code[1] = high;
  }
  std::int32_t code = exchangeWithTarget(port, payload, len + 2, answer);
  if (code != 0) return code;
  int flag1 = answerByte(*answer, kStatusFlag1);
  if (flag1 < 0) return kLinkFailed;
  if (flag1 != 0) return kCodeFelicaStatus;
  return 0;
}

}  // namespace pelvane
