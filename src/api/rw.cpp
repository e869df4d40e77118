// The RW_ interface: one ISO/IEC 14443 Type B card through the reader. The port
// is the low byte of the first argument; 0 names no slot and behaves as a port
// that is not open. Activation and deactivation talk to the controller directly
// and run under the deadline the last dispatched command armed.
#include <cstdint>
#include <cstring>

#include "command/dispatcher.h"
#include "link/exchange.h"
#include "link/frame.h"
#include "link/raw_write.h"
#include "pelvane.h"
#include "platform/platform.h"
#include "port/port_table.h"
#include "port/ports.h"

namespace pelvane {
namespace {

// Set-up after opening: WriteRegister 0x6306 := 0x50, then WriteGPIO P3 := 0x9F
// with P7 left alone (PN532 user manual, 7.2.6 and 7.2.11).
constexpr std::uint8_t kWriteRegister[] = {0x08, 0x63, 0x06, 0x50};
constexpr std::uint8_t kWriteGpio[] = {0x0E, 0x9F, 0x00};
// RFConfiguration item 0x01: RF field off.
constexpr std::uint8_t kFieldOff[] = {0x32, 0x01, 0x00};
// InListPassiveTarget: one target, Type B 106 kbit/s, AFI 0x00 (7.3.5).
constexpr std::uint8_t kPollTypeB[] = {0x4A, 0x01, 0x03, 0x00};
// Mode selection: mode code 0x60 (Type B), time-out 3.2 s.
constexpr std::uint8_t kSelectTypeB[] = {0x07, 0x10, 0x60, 0x20, 0x00, 0x00, 0x00};

constexpr std::uint32_t kBeforeAckMs = 10;
constexpr std::uint32_t kAfterAckMs = 30;

constexpr std::uint8_t kCmdPassThrough = 0x86;
constexpr std::int32_t kLongestApdu = PELVANE_APDU_MAX;
constexpr std::int32_t kShortHeader = 3;  // LEN, CMD, STATUS
constexpr std::int32_t kLongHeader = 5;   // FF, length high, low, CMD, STATUS

// The 0x86 response area holds the longest long-form answer: the target data of
// an extended answer frame can never exceed the exchange's answer capacity.
constexpr std::int32_t kTransmitArea = PELVANE_APDU_RESPONSE_MAX;
static_assert(kTransmitArea >= kAnswerCapacity, "0x86 response area too small");
// Mode selection's response (5 bytes) lands in a buffer of a full short packet.
constexpr std::int32_t kSelectArea = 256;

int rwPort(std::int32_t argument) { return argument & 0xFF; }
int lowByte(std::int32_t argument) { return argument & 0xFF; }

void setCardStatus(int port, CardStatus status) {
  if (port != 0) slot(port).cardStatus = status;
}

// True when the exchange succeeded and its answer frame is one: a NACK ends an
// exchange with code 0 but without an answer, so the command was not carried out.
bool answered(std::int32_t code, const Answer& answer) {
  return code == kLinkOk && hasAnswer(answer);
}

// Field off, the raw acknowledgement that cancels whatever the controller was
// doing, then the Type B poll. True only when the poll's answer lists a target
// (NbTg in d0, PN532 user manual 7.3.5); a NACK, a failure or an answer without
// a target is no card, whatever the link code said.
bool pollTypeB(int port) {
  Answer answer;
  exchangeCommand(port, kFieldOff, sizeof kFieldOff, &answer, 1);
  pausePort(port, kBeforeAckMs);
  writeRaw(port, kAckFrame, sizeof kAckFrame);
  pausePort(port, kAfterAckMs);
  const std::int32_t code = exchangeCommand(port, kPollTypeB, sizeof kPollTypeB, &answer, 1);
  return answered(code, answer) && !answerIsExtended(answer) && answerByte(answer, 0) >= 1;
}

// Field off, both buffers cleared, the raw acknowledgement. 0 or a link code.
std::int32_t releaseCard(int port) {
  if (port == 0) return kLinkTimeout;
  Answer answer;
  const std::int32_t code = exchangeCommand(port, kFieldOff, sizeof kFieldOff, &answer, 0);
  if (code != kLinkOk) return code;
  // A NACK: the controller did not switch the field off.
  if (!hasAnswer(answer)) return kLinkFailed;
  if (purgeRaw(port) != kLinkOk) return kLinkTimeout;
  writeRaw(port, kAckFrame, sizeof kAckFrame);
  setCardStatus(port, kCardNone);
  return kLinkOk;
}

}  // namespace
}  // namespace pelvane

using pelvane::rwPort;
using pelvane::lowByte;

