// Closing a port: RF field off where the mode leaves it on, the port's own
// time-outs given back, the slot reset.
#include "link/exchange.h"
#include "link/frame.h"
#include "platform/platform.h"
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
