// Host commands that reach the controller itself: SetParameters (0x01), the
// line speed (0xF0), registers (0xF1, 0xF2), RFConfiguration (0xF3),
// RFRegulationTest (0xF4) and GPIO (0xF5, 0xF6). Each sends one command once.
#include <cstring>

#include "command/dispatcher.h"
#include "command/handlers.h"
#include "command/response.h"
#include "link/exchange.h"
#include "link/frame.h"
#include "port/port_table.h"

namespace pelvane {

namespace {

// CommandPacket offsets.
constexpr std::int32_t kLen = 0;
constexpr std::int32_t kCmd = 1;
constexpr std::int32_t kFirstParameter = 2;

// Controller command codes (PN532 user manual, 7.2).
constexpr std::uint8_t kSetParameters = 0x12;
constexpr std::uint8_t kReadRegister = 0x06;
constexpr std::uint8_t kWriteRegister = 0x08;
constexpr std::uint8_t kRfConfiguration = 0x32;
constexpr std::uint8_t kRfRegulationTest = 0x58;
constexpr std::uint8_t kReadGpio = 0x0C;
constexpr std::uint8_t kWriteGpio = 0x0E;

// SetParameters answers carry no data; the response still announces eight
// bytes behind the status, which are written as zeros.
constexpr std::int32_t kParameterResponseData = 8;
// Offset 7 of the SetParameters answer frame (its DCS for a data-less answer).
constexpr std::int32_t kParametersCheckOffset = 7;

// SetSerialBaudRate codes by line speed (PN532 user manual, 7.2.8).
struct SpeedCode {
  std::uint32_t baud;
  std::uint8_t code;
};
constexpr SpeedCode kSpeedCodes[] = {
    {9600, 0x00},   {19200, 0x01},  {38400, 0x02},  {57600, 0x03},   {115200, 0x04},
    {230400, 0x05}, {460800, 0x06}, {921600, 0x07}, {1228800, 0x08},
};
constexpr std::uint8_t kUnknownSpeed = 0xFF;

// Refuses a packet of fewer than `shortest` bytes with 03 CMD FD.
bool tooShort(const std::uint8_t* command, std::int32_t shortest, std::uint8_t* response,
              std::uint16_t* result) {
  if (command[kLen] >= shortest) return false;
  writeFailure(response, command[kCmd], kCodeBadLength);
  *result = kResultRefused;
  return true;
}

// Builds `code` followed by the packet's bytes from offset 2 to LEN - 1
// (LEN >= 2); n receives the payload length, LEN - 1.
void withParameters(std::uint8_t code, const std::uint8_t* command, std::uint8_t* payload,
                    std::int32_t* n) {
  const std::int32_t count = command[kLen] - kFirstParameter;
  payload[0] = code;
  std::memcpy(payload + 1, command + kFirstParameter, static_cast<std::size_t>(count));
  *n = count + 1;
}

// The answer's data bytes (after the answer code) as response data. A NACK
// (no answer frame) is a link failure, and so is more data than a short
// response can carry.
std::int32_t takeAnswerData(const Answer& answer, std::uint8_t* data, std::int32_t* n) {
  if (!hasAnswer(answer)) return kLinkFailed;
  const std::int32_t count = answerDataCount(answer);
  if (count > kShortResponseData) return kLinkFailed;
  if (!answerCopy(answer, 0, count, data)) return kLinkFailed;
  *n = count;
  return kLinkOk;
}

// One exchange whose answer data become the response data.
std::uint16_t relayAnswer(int port, const std::uint8_t* payload, std::int32_t n, std::uint8_t cmd,
                          std::uint8_t* response) {
  Answer answer;
  std::int32_t code = exchangeCommand(port, payload, n, &answer, 0);
  std::uint8_t data[kShortResponseData];
  std::int32_t count = 0;
  if (code == kLinkOk) code = takeAnswerData(answer, data, &count);
  return finish(response, cmd, code, data, count, TimeoutRule::Done);
}

}  // namespace

std::uint16_t setParameters(int port, const std::uint8_t* command, std::uint8_t* response) {
  std::uint16_t result = kResultDone;
  if (tooShort(command, kFirstParameter + 1, response, &result)) return result;
  const std::uint8_t payload[] = {kSetParameters, command[kFirstParameter]};
  Answer answer;
  std::int32_t code = exchangeCommand(port, payload, sizeof payload, &answer, 0);
  // Without an answer frame (a NACK) the controller did not take the flags.
  if (code == kLinkOk && !hasAnswer(answer)) code = kLinkFailed;
  // A 0x00 at answer offset 7 is reported as a time-out. That byte is the
  // DCS of a normal data-less answer (0x18) and is always part of the frame.
  if (code == kLinkOk && answer.frameLength > kParametersCheckOffset &&
      answer.bytes[kParametersCheckOffset] == 0x00) {
    code = kLinkTimeout;
  }
  const std::uint8_t zeros[kParameterResponseData] = {};
  return finish(response, command[kCmd], code, zeros, kParameterResponseData, TimeoutRule::Done);
}

std::uint16_t reportLineSpeed(int port, const std::uint8_t* command, std::uint8_t* response) {
  const std::uint32_t baud = slot(port).lineSettings.baudRate;
  std::uint8_t code = kUnknownSpeed;
  for (const SpeedCode& s : kSpeedCodes) {
    if (s.baud == baud) code = s.code;
  }
  // An unknown speed is a failure reported with status 00 and code FF.
  writeSuccess(response, command[kCmd], &code, 1);
  return code == kUnknownSpeed ? kResultFailed : kResultDone;
}

std::uint16_t readRegisters(int port, const std::uint8_t* command, std::uint8_t* response) {
  std::uint16_t result = kResultDone;
  if (tooShort(command, kFirstParameter, response, &result)) return result;
  std::uint8_t payload[kLongestPayload];
  std::int32_t n = 0;
  withParameters(kReadRegister, command, payload, &n);
  return relayAnswer(port, payload, n, command[kCmd], response);
}

std::uint16_t writeRegisters(int port, const std::uint8_t* command, std::uint8_t* response) {
  std::uint16_t result = kResultDone;
  if (tooShort(command, kFirstParameter, response, &result)) return result;
  // The response length follows the answer's; WriteRegister answers carry no
  // data, so this is 03 F2 00, and any data the answer does hold is copied so
  // that the length never announces bytes left unwritten.
  std::uint8_t payload[kLongestPayload];
  std::int32_t n = 0;
  withParameters(kWriteRegister, command, payload, &n);
  return relayAnswer(port, payload, n, command[kCmd], response);
}

std::uint16_t configureRf(int port, const std::uint8_t* command, std::uint8_t* response) {
  std::uint16_t result = kResultDone;
  if (tooShort(command, kFirstParameter + 1, response, &result)) return result;
  std::uint8_t payload[kLongestPayload];
  std::int32_t n = 0;
  withParameters(kRfConfiguration, command, payload, &n);
  Answer answer;
  std::int32_t code = exchangeCommand(port, payload, n, &answer, 0);
  // Without an answer frame (a NACK) the controller did not configure anything.
  if (code == kLinkOk && !hasAnswer(answer)) code = kLinkFailed;
  // A failed exchange writes nothing: the link code itself is the result.
  if (code != kLinkOk) return static_cast<std::uint16_t>(code);
  writeSuccess(response, command[kCmd], nullptr, 0);
  return kResultDone;
}

std::uint16_t regulationTest(int port, const std::uint8_t* command, std::uint8_t* response) {
  std::uint16_t result = kResultDone;
  if (tooShort(command, kFirstParameter + 1, response, &result)) return result;
  // RFRegulationTest is acknowledged without an answer frame (PN532 user
  // manual, 7.2.4); the test runs whatever the exchange reports.
  const std::uint8_t payload[] = {kRfRegulationTest, command[kFirstParameter]};
  Answer answer;
  exchangeCommand(port, payload, sizeof payload, &answer, 0);
  writeSuccess(response, command[kCmd], nullptr, 0);
  return kResultDone;
}

std::uint16_t readGpio(int port, const std::uint8_t* command, std::uint8_t* response) {
  const std::uint8_t payload[] = {kReadGpio};
  return relayAnswer(port, payload, sizeof payload, command[kCmd], response);
}

std::uint16_t writeGpio(int port, const std::uint8_t* command, std::uint8_t* response) {
  std::uint16_t result = kResultDone;
  if (tooShort(command, kFirstParameter + 2, response, &result)) return result;
  // As for 0xF2, the answer's data (none from the controller) are copied.
  const std::uint8_t payload[] = {kWriteGpio, command[kFirstParameter],
                                  command[kFirstParameter + 1]};
  return relayAnswer(port, payload, sizeof payload, command[kCmd], response);
}

}  // namespace pelvane
