#include "port/line_speed.h"

#include <atomic>

#include "link/exchange.h"
#include "link/frame.h"
#include "platform/platform.h"
#include "port/port_table.h"

namespace pelvane {
namespace {

// Speeds the controller takes with SetSerialBaudRate (PN532 user manual, 7.2.8,
// codes 0x00-0x08): the code is the index. 1288000 (0x08) is left out: no
// standard host baud rate matches it on POSIX, nor on the bridges named.
constexpr std::uint32_t kControllerSpeeds[] = {9600,   19200,  38400,  57600,
                                               115200, 230400, 460800, 921600};

// Time the ACK of a switch gets to leave the bridge before the host side
// changes speed: the 6 bytes take 0.52 ms at 115200 baud, and a USB bridge may
// apply a new speed before its transmit FIFO has drained.
constexpr std::uint32_t kSwitchSettleMs = 2;

// Index 0 is the process-wide speed, 1..256 each port's own; 0 = not set.
std::atomic<std::uint32_t> requested[kPortCount + 1];

int speedCode(std::uint32_t baud) {
  for (int code = 0; code < static_cast<int>(sizeof kControllerSpeeds / sizeof kControllerSpeeds[0]);
       ++code) {
    if (kControllerSpeeds[code] == baud) return code;
  }
  return -1;
}

}  // namespace

bool setRequestedSpeed(int port, std::uint32_t baud) {
  if (port < 0 || port > kPortCount) return false;
  if (baud != 0 && (baud < kStandardSpeed || speedCode(baud) < 0)) return false;
  requested[port].store(baud, std::memory_order_relaxed);
  return true;
}

std::uint32_t requestedSpeed(int port) {
  if (port < 1 || port > kPortCount) return 0;
  std::uint32_t baud = requested[port].load(std::memory_order_relaxed);
  if (baud == 0) baud = requested[0].load(std::memory_order_relaxed);
  return baud > kStandardSpeed ? baud : 0;
}

std::int32_t switchControllerSpeed(int port, std::uint32_t baud) {
  const int code = speedCode(baud);
  if (code < 0) return kLinkFailed;
  const std::uint8_t command[] = {0x10, static_cast<std::uint8_t>(code)};
  Answer answer;
  const std::int32_t result = exchangeCommand(port, command, sizeof command, &answer, 0);
  if (result != kLinkOk) return result;
  // An error frame (a speed this controller lacks) has no answer code 0x11.
  if (answerLength(answer) != 2) return kLinkFailed;
  // The controller switches once it has the host's ACK (PN532 user manual, 7.2.8;
  // nfcpy's pn532.py sends it right after the answer for the same reason).
  writeBytes(slot(port).handle, kAckFrame, sizeof kAckFrame);
  pausePort(port, kSwitchSettleMs);
  return kLinkOk;
}

}  // namespace pelvane
