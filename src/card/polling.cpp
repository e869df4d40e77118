// Host commands 0x20 (poll for one card of the port's technology and return
// its identifier) and 0x25 (a Type B wake-up request through InCommunicateThru).
#include "command/dispatcher.h"
#include "command/handlers.h"
#include "command/response.h"
#include "link/exchange.h"
#include "port/port_table.h"

namespace pelvane {

namespace {

constexpr std::uint8_t kCmdPoll = 0x20;

// CommandPacket offsets.
constexpr std::int32_t kLen = 0;
constexpr std::int32_t kCmd = 1;
constexpr std::int32_t kSystemCode = 2;  // FeliCa: S1 S2, then the time slot
constexpr std::int32_t kTimeSlot = 4;
constexpr std::int32_t kAfi = 2;         // Type B
constexpr std::uint8_t kFelicaPacketLength = 5;

// InListPassiveTarget, 1 target (PN532 user manual, 7.3.5).
// FeliCa 212 kbit/s Polling, request code 00: 4A 01 01 00 S1 S2 00 TS.
constexpr std::uint8_t kFelicaPoll[8] = {0x4A, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr std::int32_t kFelicaSystemCodeAt = 4;
constexpr std::int32_t kFelicaTimeSlotAt = 7;
// Type A 106 kbit/s.
constexpr std::uint8_t kTypeAPoll[3] = {0x4A, 0x01, 0x00};
// Type B 106 kbit/s with the AFI: 4A 01 03 AFI.
constexpr std::uint8_t kTypeBPoll[4] = {0x4A, 0x01, 0x03, 0x00};
constexpr std::int32_t kTypeBAfiAt = 3;
// InCommunicateThru (7.3.9) passes its data to the card unchanged, so the data
// is the WUPB itself (ISO/IEC 14443-3, 7.7): APf 05, AFI, PARAM 08. A card stays
// silent on any request whose first byte is not APf.
constexpr std::uint8_t kWakeUpB[4] = {0x42, 0x05, 0x00, 0x08};
constexpr std::int32_t kWakeUpAfiAt = 2;

// InListPassiveTarget answer: d0 NbTg, d1 Tg, then the target data.
constexpr std::int32_t kFelicaIdm = 4;   // FeliCa: IDm in d4..d11
constexpr std::int32_t kIdmLength = 8;
constexpr std::int32_t kNfcidLength = 5; // Type A: NFCID length in d5, NFCID1 from d6
constexpr std::int32_t kNfcid = 6;
constexpr std::int32_t kLongNfcid = 8;   // reported with a leading byte that is dropped
constexpr std::int32_t kTypeBData = 2;   // Type B: ATQB onward
// InCommunicateThru answer: d0 status, then the card's answer.
constexpr int kStatusCardTimeout = 0x01;

// InCommunicateThru sends its data with whatever framing the CIU registers hold,
// and a Type B card hears only 106 kbit/s Type B frames with CRC_B. The registers
// that shape a raw frame (PN532 data sheet, CIU register map), read before the
// request and written back after it:
//   CIU_TxMode 6302, CIU_RxMode 6303: CRC on (bit 7), 106 kbit/s (bits 6-4 000),
//     Type B framing (bits 1-0 11), as libnfc's NP_FORCE_ISO14443_B,
//     NP_FORCE_SPEED_106 and NP_HANDLE_CRC set them (pn53x.c) and nfcpy's
//     pn53x.py send_cmd_recv_rsp does for "106B";
//   CIU_TxAuto 6305: Force100ASK (bit 6) off, Type B being 10 % ASK (nfcpy sets
//     it for Type A only);
//   CIU_BitFraming 633D: TxLastBits (bits 2-0) 0, whole bytes (libnfc's
//     pn53x_initiator_transceive_bytes).
constexpr std::uint8_t kReadFraming[] = {0x06, 0x63, 0x02, 0x63, 0x03, 0x63, 0x05, 0x63, 0x3D};
constexpr std::int32_t kFramingRegisters = 4;
// WriteRegister 08, then address high, address low, value for each register.
constexpr std::uint8_t kWriteFraming[] = {0x08, 0x63, 0x02, 0x00, 0x63, 0x03, 0x00,
                                          0x63, 0x05, 0x00, 0x63, 0x3D, 0x00};
constexpr std::int32_t kWriteValueAt[kFramingRegisters] = {3, 6, 9, 12};
constexpr std::uint8_t kModeKeep = 0x0C;         // TxMode / RxMode bits 3-2 stay
constexpr std::uint8_t kModeTypeB106 = 0x83;     // CRC on, 106 kbit/s, Type B framing
constexpr std::uint8_t kForce100Ask = 0x40;
constexpr std::uint8_t kTxLastBits = 0x07;
// The wake-up request is repeated at most this often without a deadline to stop it.
constexpr std::int32_t kWakeUpRetries = 100000;

// n bytes of the answer from d[from] into result, at most what the answer holds.
std::int32_t copyAvailable(const Answer& answer, std::int32_t from, std::int32_t n,
                           std::uint8_t* result, std::int32_t* resultLength) {
  std::int32_t available = answerDataCount(answer) - from;
  if (available < 0) available = 0;
  if (n > available) n = available;
  if (n < 0) n = 0;
  if (n > kShortResponseData) return kLinkFailed;
  if (!answerCopy(answer, from, n, result)) return kLinkFailed;
  *resultLength = n;
  return kLinkOk;
}

std::int32_t pollForCard(int port, const std::uint8_t* packet, std::uint8_t* result,
                         std::int32_t* resultLength) {
  *resultLength = 0;
  const ReaderMode mode = slot(port).readerMode;
  std::uint8_t payload[sizeof kFelicaPoll];
  std::int32_t n = 0;
  switch (mode) {
    case kModeFelica:
    case kModeFelicaLite:
      if (packet[kLen] != kFelicaPacketLength) return kCodeBadLength;
      for (std::int32_t i = 0; i < static_cast<std::int32_t>(sizeof kFelicaPoll); ++i) {
        payload[i] = kFelicaPoll[i];
      }
      payload[kFelicaSystemCodeAt] = packet[kSystemCode];
      payload[kFelicaSystemCodeAt + 1] = packet[kSystemCode + 1];
      payload[kFelicaTimeSlotAt] = packet[kTimeSlot];
      n = sizeof kFelicaPoll;
      break;
    case kModeMifare:
    case kModePageCard:
      for (std::int32_t i = 0; i < static_cast<std::int32_t>(sizeof kTypeAPoll); ++i) {
        payload[i] = kTypeAPoll[i];
      }
      n = sizeof kTypeAPoll;
      break;
    case kModeTypeB:
      if (packet[kLen] <= kAfi) return kCodeBadLength;
      for (std::int32_t i = 0; i < static_cast<std::int32_t>(sizeof kTypeBPoll); ++i) {
        payload[i] = kTypeBPoll[i];
      }
      payload[kTypeBAfiAt] = packet[kAfi];
      n = sizeof kTypeBPoll;
      break;
    default:
      return kLinkFailed;
  }

  Answer answer;
  const std::int32_t code = exchangeCommand(port, payload, n, &answer, 1);
  if (code != kLinkOk) return code;
  // Only a normal answer frame is interpreted; a NACK or an extended frame is
  // no InListPassiveTarget answer.
  if (!hasAnswer(answer) || answerIsExtended(answer)) return kLinkFailed;
  const int targets = answerByte(answer, 0);
  if (targets < 0) return kLinkFailed;
  if (targets == 0) return kLinkTimeout;

  switch (mode) {
    case kModeFelica:
    case kModeFelicaLite:
      if (!answerCopy(answer, kFelicaIdm, kIdmLength, result)) return kLinkFailed;
      *resultLength = kIdmLength;
      return kLinkOk;
    case kModeMifare:
    case kModePageCard: {
      const int length = answerByte(answer, kNfcidLength);
      if (length < 0) return kLinkFailed;
      if (length == kLongNfcid) {
        return copyAvailable(answer, kNfcid + 1, kLongNfcid - 1, result, resultLength);
      }
      return copyAvailable(answer, kNfcid, length, result, resultLength);
    }
    default:  // Type B: ALEN - 4 bytes from d2
      return copyAvailable(answer, kTypeBData, answerDataCount(answer) - kTypeBData, result,
                           resultLength);
  }
}

// Writes the four framing registers; 0 or a link code (a NACK is a failure).
std::int32_t writeFraming(int port, const std::uint8_t* values) {
  std::uint8_t payload[sizeof kWriteFraming];
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(sizeof kWriteFraming); ++i) {
    payload[i] = kWriteFraming[i];
  }
  for (std::int32_t r = 0; r < kFramingRegisters; ++r) payload[kWriteValueAt[r]] = values[r];
  Answer answer;
  const std::int32_t code = exchangeCommand(port, payload, sizeof payload, &answer, 0);
  if (code != kLinkOk) return code;
  return hasAnswer(answer) ? kLinkOk : kLinkFailed;
}

// The WUPB, repeated while the card does not answer, until the deadline.
std::int32_t requestTypeB(int port, std::uint8_t afi, std::uint8_t* result,
                          std::int32_t* resultLength) {
  std::uint8_t payload[sizeof kWakeUpB];
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(sizeof kWakeUpB); ++i) {
    payload[i] = kWakeUpB[i];
  }
  payload[kWakeUpAfiAt] = afi;