extern "C" {

PELVANE_API std::int32_t PELVANE_CALL RW_Open(std::int32_t port) {
  const int p = rwPort(port);
  pelvane::setCardStatus(p, pelvane::kCardNone);
  if (pelvane::slotOpen(p)) return PELVANE_RW_ALREADY_OPEN;
  std::int32_t opened = 0;
  if (pelvane::selectPort(static_cast<std::int16_t>(p), &opened) != 0) {
    return PELVANE_RW_OPEN_FAILED;
  }
  // A NACK to either set-up command is the reader refusing it.
  pelvane::Answer answer;
  if (!pelvane::answered(pelvane::exchangeCommand(p, pelvane::kWriteRegister,
                                                  sizeof pelvane::kWriteRegister, &answer, 1),
                         answer)) {
    return PELVANE_RW_NO_CARD;
  }
  if (!pelvane::answered(
          pelvane::exchangeCommand(p, pelvane::kWriteGpio, sizeof pelvane::kWriteGpio, &answer, 1),
          answer)) {
    return PELVANE_RW_NO_CARD;
  }
  // Its result does not matter: a failed selection shows in the next calls.
  std::uint8_t response[pelvane::kSelectArea];
  pelvane::commandProc(p, pelvane::kSelectTypeB, response);
  return PELVANE_RW_OK;
}

PELVANE_API std::int32_t PELVANE_CALL RW_Close(std::int32_t port) {
  const int p = rwPort(port);
  if (p != 0) pelvane::closePort(p);
  return PELVANE_RW_OK;
}

PELVANE_API std::int32_t PELVANE_CALL RW_Activate(std::int32_t port, std::int32_t kind,
                                                  std::int32_t reserved, std::int32_t option,
                                                  std::int32_t flags) {
  (void)reserved;
  const int k = lowByte(kind);
  if (k != 1 && k != 2) return PELVANE_RW_BAD_KIND;
  const int o = lowByte(option);
  if (o > 2) return o == 0x10 ? PELVANE_RW_OPTION_UNSUPPORTED : PELVANE_RW_BAD_OPTION;
  const int f = lowByte(flags);
  if (f != 0x00 && f != 0x80) {
    return (f >= 1 && f <= 3) ? PELVANE_RW_FLAGS_UNSUPPORTED : PELVANE_RW_BAD_FLAGS;
  }
  const int p = rwPort(port);
  if (p == 0 || !pelvane::pollTypeB(p)) return PELVANE_RW_NO_CARD;
  pelvane::setCardStatus(p, pelvane::kCardActivated);
  return PELVANE_RW_OK;
}

PELVANE_API std::int32_t PELVANE_CALL RW_Insert(std::int32_t port, std::int32_t reserved) {
  (void)reserved;
  const int p = rwPort(port);
  if (p == 0 || !pelvane::pollTypeB(p)) {
    pelvane::setCardStatus(p, pelvane::kCardNone);
    return PELVANE_RW_NO_CARD;
  }
  pelvane::setCardStatus(p, pelvane::kCardInserted);
  return PELVANE_RW_OK;
}

PELVANE_API std::int32_t PELVANE_CALL RW_Deactivate(std::int32_t port, std::int32_t reserved1,
                                                    std::int32_t reserved2) {
  (void)reserved1;
  (void)reserved2;
  const int p = rwPort(port);
  pelvane::setCardStatus(p, pelvane::kCardDeactivating);
  return pelvane::releaseCard(p);
}

PELVANE_API std::int32_t PELVANE_CALL RW_Eject(std::int32_t port, std::int32_t kind) {
  const int k = lowByte(kind);
  if (k != 1 && k != 2) return PELVANE_RW_BAD_KIND;
  return pelvane::releaseCard(rwPort(port));
}

PELVANE_API std::int32_t PELVANE_CALL RW_Sense(std::int32_t port, std::int32_t reserved1,
                                               std::int32_t* status, std::int32_t reserved2) {
  (void)reserved1;
  (void)reserved2;
  const int p = rwPort(port);
  if (status != nullptr) *status = p != 0 ? pelvane::slot(p).cardStatus : pelvane::kCardNone;
  return PELVANE_RW_OK;
}

PELVANE_API std::int32_t PELVANE_CALL RW_Transmit(std::int32_t port, std::int32_t reserved1,
                                                  std::int32_t reserved2, std::int32_t length,
                                                  const std::uint8_t* data,
                                                  std::int32_t* responseLength,
                                                  std::uint8_t* response) {
  (void)reserved1;
  (void)reserved2;
  const int p = rwPort(port);
  // The packet's LEN is one byte: an APDU above 253 bytes cannot be sent, and is
  // refused before anything is built or sent, as is a negative length.
  if (length < 0 || length > pelvane::kLongestApdu) return PELVANE_RW_TRANSMIT_FAILED;
  if ((length > 0 && data == nullptr) || responseLength == nullptr || response == nullptr) {
    return PELVANE_RW_TRANSMIT_FAILED;
  }
  if (p == 0) return PELVANE_RW_TRANSMIT_FAILED;

  std::uint8_t packet[PELVANE_COMMAND_MAX + 1];
  packet[0] = static_cast<std::uint8_t>(length + 2);
  packet[1] = pelvane::kCmdPassThrough;
  if (length > 0) std::memcpy(packet + 2, data, static_cast<std::size_t>(length));

  std::uint8_t area[pelvane::kTransmitArea];
  if (pelvane::commandProc(p, packet, area) != pelvane::kResultDone) {
    return PELVANE_RW_TRANSMIT_FAILED;
  }
  std::int32_t total;
  std::int32_t header;
  if (area[0] == PELVANE_LONG_FORM_MARKER) {
    total = area[1] * 256 + area[2];
    header = pelvane::kLongHeader;
  } else {
    total = area[0];
    header = pelvane::kShortHeader;
  }
  // No data, or a length the area cannot hold: nothing usable came back.
  if (total <= header || total > pelvane::kTransmitArea) return PELVANE_RW_TRANSMIT_FAILED;
  *responseLength = total - header;
  std::memcpy(response, area + header, static_cast<std::size_t>(total - header));
  return PELVANE_RW_OK;
}

}  // extern "C"
