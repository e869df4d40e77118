// Peer-to-peer and target mode link commands: 0x50 activates (InJumpForDEP as
// initiator, TgInitAsTarget as target), 0x51 switches the RF field off, 0x60
// receives the initiator's next payload in target mode. Payloads themselves go
// out through command 0x31.
#include <cstdint>

#include "command/dispatcher.h"
#include "command/handlers.h"
#include "command/response.h"
#include "link/exchange.h"
#include "link/frame.h"
#include "link/raw_write.h"
#include "platform/platform.h"
#include "port/port_table.h"

namespace pelvane {
namespace {

constexpr std::uint8_t kCmdActivate = 0x50;
constexpr std::uint8_t kCmdEnd = 0x51;
constexpr std::uint8_t kCmdReceive = 0x60;

constexpr std::uint8_t kLenActivateInitiator = 3;  // LEN, CMD, BR
constexpr std::uint8_t kLenBare = 2;               // LEN, CMD

// InJumpForDEP: ActPass 01 (active), BR, Next 01 (passive initiator data
// follows), passive initiator data 00 FF FF 00 00.
constexpr std::uint8_t kInJumpForDep[] = {0x56, 0x01, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x00};
constexpr int kJumpBaudRate = 2;
constexpr int kPacketBaudRate = 2;

// TgInitAsTarget with fixed identities and no general or historical bytes: their
// two length bytes are still required (PN532 user manual, 7.3.14); without them
// the controller answers the syntax error frame.
constexpr std::uint8_t kTgInitAsTarget[] = {
    0x8C, 0x00,                                                  // command, Mode
    0x08, 0x00, 0x12, 0x34, 0x56, 0x40,                          // SENS_RES, NFCID1t, SEL_RES
    0x01, 0xFF, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,              // NFCID2t
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7,              // PAD
    0xFF, 0xFF,                                                  // system code
    0xAA, 0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // NFCID3t
    0x00, 0x00};                                                 // LEN Gt, LEN Tk
static_assert(sizeof(kTgInitAsTarget) == 38, "TgInitAsTarget is 38 bytes");

// RFConfiguration item 01 (RF field), value 00: field off.
constexpr std::uint8_t kFieldOff[] = {0x32, 0x01, 0x00};
// TgGetData: d0 is the status, d1 onward the initiator's data.
constexpr std::uint8_t kTgGetData[] = {0x86};

// Time the controller takes to start after the wake-up sequence: well past the
// five bytes that libnfc's pn532_uart_wakeup leaves it before the next frame.
constexpr std::uint32_t kWakeUpMs = 2;
// Time the controller is given to end the aborted command before the next one
// (nfcpy's pn532.py Device.close: "give the chip 10 ms to think about it").
constexpr std::uint32_t kAfterAbortMs = 10;

// A command that ran out of time leaves the controller busy and deaf to any
// other command: TgInitAsTarget and TgGetData waiting for an initiator, and
// InJumpForDEP retrying its ATR_REQ for ever under the MxRtyATR FF that opening
// sets. The host's ACK frame aborts it (PN532 user manual, 6.2.1.3; nfcpy's
// pn53x.py Chipset.command writes the ACK on a time-out too).
void abortWait(int port, std::int32_t code) {
  if (code == kLinkTimeout) writeRaw(port, kAckFrame, static_cast<std::int32_t>(sizeof kAckFrame));
}

// The PN532 powers down while TgInitAsTarget waits for an initiator (libnfc's
// pn53x_transceive marks it so), and the bytes that wake it are lost: an ACK
// alone would only wake it. So the abort wakes it first, as libnfc's
// pn532_uart_ack does, lets it start, and then gives it time to end the command.
void abortSleepingWait(int port, std::int32_t code) {
  if (code != kLinkTimeout) return;
  writeRaw(port, kWakeUpSequence, static_cast<std::int32_t>(sizeof kWakeUpSequence));
  pausePort(port, kWakeUpMs);
  writeRaw(port, kAckFrame, static_cast<std::int32_t>(sizeof kAckFrame));
  pausePort(port, kAfterAbortMs);
}

// The controller's status byte d0; an answer that carries none is a broken frame.
std::int32_t statusOf(const Answer& answer) {
  const int d0 = answerByte(answer, 0);
  return d0 < 0 ? kLinkFailed : d0;
}

std::int32_t activateInitiator(int port, const std::uint8_t* command) {
  if (command[0] != kLenActivateInitiator) return kCodeBadLength;
  std::uint8_t payload[sizeof(kInJumpForDep)];
  for (std::size_t i = 0; i < sizeof(payload); ++i) payload[i] = kInJumpForDep[i];
  payload[kJumpBaudRate] = command[kPacketBaudRate];
  Answer answer;
  const std::int32_t code =
      exchangeCommand(port, payload, static_cast<std::int32_t>(sizeof(payload)), &answer, 0);
  abortWait(port, code);
  if (code != kLinkOk) return code;
  return statusOf(answer);
}

// On success *baudField receives the baud-rate field of the controller's mode byte.
std::int32_t activateTarget(int port, const std::uint8_t* command, std::uint8_t* baudField) {
  if (command[0] != kLenBare) return kCodeBadLength;
  Answer answer;
  const std::int32_t code = exchangeCommand(
      port, kTgInitAsTarget, static_cast<std::int32_t>(sizeof(kTgInitAsTarget)), &answer, 0);
  abortSleepingWait(port, code);
  if (code != kLinkOk) return code;
  const int mode = answerByte(answer, 0);
  if (mode < 0) return kLinkFailed;
  *baudField = static_cast<std::uint8_t>(mode >> 4);
  return kLinkOk;
}

}  // namespace

std::uint16_t activatePeer(int port, const std::uint8_t* command, std::uint8_t* response) {
  const ReaderMode mode = slot(port).readerMode;
  if (mode == kModeNone) return kResultRefused;
  std::int32_t code = kLinkFailed;
  std::uint8_t baudField = 0;
  std::int32_t dataCount = 0;
  if (mode == kModePeerInitiator) {
    code = activateInitiator(port, command);
  } else if (mode == kModeTarget) {
    code = activateTarget(port, command, &baudField);
    dataCount = 1;
  }
  return finish(response, kCmdActivate, code, &baudField, dataCount, TimeoutRule::Failed);
}

std::uint16_t endPeer(int port, const std::uint8_t* command, std::uint8_t* response) {
  const ReaderMode mode = slot(port).readerMode;
  if (mode == kModeNone) return kResultRefused;
  std::int32_t code = kLinkFailed;
  if (mode == kModePeerInitiator || mode == kModeTarget) {
    if (command[0] != kLenBare) {
      code = kCodeBadLength;
    } else {
      // The answer carries no data; only its presence tells that the field went
      // off (a NACK ends the exchange without one).
      Answer answer;
      code = exchangeCommand(port, kFieldOff, static_cast<std::int32_t>(sizeof(kFieldOff)),
                             &answer, 0);
      if (code == kLinkOk && !hasAnswer(answer)) code = kLinkFailed;
    }
  }
  return finish(response, kCmdEnd, code, nullptr, 0, TimeoutRule::Failed);
}

std::uint16_t receiveAsTarget(int port, const std::uint8_t* command, std::uint8_t* response) {
  const ReaderMode mode = slot(port).readerMode;
  if (mode == kModeNone) return kResultRefused;
  if (mode != kModeTarget) {
    return finish(response, kCmdReceive, kLinkFailed, nullptr, 0, TimeoutRule::Failed);
  }
  if (command[0] != kLenBare) {
    return finish(response, kCmdReceive, kCodeBadLength, nullptr, 0, TimeoutRule::Failed);
  }
  Answer answer;
  std::int32_t code =
      exchangeCommand(port, kTgGetData, static_cast<std::int32_t>(sizeof(kTgGetData)), &answer, 0);
  abortWait(port, code);
  if (code == kLinkOk) code = statusOf(answer);
  if (code != kLinkOk) return finish(response, kCmdReceive, code, nullptr, 0, TimeoutRule::Failed);

  // The initiator's data d1 .. d(ALEN-3). More than a short response can carry
  // (only possible in an extended frame) is refused rather than cut.
  const std::int32_t k = answerDataCount(answer) - 1;
  std::uint8_t data[kShortResponseData];
  if (k > kShortResponseData || (k > 0 && !answerCopy(answer, 1, k, data))) {
    return finish(response, kCmdReceive, kLinkFailed, nullptr, 0, TimeoutRule::Failed);
  }
  return finish(response, kCmdReceive, kLinkOk, data, k, TimeoutRule::Failed);
}

}  // namespace pelvane
