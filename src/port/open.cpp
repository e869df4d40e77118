// Opening a port, the speed trial and bringing the reader up, switching the
// controller's serial speed when it does not answer at the host's speed.
#include "link/exchange.h"
#include "link/frame.h"
#include "platform/platform.h"
#include "port/port_table.h"
#include "port/ports.h"

namespace pelvane {
namespace {

// Host line speeds by table index; the index is also the controller's
// SetSerialBaudRate code for that speed (PN532 user manual, 7.2.8).
constexpr std::uint32_t kLineSpeeds[5] = {9600, 19200, 38400, 57600, 115200};
constexpr int kFastestSpeed = 4;

constexpr std::uint8_t kGetFirmwareVersion[] = {0x02};
constexpr std::uint8_t kMaxRetries[] = {0x32, 0x05, 0xFF, 0xFF, 0x04};
constexpr std::uint8_t kFieldOff[] = {0x32, 0x01, 0x00};

// The time-outs every opened port works with, in ms.
constexpr CommTimeouts kOpenTimeouts = {1000, 0, 1000, 0, 1000};

// Room for any path setPortDevice accepts (up to 255 characters); a shorter
// buffer would open a truncated path.
constexpr std::size_t kPathSize = 256;

// 8 data bits, no parity, one stop bit, and received 0x00 bytes kept.
void setFrameFormat(LineSettings* settings) {
  settings->fNull = false;
  settings->byteSize = 8;
  settings->parity = 0;
  settings->stopBits = 0;
}

void reportOpened(int port, std::int32_t* openedPort) {
  if (openedPort != nullptr) *openedPort = port;
}

// Closes the handle of a failed open; the result of every failure is 1.
int failOpen(int port) {
  dropHandle(port);
  return 1;
}

}  // namespace

int resetReader(int port, std::uint8_t* ic, std::uint8_t* version) {
  Answer answer;
  std::int32_t code = exchangeCommand(port, kGetFirmwareVersion, sizeof kGetFirmwareVersion,
                                      &answer, 0);
  if (code != kLinkOk) return code;
  // An answer without the IC and version bytes (a NACK, a short frame) is a failure.
  const int icByte = answerByte(answer, 0);
  const int versionByte = answerByte(answer, 1);
  if (icByte < 0 || versionByte < 0) return kLinkFailed;

  code = exchangeCommand(port, kMaxRetries, sizeof kMaxRetries, &answer, 0);
  if (code != kLinkOk) return code;
  code = exchangeCommand(port, kFieldOff, sizeof kFieldOff, &answer, 0);
  if (code != kLinkOk) return code;

  if (ic != nullptr) *ic = static_cast<std::uint8_t>(icByte);
  if (version != nullptr) *version = static_cast<std::uint8_t>(versionByte);
  return kLinkOk;
}

int setLineRate(int port, std::uint32_t rate) {
  if (!slotOpen(port)) return -1;
  PortSlot& s = slot(port);
  if (!getLineSettings(s.handle, &s.lineSettings)) {
    dropHandle(port);
    return -1;
  }
  setFrameFormat(&s.lineSettings);
  s.lineSettings.baudRate = rate;
  if (!setLineSettings(s.handle, &s.lineSettings)) {
    dropHandle(port);
    return -1;
  }
  return 0;
}

int openPort(int port, std::int32_t* openedPort) {
  if (port < 1 || port > kPortCount) return 1;
  PortSlot& s = slot(port);
  if (s.handle != kInvalidHandle) return 1;

  char path[kPathSize];
  formatDevicePath(port, path, sizeof path);
  s.handle = openDevice(path, kOpenAttributesNone);
  if (s.handle == kInvalidHandle) return 1;

  // Keep the port's own time-outs for closing, then work with ours.
  CommTimeouts& working = workingTimeouts(port);
  if (!getTimeouts(s.handle, &working)) return failOpen(port);
  savedTimeouts(port) = working;
  working = kOpenTimeouts;
  if (!setTimeouts(s.handle, &working)) return failOpen(port);

  s.portNumber = port;
  reportOpened(port, openedPort);
  s.readerMode = kModeNone;
  s.timeoutTenths = 10.0;
  armDeadline(port);

  if (!getLineSettings(s.handle, &s.lineSettings)) return failOpen(port);
  setFrameFormat(&s.lineSettings);

  // The fastest speed the port accepts becomes the chosen speed.
  int chosen = -1;
  for (int index = kFastestSpeed; index >= 0; --index) {
    s.lineSettings.baudRate = kLineSpeeds[index];
    if (setLineSettings(s.handle, &s.lineSettings)) {
      chosen = index;
      break;
    }
  }
  if (chosen < 0) return failOpen(port);

  s.readerMode = kModeMifare;
  armDeadline(port);

  // A controller already at the chosen speed answers here.
  if (resetReader(port, nullptr, nullptr) == kLinkOk) {
    if (resetReader(port, nullptr, nullptr) == kLinkOk) return 0;
    return failOpen(port);
  }

  // Otherwise talk to it at 9600 and tell it to switch to the chosen speed; it
  // switches once the host acknowledges its answer (PN532 user manual, 7.2.8).
  if (setLineRate(port, kLineSpeeds[0]) != 0) return 1;
  armDeadline(port);
  const std::uint8_t switchSpeed[] = {0x10, static_cast<std::uint8_t>(chosen)};
  Answer answer;
  if (exchangeCommand(port, switchSpeed, sizeof switchSpeed, &answer, 0) != kLinkOk) {
    return failOpen(port);
  }
  armDeadline(port);
  writeBytes(s.handle, kAckFrame, sizeof kAckFrame);
  if (purgeBuffers(s.handle)) writeBytes(s.handle, kAckFrame, sizeof kAckFrame);
  dropHandle(port);

  // Reopen; the working time-outs stay those applied to the first handle.
  const PortHandle reopened = openDevice(path, kOpenAttributesNormal);
  if (reopened == kInvalidHandle) return 1;
  reportOpened(port, openedPort);
  s.handle = reopened;
  armDeadline(port);

  if (chosen != 0 && setLineRate(port, kLineSpeeds[chosen]) != 0) return 1;
  if (resetReader(port, nullptr, nullptr) != kLinkOk) return failOpen(port);
  return 0;
}

}  // namespace pelvane
