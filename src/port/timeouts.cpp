#include "port/timeouts.h"

#include "port/port_table.h"

namespace pelvane {

std::int32_t applyWorkingTimeouts(int port, std::uint32_t ms) {
  if (!slotOpen(port)) return -1;
  CommTimeouts& working = workingTimeouts(port);
  working.readIntervalTimeout = ms;
  working.readTotalTimeoutMultiplier = 0;
  working.readTotalTimeoutConstant = ms;
  working.writeTotalTimeoutMultiplier = 0;
  working.writeTotalTimeoutConstant = ms;
  return setTimeouts(slot(port).handle, &working) ? 0 : -1;
}

void retireHandle(int port) {
  if (!slotOpen(port)) return;
  PortSlot& s = slot(port);
  if (s.handle != kRetiredHandle) closeDevice(s.handle);
  s.handle = kRetiredHandle;
}

}  // namespace pelvane
