// Host command 0x86: the packet's data go to target 1 with InDataExchange and
// the target's answer comes back, in the long response form from 252 bytes on.
#include <cstring>

#include "card/card_exchange.h"
#include "command/dispatcher.h"
#include "command/handlers.h"
#include "command/response.h"
#include "link/exchange.h"
#include "link/frame.h"

namespace pelvane {

namespace {

constexpr std::uint8_t kCmdPassThrough = 0x86;
constexpr std::int32_t kFirstData = 2;

// InDataExchange with target 1 (PN532 user manual, 7.3.8): 40 01 data.
constexpr std::uint8_t kInDataExchange = 0x40;
constexpr std::uint8_t kTarget = 0x01;

// Answers of this many target bytes or more use the long response form:
// FF, total length high and low (5 + data), CMD, 00, data.
constexpr std::int32_t kLongFormFrom = 252;
constexpr std::uint8_t kLongFormMarker = 0xFF;
constexpr std::int32_t kLongFormHeader = 5;
// An answer needs two target bytes behind the status (d0), whichever frame form
// the controller used: fewer are reported as 03 86 FE with result 1.
constexpr std::int32_t kShortestTargetAnswer = 2;

}  // namespace

std::uint16_t passThrough(int port, const std::uint8_t* command, std::uint8_t* response) {
  const std::int32_t len = command[0];
  if (len < kFirstData + 1) {
    writeFailure(response, kCmdPassThrough, kCodeBadLength);
    return kResultRefused;
  }
  std::uint8_t payload[kLongestPayload];
  payload[0] = kInDataExchange;
  payload[1] = kTarget;
  std::memcpy(payload + 2, command + kFirstData, static_cast<std::size_t>(len - kFirstData));

  Answer answer;
  std::int32_t code = exchangeCommand(port, payload, len, &answer, 0);
  if (code != kLinkOk) return finish(response, kCmdPassThrough, code, nullptr, 0, TimeoutRule::Done);

  // d0 is the controller's status; a NACK or an answer without it is a link failure.
  const int status = answerByte(answer, 0);
  if (status < 0) return finish(response, kCmdPassThrough, kLinkFailed, nullptr, 0, TimeoutRule::Done);
  if (status != 0) {
    // A chained answer (MI) fails as before; its rest is fetched so that the
    // next APDU reaches the card.
    if ((status & kStatusMoreInformation) != 0) drainChainedAnswer(port);
    writeFailure(response, kCmdPassThrough, status);
    return kResultFailed;
  }
  const std::int32_t d = answerDataCount(answer) - 1;
  if (d < kShortestTargetAnswer) {
    writeFailure(response, kCmdPassThrough, kLinkTimeout);
    return kResultFailed;
  }

  if (d < kLongFormFrom) {
    response[0] = static_cast<std::uint8_t>(3 + d);
    response[1] = kCmdPassThrough;
    response[2] = 0x00;
    answerCopy(answer, 1, d, response + 3);
    return kResultDone;
  }
  const std::int32_t total = d + kLongFormHeader;
  response[0] = kLongFormMarker;
  response[1] = static_cast<std::uint8_t>(total >> 8);
  response[2] = static_cast<std::uint8_t>(total & 0xFF);
  response[3] = kCmdPassThrough;
  response[4] = 0x00;
  answerCopy(answer, 1, d, response + kLongFormHeader);
  return kResultDone;
}

}  // namespace pelvane
