// InDataExchange with target 1 (PN532 user manual, 7.3.8): the packet's
// parameter bytes go to the target unchanged and its answer comes back.
#include "card/target_exchange.h"

#include <cstring>

#include "card/card_exchange.h"
#include "command/response.h"
#include "link/exchange.h"
#include "port/port_table.h"

namespace pelvane {

namespace {

constexpr std::uint8_t kInDataExchange = 0x40;
constexpr std::uint8_t kTargetOne = 0x01;
constexpr std::int32_t kTargetPayloadSize = 256;
// The bare command that fetches the next piece of a chained answer.
constexpr std::uint8_t kNextPiece[] = {kInDataExchange, kTargetOne};
// Pieces of at most 262 bytes: more than the longest answer a target may chain.
constexpr std::int32_t kMostPieces = 256;

}  // namespace

std::int32_t drainChainedAnswer(int port) {
  // The controller refuses new data for the target until the chain has been
  // fetched; libnfc's pn53x_transceive fetches it the same way.
  Answer answer;
  for (std::int32_t piece = 0; piece < kMostPieces; ++piece) {
    const std::int32_t code = exchangeCommand(port, kNextPiece, sizeof kNextPiece, &answer, 0);
    if (code != kLinkOk) return code;
    const int status = answerByte(answer, 0);
    if (status < 0) return kLinkFailed;
    if ((status & kStatusMoreInformation) == 0) return kLinkOk;
    if (deadlineExpired(port)) return kLinkTimeout;
  }
  return kLinkFailed;
}

std::int32_t exchangeWithTarget(int port, const std::uint8_t* payload, std::int32_t n,
                                Answer* answer) {
  std::int32_t code = exchangeCommand(port, payload, n, answer, 0);
  if (code != kLinkOk) return code;
  int status = answerByte(*answer, 0);
  if (status < 0) return kLinkFailed;
  // A chained answer is not collected: it fails with its status as before, and
  // its rest is fetched so that the next command reaches the target.
  if ((status & kStatusMoreInformation) != 0) drainChainedAnswer(port);
  return status;
}

std::int32_t targetExchange(int port, const std::uint8_t* packet, std::uint8_t* result,
                            std::int32_t* resultLength) {
  *resultLength = 0;
  std::int32_t len = packet[0];
  if (len < 3) return kCodeBadLength;

  // 40 01, then packet bytes 2..LEN-1: as long as the packet itself.
  std::uint8_t payload[kTargetPayloadSize] = {kInDataExchange, kTargetOne};
  std::memcpy(payload + 2, packet + 2, static_cast<std::size_t>(len - 2));

  Answer answer;
  std::int32_t code = exchangeWithTarget(port, payload, len, &answer);
  if (code != 0) return code;

  // Chained (extended) answers are not collected; a normal answer carries at
  // most 252 target bytes, which is what the short response can hold.
  if (answerIsExtended(answer)) return kLinkFailed;
  std::int32_t count = answerDataCount(answer) - 1;
  if (count < 0 || count > kShortResponseData) return kLinkFailed;
  if (count > 0 && !answerCopy(answer, 1, count, result)) return kLinkFailed;
  *resultLength = count;
  return 0;
}

}  // namespace pelvane
