// Opening a port, the speed trial and bringing the reader up, switching the
// controller's serial speed when it does not answer at the host's speed. Every
// step that fails sends one "open: " line to the trace sink, so that a caller
// whose RF_OPEN gave 1 can learn why.
#include <cstdio>
#include <cstring>

#include "command/dispatcher.h"
#include "link/exchange.h"
#include "link/frame.h"
#include "platform/platform.h"
#include "port/line_speed.h"
#include "port/port_table.h"
#include "port/ports.h"
#include "port/timeouts.h"

namespace pelvane {
namespace {

// Host line speeds by table index; the index is also the controller's
// SetSerialBaudRate code for that speed (PN532 user manual, 7.2.8).
constexpr std::uint32_t kLineSpeeds[5] = {9600, 19200, 38400, 57600, 115200};
constexpr int kFastestSpeed = 4;

constexpr std::uint8_t kGetFirmwareVersion[] = {0x02};
constexpr std::uint8_t kMaxRetries[] = {0x32, 0x05, 0xFF, 0xFF, 0x04};
constexpr std::uint8_t kFieldOff[] = {0x32, 0x01, 0x00};

// The deadline of the first reset at a requested faster speed, in tenths of a
// second: a controller there answers within a few ms, and one at 115200 hears
// noise, so a short wait keeps the usual opening from paying a whole second.
constexpr double kProbeTenths = 1.0;

// The time-outs every opened port works with, in ms.
constexpr CommTimeouts kOpenTimeouts = {1000, 0, 1000, 0, 1000};

// 8 data bits, no parity, one stop bit, and received 0x00 bytes kept.
void setFrameFormat(LineSettings* settings) {
  settings->fNull = false;
  settings->byteSize = 8;
  settings->parity = 0;
  settings->stopBits = 0;
}

// The port as its user names it: "COM3" for "\\.\COM3", otherwise the device path.
const char* portName(const char* path) {
  static constexpr char kDeviceNamespace[] = "\\\\.\\";
  constexpr std::size_t n = sizeof kDeviceNamespace - 1;
  return std::strncmp(path, kDeviceNamespace, n) == 0 ? path + n : path;
}

void traceOpenLine(const char* path, const char* what, const char* hint) {
  char line[512];
  std::snprintf(line, sizeof line, "open: %s: %s: %s\n", portName(path), what, hint);
  emitTrace(line);
}

// A platform call failed: its name, the error code and its meaning, and what to check,
// e.g. "open: COM3: CreateFileA failed, error 5 (access denied): is another program
// using the port?".
void traceCallFailure(const char* path, PortCall call, const char* detail = "") {
  std::uint32_t code = 0;
  char meaning[160];
  const ErrorCause cause = describeLastError(&code, meaning, sizeof meaning);
  const char* hint = "is this port a serial port, and is its driver working?";
  if (cause == ErrorCause::NotFound) hint = "is the reader plugged in, and is this its port number?";
  if (cause == ErrorCause::InUse) hint = "is another program using the port?";
  if (cause == ErrorCause::Denied) hint = "may this user open the port (group dialout)?";
  char what[256];
  std::snprintf(what, sizeof what, "%s failed%s, error %u (%s)", portCallName(call), detail,
                static_cast<unsigned>(code), meaning);
  traceOpenLine(path, what, hint);
}

// The controller did not answer a step of the bring-up at this speed.
void traceNoAnswer(const char* path, const char* step, std::uint32_t baud, int code,
                   const char* hint) {
  char what[256];
  std::snprintf(what, sizeof what, "no answer to %s at %u baud (link code %d, %s)", step,
                static_cast<unsigned>(baud), code,
                code == kLinkTimeout ? "time-out" : "write, read or checksum failure");
  traceOpenLine(path, what, hint);
}

void reportOpened(int port, std::int32_t* openedPort) {
  if (openedPort != nullptr) *openedPort = port;
}

// Closes the handle of a failed open; the result of every failure is 1.
int failOpen(int port) {
  dropHandle(port);
  return 1;
}

// Sets the port to `rate` and resets the reader there under a fresh deadline,
// leaving the reset's link code in `code`. False when the port could not be set
// (its handle is closed then).
bool resetAtRate(int port, std::uint32_t rate, int* code) {
  if (setLineRate(port, rate) != 0) return false;
  armDeadline(port);
  *code = resetReader(port, nullptr, nullptr);
  return true;
}

// What the first reset at a requested faster speed found.
enum class Probe { Refused, Absent, Found, Failed };

// A controller left at the faster speed (by a program that ended without closing)
// answers there; one at 115200 hears noise and the line goes back to 115200.
Probe probeFasterLine(int port, const char* path, std::uint32_t fast) {
  PortSlot& s = slot(port);
  s.lineSettings.baudRate = fast;
  if (!setLineSettings(s.handle, &s.lineSettings)) {
    char what[128];
    std::snprintf(what, sizeof what, "the port does not take %u baud", static_cast<unsigned>(fast));
    traceOpenLine(path, what, "the line stays at 115200 baud");
    return setLineRate(port, kStandardSpeed) == 0 ? Probe::Refused : Probe::Failed;
  }
  s.timeoutTenths = kProbeTenths;
  armDeadline(port);
  s.timeoutTenths = 10.0;
  if (resetReader(port, nullptr, nullptr) == kLinkOk) {
    char what[128];
    std::snprintf(what, sizeof what, "the reader answers at %u baud",
                  static_cast<unsigned>(fast));
    traceOpenLine(path, what, "a program that asked for this speed ended without closing");
    armDeadline(port);
    return Probe::Found;
  }
  if (setLineRate(port, kStandardSpeed) != 0) return Probe::Failed;
  armDeadline(port);
  return Probe::Absent;
}

// The reader did not answer at the faster speed after the switch. Either it never
// switched (it answers at 115200), or it did and this bridge cannot carry the
// speed: then it is told at that speed to come back, its answer possibly lost.
// 0 back at 115200, 1 failed with the handle closed.
int fallBackToStandard(int port, const char* path, std::uint32_t fast) {
  int code = 0;
  if (!resetAtRate(port, kStandardSpeed, &code)) return 1;
  if (code == kLinkOk) return 0;
  if (setLineRate(port, fast) != 0) return 1;
  armDeadline(port);
  if (switchControllerSpeed(port, kStandardSpeed) != kLinkOk) {
    // The answer was lost; the ACK still completes a switch the controller took.
    writeBytes(slot(port).handle, kAckFrame, sizeof kAckFrame);
    pausePort(port, 2);
  }
  if (!resetAtRate(port, kStandardSpeed, &code)) return 1;
  if (code == kLinkOk) return 0;
  traceNoAnswer(path, "GetFirmwareVersion after switching back", kStandardSpeed, code,
                "the reader did not come back from the faster line: unplug it and plug it in again");
  return failOpen(port);
}

// The reader answers at 115200: switch it and the port to the faster speed and
// check it answers there. The opening succeeds at 115200 when the switch does
// not, saying so in a trace line. 0 opened, 1 failed with the handle closed.
int raiseLine(int port, const char* path, std::uint32_t fast) {
  if (fast == 0) return 0;
  armDeadline(port);
  int code = switchControllerSpeed(port, fast);
  if (code != kLinkOk) {
    char step[64];
    std::snprintf(step, sizeof step, "SetSerialBaudRate to %u", static_cast<unsigned>(fast));
    traceNoAnswer(path, step, kStandardSpeed, code, "the line stays at 115200 baud");
    armDeadline(port);
    return 0;
  }
  if (!resetAtRate(port, fast, &code)) return 1;
  if (code == kLinkOk) return 0;
  traceNoAnswer(path, "GetFirmwareVersion after the switch", fast, code,
                "the line goes back to 115200 baud: can the bridge run this fast?");
  return fallBackToStandard(port, path, fast);
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
  char path[kDevicePathSize];
  formatDevicePath(port, path, sizeof path);
  if (!getLineSettings(s.handle, &s.lineSettings)) {
    traceCallFailure(path, PortCall::GetLineSettings);
    dropHandle(port);
    return -1;
  }
  setFrameFormat(&s.lineSettings);
  s.lineSettings.baudRate = rate;
  if (!setLineSettings(s.handle, &s.lineSettings)) {
    char detail[32];
    std::snprintf(detail, sizeof detail, " at %u baud", static_cast<unsigned>(rate));
    traceCallFailure(path, PortCall::SetLineSettings, detail);
    dropHandle(port);
    return -1;
  }
  return 0;
}

int openPort(int port, std::int32_t* openedPort) {
  if (port < 1 || port > kPortCount) return 1;
  PortSlot& s = slot(port);
  // Holds any path setPortDevice accepts, so the device opened is the one named.
  char path[kDevicePathSize];
  formatDevicePath(port, path, sizeof path);
  // The slot is claimed before the device opens: of two threads opening one
  // port (a scan among them), one goes on and the other fails here, touching
  // neither the device nor the winner's handle.
  if (!claimSlot(port)) {
    traceOpenLine(path, "already open in this process", "close it first (RF_CLOSE or RW_Close)");
    return 1;
  }

  const PortHandle device = openDevice(path, kOpenAttributesNone);
  if (device == kInvalidHandle) {
    traceCallFailure(path, PortCall::Open);
    dropHandle(port);
    return 1;
  }
  s.handle = device;

  // Keep the port's own time-outs for closing, then work with ours.
  CommTimeouts& working = workingTimeouts(port);
  if (!getTimeouts(s.handle, &working)) {
    traceCallFailure(path, PortCall::GetTimeouts);
    return failOpen(port);
  }
  savedTimeouts(port) = working;
  working = kOpenTimeouts;
  if (!setTimeouts(s.handle, &working)) {
    traceCallFailure(path, PortCall::SetTimeouts);
    return failOpen(port);
  }

  s.portNumber = port;
  reportOpened(port, openedPort);
  s.readerMode = kModeNone;
  s.timeoutTenths = 10.0;
  armDeadline(port);

  if (!getLineSettings(s.handle, &s.lineSettings)) {
    traceCallFailure(path, PortCall::GetLineSettings);
    return failOpen(port);
  }
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
  if (chosen < 0) {
    traceCallFailure(path, PortCall::SetLineSettings, " at every speed from 115200 down to 9600 baud");
    return failOpen(port);
  }

  s.readerMode = kModeMifare;
  armDeadline(port);

  // A faster line, when the host asked for one, is tried first: a controller
  // left there is found without a switch.
  std::uint32_t fast = chosen == kFastestSpeed ? requestedSpeed(port) : 0;
  Probe probe = Probe::Refused;
  if (fast != 0) {
    probe = probeFasterLine(port, path, fast);
    if (probe == Probe::Failed) return 1;
    if (probe == Probe::Refused) fast = 0;
  }

  // A controller already at the chosen speed answers here.
  const std::uint32_t speed = probe == Probe::Found ? fast : kLineSpeeds[chosen];
  int code = probe == Probe::Found ? kLinkOk : resetReader(port, nullptr, nullptr);
  if (code == kLinkOk) {
    code = resetReader(port, nullptr, nullptr);
    if (code == kLinkOk) return probe == Probe::Found ? 0 : raiseLine(port, path, fast);
    traceNoAnswer(path, "the second reset sequence", speed, code,
                  "the reader answered once and then stopped: check the cable and the power");
    return failOpen(port);
  }
  traceNoAnswer(path, "GetFirmwareVersion", speed, code, "trying the reader at 9600 baud");

  // Otherwise talk to it at 9600 and tell it to switch to the chosen speed; it
  // switches once the host acknowledges its answer (PN532 user manual, 7.2.8).
  if (setLineRate(port, kLineSpeeds[0]) != 0) return 1;
  armDeadline(port);
  const std::uint8_t switchSpeed[] = {0x10, static_cast<std::uint8_t>(chosen)};
  Answer answer;
  code = exchangeCommand(port, switchSpeed, sizeof switchSpeed, &answer, 0);
  if (code != kLinkOk) {
    traceNoAnswer(path, "SetSerialBaudRate", kLineSpeeds[0], code,
                  "no reader answers on this port: is it plugged in and powered, and is this its port? "
                  "A reader left on a faster line by a program that ended without closing "
                  "answers to one opening that asks for that speed (PV_SetLineSpeed)");
    return failOpen(port);
  }
  armDeadline(port);
  writeBytes(s.handle, kAckFrame, sizeof kAckFrame);
  if (purgeBuffers(s.handle)) writeBytes(s.handle, kAckFrame, sizeof kAckFrame);
  retireHandle(port);  // closed, the slot still claimed

  // Reopen; the working time-outs stay those applied to the first handle.
  const PortHandle reopened = openDevice(path, kOpenAttributesNormal);
  if (reopened == kInvalidHandle) {
    traceCallFailure(path, PortCall::Open);
    dropHandle(port);
    return 1;
  }
  reportOpened(port, openedPort);
  s.handle = reopened;
  armDeadline(port);

  if (chosen != 0 && setLineRate(port, kLineSpeeds[chosen]) != 0) return 1;
  code = resetReader(port, nullptr, nullptr);
  if (code != kLinkOk) {
    traceNoAnswer(path, "GetFirmwareVersion after the speed switch", speed, code,
                  "the reader did not follow the switch: unplug it and plug it in again");
    return failOpen(port);
  }
  return raiseLine(port, path, fast);
}

}  // namespace pelvane