  Answer answer;
  for (std::int32_t tries = 0;; ++tries) {
    const std::int32_t code = exchangeCommand(port, payload, sizeof payload, &answer, 0);
    if (code != kLinkOk) return code;
    if (!hasAnswer(answer) || answerIsExtended(answer)) return kLinkFailed;
    const int status = answerByte(answer, 0);
    if (status < 0) return kLinkFailed;
    if (status != kStatusCardTimeout) break;
    // The card did not answer in time: ask again at once until the deadline.
    if (deadlineExpired(port) || tries == kWakeUpRetries) return kLinkTimeout;
  }
  // The card's answer from d1, without its last byte: ALEN - 4 bytes.
  return copyAvailable(answer, 1, answerDataCount(answer) - 2, result, resultLength);
}

// The WUPB in Type B framing whatever the mode left in the registers, which are
// then given back the values they had, so that the mode's own commands find them
// as before. The RF field is left as it is.
std::int32_t wakeUpTypeB(int port, const std::uint8_t* packet, std::uint8_t* result,
                         std::int32_t* resultLength) {
  *resultLength = 0;
  if (packet[kLen] <= kAfi) return kCodeBadLength;

  Answer answer;
  std::int32_t code = exchangeCommand(port, kReadFraming, sizeof kReadFraming, &answer, 0);
  if (code != kLinkOk) return code;
  std::uint8_t before[kFramingRegisters];
  if (!answerCopy(answer, 0, kFramingRegisters, before)) return kLinkFailed;
  const std::uint8_t typeB[kFramingRegisters] = {
      static_cast<std::uint8_t>((before[0] & kModeKeep) | kModeTypeB106),
      static_cast<std::uint8_t>((before[1] & kModeKeep) | kModeTypeB106),
      static_cast<std::uint8_t>(before[2] & ~kForce100Ask),
      static_cast<std::uint8_t>(before[3] & ~kTxLastBits)};
  bool changed = false;
  for (std::int32_t r = 0; r < kFramingRegisters; ++r) changed = changed || typeB[r] != before[r];
  if (changed) {
    code = writeFraming(port, typeB);
    if (code != kLinkOk) return code;
  }

  code = requestTypeB(port, packet[kAfi], result, resultLength);
  if (!changed) return code;
  // Given back even after a time-out: the controller still answers at once.
  const std::int32_t restored = writeFraming(port, before);
  if (code == kLinkOk && restored != kLinkOk) {
    *resultLength = 0;
    return restored;
  }
  return code;
}

}  // namespace

std::uint16_t pollCard(int port, const std::uint8_t* command, std::uint8_t* response) {
  if (slot(port).readerMode == kModeNone) return kResultRefused;
  const std::uint8_t cmd = command[kCmd];
  std::uint8_t result[kShortResponseData];
  std::int32_t length = 0;
  const std::int32_t code = cmd == kCmdPoll ? pollForCard(port, command, result, &length)
                                            : wakeUpTypeB(port, command, result, &length);
  return finish(response, cmd, code, result, length, TimeoutRule::Done);
}

}  // namespace pelvane
