// Host command 0x21: wait up to 5 s for a card of any of up to three listed
// technologies, trying them in turn; the card found sets the port's ReaderMode.
#include <cstring>

#include "command/dispatcher.h"
#include "command/handlers.h"
#include "command/response.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "port/port_table.h"

namespace pelvane {

namespace {

constexpr std::uint8_t kTechFelica = 0x10;
constexpr std::uint8_t kTechTypeB = 0x60;
constexpr std::uint8_t kResultTypeA7 = 0x31;
constexpr std::uint8_t kResultTypeA4 = 0x30;

// Packet offsets.
constexpr std::int32_t kFirstCode = 3;
constexpr std::int32_t kCodeCount = 3;
constexpr std::int32_t kFirstParameter = 6;

// The whole wait runs against this deadline, whatever the port's time-out.
constexpr double kDetectionTenths = 50.0;

// Every polling command fits this buffer: 4 bytes and a Type B tail of at most 46.
constexpr std::int32_t kPollCapacity = 50;
constexpr std::int32_t kTypeBTailLimit = kPollCapacity - 4;

// InListPassiveTarget, 1 target (PN532 user manual, 7.3.5). Byte 2 is the
// baud-rate type: 01 FeliCa 212 kbit/s, 03 Type B, 00 Type A.
constexpr std::int32_t kBaudRateType = 2;
constexpr std::uint8_t kBaudFelica = 0x01;
constexpr std::uint8_t kBaudTypeB = 0x03;
// FeliCa Polling, request code 00: 4A 01 01 00 S1 S2 00 TS.
constexpr std::uint8_t kFelicaPollTemplate[8] = {0x4A, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
// Type B: 4A 01 03 AFI, then the host's k bytes.
constexpr std::uint8_t kTypeBPollTemplate[4] = {0x4A, 0x01, 0x03, 0x00};
constexpr std::uint8_t kTypeAPoll[3] = {0x4A, 0x01, 0x00};

// WriteGPIO before each attempt: P35 low for FeliCa and Type B, high for Type A.
// P7 0x00 has its validation bit clear and stays as it is.
constexpr std::uint8_t kGpioP35Low[3] = {0x0E, 0x9F, 0x00};
constexpr std::uint8_t kGpioP35High[3] = {0x0E, 0xBF, 0x00};
// RFConfiguration, RF field off, between the two Type B polls.
constexpr std::uint8_t kFieldOff[3] = {0x32, 0x01, 0x00};
constexpr std::uint32_t kFieldOffPauseMs = 10;
constexpr std::uint32_t kAttemptPauseMs = 1;

// InListPassiveTarget answer: d0 NbTg, d1 Tg, then the target data.
constexpr std::int32_t kFelicaIdm = 4;          // FeliCa: IDm in d4..d11
constexpr std::int32_t kIdmLength = 8;
constexpr std::int32_t kNfcidLength = 5;        // Type A: NFCID length in d5
constexpr std::int32_t kNfcid = 6;              // then the NFCID1
constexpr std::int32_t kTypeBData = 2;          // Type B: ATQB onward

struct PollCommand {
  std::uint8_t bytes[kPollCapacity];
  std::int32_t length;
};

// Builds the polling command for one technology code from the parameters at
// packet offset *at, advancing *at past them. -3 when the packet ends first,
// -4 when a Type B tail does not fit the command.
std::int32_t buildPoll(std::uint8_t tech, const std::uint8_t* packet, std::int32_t* at,
                       PollCommand* poll) {
  std::int32_t len = packet[0];
  if (tech == kTechFelica) {
    if (*at + 3 > len) return kCodeBadLength;
    std::memcpy(poll->bytes, kFelicaPollTemplate, sizeof kFelicaPollTemplate);
    poll->bytes[4] = packet[*at];      // system code, high byte
    poll->bytes[5] = packet[*at + 1];  // system code, low byte
    poll->bytes[7] = packet[*at + 2];  // time slot
    poll->length = sizeof kFelicaPollTemplate;
    *at += 3;
    return 0;
  }
  if (tech == kTechTypeB) {
    if (*at + 2 > len) return kCodeBadLength;
    std::int32_t tail = packet[*at + 1];
    if (*at + 2 + tail > len) return kCodeBadLength;
    if (tail > kTypeBTailLimit) return kCodeOutOfRange;
    std::memcpy(poll->bytes, kTypeBPollTemplate, sizeof kTypeBPollTemplate);
    poll->bytes[3] = packet[*at];  // AFI
    std::memcpy(poll->bytes + 4, packet + *at + 2, static_cast<std::size_t>(tail));
    poll->length = 4 + tail;
    *at += 2 + tail;
    return 0;
  }
  std::memcpy(poll->bytes, kTypeAPoll, sizeof kTypeAPoll);
  poll->length = sizeof kTypeAPoll;
  return 0;
}

bool noTarget(const Answer& answer) {
  return answerLength(answer) == 3 && answerByte(answer, 0) == 0;
}

// Result bytes and new ReaderMode for a card found by `poll`. -1 when the
// answer lacks the bytes the technology's result needs.
std::int32_t takeTarget(int port, const PollCommand& poll, const Answer& answer,
                        std::uint8_t* result, std::int32_t* resultLength) {
  if (answerIsExtended(answer)) return kLinkFailed;
  std::uint8_t baud = poll.bytes[kBaudRateType];
  ReaderMode mode;
  std::int32_t length;
  if (baud == kBaudFelica) {
    result[0] = kTechFelica;
    if (!answerCopy(answer, kFelicaIdm, kIdmLength, result + 1)) return kLinkFailed;
    mode = kModeFelica;
    length = 1 + kIdmLength;
  } else if (baud == kBaudTypeB) {
    std::int32_t count = answerDataCount(answer) - kTypeBData;
    if (count < 0 || count > kShortResponseData - 1) return kLinkFailed;
    result[0] = kTechTypeB;
    if (count > 0 && !answerCopy(answer, kTypeBData, count, result + 1)) return kLinkFailed;
    mode = kModeTypeB;
    length = 1 + count;
  } else {
    int idLength = answerByte(answer, kNfcidLength);
    if (idLength < 0) return kLinkFailed;
    std::int32_t uid = idLength == 7 ? 7 : 4;
    result[0] = idLength == 7 ? kResultTypeA7 : kResultTypeA4;
    if (!answerCopy(answer, kNfcid, uid, result + 1)) return kLinkFailed;
    mode = idLength == 7 ? kModePageCard : kModeMifare;
    length = 1 + uid;
  }
  slot(port).readerMode = mode;
  *resultLength = length;
  return 0;
}

// One attempt: set P35, poll once; for Type B a second poll after a field-off.
// -2 when no card answered (or the exchange timed out).
std::int32_t attempt(int port, const PollCommand& poll, std::uint8_t* result,
                     std::int32_t* resultLength) {
  *resultLength = 0;
  std::uint8_t baud = poll.bytes[kBaudRateType];
  bool lowP35 = baud == kBaudFelica || baud == kBaudTypeB;
  Answer answer;
  exchangeCommand(port, lowP35 ? kGpioP35Low : kGpioP35High, 3, &answer, 0);

  std::int32_t code = exchangeCommand(port, poll.bytes, poll.length, &answer, 0);
  if (code != kLinkOk) return code;
  if (!noTarget(answer)) return takeTarget(port, poll, answer, result, resultLength);

  if (baud == kBaudTypeB) {
    code = exchangeCommand(port, kFieldOff, sizeof kFieldOff, &answer, 0);
    if (code != kLinkOk) return code;
    pausePort(port, kFieldOffPauseMs);
    code = exchangeCommand(port, poll.bytes, poll.length, &answer, 0);
    if (code != kLinkOk) return code;
    if (!noTarget(answer)) return takeTarget(port, poll, answer, result, resultLength);
    code = exchangeCommand(port, kFieldOff, sizeof kFieldOff, &answer, 0);
    if (code != kLinkOk) return code;
    pausePort(port, kFieldOffPauseMs);
  }
  pausePort(port, kAttemptPauseMs);
  return kLinkTimeout;
}

std::int32_t detect(int port, const std::uint8_t* packet, std::uint8_t* result,
                    std::int32_t* resultLength) {
  // Code 3 counts only after a code 2: a code 3 behind an empty code 2 is ignored.
  std::uint8_t codes[kCodeCount] = {packet[3], packet[4], packet[5]};
  if (codes[1] == 0) codes[2] = 0;
  PollCommand polls[kCodeCount];
  std::int32_t at = kFirstParameter;
  for (int i = 0; i < kCodeCount; ++i) {
    if (i > 0 && codes[i] == 0) continue;
    std::int32_t code = buildPoll(codes[i], packet, &at, &polls[i]);
    if (code != 0) return code;
  }

  PortSlot& s = slot(port);
  s.timeoutTenths = kDetectionTenths;
  armDeadline(port);
  s.timeoutTenths = packet[kFirstCode];

  for (;;) {
    for (int i = 0; i < kCodeCount; ++i) {
      if (i > 0 && codes[i] == 0) continue;
      std::int32_t code = attempt(port, polls[i], result, resultLength);
      if (code != kLinkTimeout) return code;
    }
    if (deadlineExpired(port)) return kLinkTimeout;
  }
}

}  // namespace

std::uint16_t detectCard(int port, const std::uint8_t* command, std::uint8_t* response) {
  if (slot(port).readerMode == kModeNone) return kResultRefused;
  std::uint8_t cmd = command[1];
  // Codes 1 to 3 sit at offsets 3 to 5.
  if (command[0] <= kFirstCode) {
    writeFailure(response, cmd, kCodeBadLength);
    return kResultRefused;
  }
  if (command[kFirstCode] == 0) {
    writeFailure(response, cmd, kCodeOutOfRange);
    return kResultRefused;
  }
  if (command[0] < kFirstParameter) {
    writeFailure(response, cmd, kCodeBadLength);
    return kResultRefused;
  }

  std::uint8_t result[kShortResponseData];
  std::int32_t length = 0;
  std::int32_t code = detect(port, command, result, &length);
  // Refusals before anything is sent are result 2, -4 included.
  if (code == kCodeBadLength || code == kCodeOutOfRange) {
    writeFailure(response, cmd, code);
    return kResultRefused;
  }
  return finish(response, cmd, code, result, length, TimeoutRule::Done);
}

}  // namespace pelvane
