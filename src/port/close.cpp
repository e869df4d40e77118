// Closing a port: RF field off where the mode leaves it on, the port's own
// time-outs given back, a faster line taken back to 115200, the slot reset.
#include "link/exchange.h"
#include "link/frame.h"
#include "platform/platform.h"
#include "port/line_speed.h"
#include "port/port_table.h"
#include "port/ports.h"

namespace pelvane {
namespace {

constexpr std::uint8_t kFieldOff[] = {0x32, 0x01, 0x00};

// FeliCa 212 kbit/s and the two Type A modes leave the RF field on.
bool modeLeavesFieldOn(std::uint8_t mode) {
  return mode == kModeFelica || mode == kModeMifare || mode == kModePageCard;
}

}  // namespace

void switchFieldOff(int port) {
  Answer answer;
  if (exchangeCommand(port, kFieldOff, sizeof kFieldOff, &answer, 0) != kLinkOk) return;
  writeBytes(slot(port).handle, kAckFrame, sizeof kAckFrame);
}

int closePort(int port) {
  if (!slotOpen(port)) return 1;
  PortSlot& s = slot(port);
  armDeadline(port);
  if (modeLeavesFieldOn(s.readerMode)) switchFieldOff(port);
  // A controller on a faster line goes back to 115200, where the next opening
  // (of this or any other program) looks first; the port follows it.
  if (s.lineSettings.baudRate > kStandardSpeed) {
    switchControllerSpeed(port, kStandardSpeed);
    s.lineSettings.baudRate = kStandardSpeed;
    setLineSettings(s.handle, &s.lineSettings);
  }

  // Platform failures are ignored: the slot is reset in every case.
  CommTimeouts& working = workingTimeouts(port);
  working = savedTimeouts(port);
  setTimeouts(s.handle, &working);
  s.readerMode = kModeNone;
  s.timeoutTenths = 10.0;
  s.deadline = 0;
  dropHandle(port);  // last: from here on another thread may open the port
  return 0;
}

}  // namespace pelvane
