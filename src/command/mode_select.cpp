// Host command 0x10: selects the port's ReaderMode and time-out, then resets
// the reader and reports its IC code and firmware version.
#include <cstddef>

#include "command/dispatcher.h"
#include "command/handlers.h"
#include "command/response.h"
#include "link/exchange.h"
#include "link/frame.h"
#include "link/raw_write.h"
#include "platform/platform.h"
#include "port/port_table.h"
#include "port/ports.h"
#include "port/timeouts.h"

namespace pelvane {

namespace {

constexpr std::uint8_t kCmdSelectMode = 0x10;
constexpr std::uint8_t kPacketLength = 7;
// Packet offsets.
constexpr std::int32_t kModeCode = 2;
constexpr std::int32_t kTimeoutByte = 3;

struct ModeCode {
  std::uint8_t code;
  ReaderMode mode;
};

constexpr ModeCode kModeCodes[] = {
    {0x10, kModeFelica},       {0x11, kModeFelicaLite},     {0x30, kModeMifare},
    {0x31, kModePageCard},     {0x50, kModePeerInitiator},  {0x51, kModeTarget},
    {0x60, kModeTypeB},
};

// The rest of the command runs against this deadline, whatever the new time-out.
constexpr double kSelectionTenths = 50.0;
constexpr std::uint32_t kAfterInSelectMs = 10;

// InListPassiveTarget, 1 target, FeliCa 212 kbit/s, Polling of system code FFFF
// (PN532 user manual, 7.3.5): sent once before the reset in the peer modes.
constexpr std::uint8_t kPeerModePoll[] = {0x4A, 0x01, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x00};
constexpr std::uint32_t kAfterPeerPollMs = 20;

bool lookUpMode(std::uint8_t code, ReaderMode* mode) {
  for (const ModeCode& m : kModeCodes) {
    if (m.code == code) {
      *mode = m.mode;
      return true;
    }
  }
  return false;
}

}  // namespace

std::uint16_t selectMode(int port, const std::uint8_t* command, std::uint8_t* response) {
  if (command[0] != kPacketLength) {
    writeFailure(response, kCmdSelectMode, kCodeBadLength);
    return kResultRefused;
  }
  const std::uint8_t tenths = command[kTimeoutByte];
  ReaderMode mode = kModeNone;
  if (tenths == 0 || !lookUpMode(command[kModeCode], &mode)) {
    writeFailure(response, kCmdSelectMode, kCodeOutOfRange);
    return kResultRefused;
  }

  PortSlot& s = slot(port);
  s.readerMode = mode;
  if (mode == kModeTypeB) {
    // InSelect is written as a whole frame and its answer left in the input
    // buffer; the next exchange purges it. The write's result does not matter.
    writeRaw(port, kInSelectFrame, sizeof kInSelectFrame);
    pausePort(port, kAfterInSelectMs);
  }
  s.timeoutTenths = kSelectionTenths;
  armDeadline(port);
  s.timeoutTenths = tenths;

  if (applyWorkingTimeouts(port, static_cast<std::uint32_t>(tenths) * 100u) != 0) {
    // The slot stays open with a handle nothing can use, so that RF_CLOSE and
    // RW_Close still find it and reset it.
    retireHandle(port);
    return kResultFailed;
  }

  if (mode == kModePeerInitiator || mode == kModeTarget) {
    Answer ignored;
    exchangeCommand(port, kPeerModePoll, sizeof kPeerModePoll, &ignored, 0);
    pausePort(port, kAfterPeerPollMs);
  }

  std::uint8_t firmware[2] = {0, 0};
  if (resetReader(port, &firmware[0], &firmware[1]) != kLinkOk) return kResultFailed;
  writeSuccess(response, kCmdSelectMode, firmware, sizeof firmware);
  return kResultDone;
}

}  // namespace pelvane
