#include "port/port_table.h"

#include <cmath>

namespace pelvane {

namespace {

// Index 0 is storage only: no COM port 0 exists, and out-of-range lookups land
// there instead of outside the arrays.
PortSlot slots[kPortCount + 1];
CommTimeouts saved[kPortCount + 1];
CommTimeouts working[kPortCount + 1];

int indexOf(int port) { return (port >= 1 && port <= kPortCount) ? port : 0; }

void closeSlot(PortSlot& s) {
  s.portNumber = -1;
  s.handle = kInvalidHandle;
  s.lineSettings = LineSettings{};
  s.timeoutTenths = 10.0;
  s.deadline = 0;
  s.readerMode = kModeNone;
  s.cardStatus = kCardNone;
}

}  // namespace

std::int32_t loadCount = 0;

PortSlot& slot(int port) { return slots[indexOf(port)]; }
CommTimeouts& savedTimeouts(int port) { return saved[indexOf(port)]; }
CommTimeouts& workingTimeouts(int port) { return working[indexOf(port)]; }

void setUpPortTable() {
  for (int p = 0; p <= kPortCount; ++p) {
    closeSlot(slots[p]);
    saved[p] = CommTimeouts{};
    working[p] = CommTimeouts{};
  }
}

void armDeadline(int port) {
  PortSlot& s = slot(port);
  if (s.timeoutTenths == 0.0) {
    s.deadline = 0;
    return;
  }
  // deadline = clock - trunc(tenths * -1000.0 / 10.0): 10.0 gives clock + 1000.
  // The product is clamped first: converting an out-of-range double is undefined.
  double offset = s.timeoutTenths * -1000.0 / 10.0;
  if (!(offset > -2147483647.0)) offset = -2147483647.0;  // also catches NaN
  if (offset > 2147483647.0) offset = 2147483647.0;
  const auto delta = static_cast<std::int32_t>(std::trunc(offset));
  // Wrapping arithmetic: the clock may be anywhere in the 32-bit range.
  auto deadline = static_cast<std::int32_t>(static_cast<std::uint32_t>(clockMs()) -
                                            static_cast<std::uint32_t>(delta));
  // 0 would mean "no limit"; a limit that lands on 0 waits one extra millisecond.
  if (deadline == 0) deadline = 1;
  s.deadline = deadline;
}

bool deadlineExpired(int port) {
  const PortSlot& s = slot(port);
  if (s.deadline == 0) return false;
  // By the difference, as 32-bit clock arithmetic: it holds across the wraps of
  // the clock (signed after ~24.8 days, unsigned after ~49.7), which comparing
  // the readings themselves does not. Every deadline lies less than 2^31 ms ahead.
  const std::uint32_t past =
      static_cast<std::uint32_t>(clockMs()) - static_cast<std::uint32_t>(s.deadline);
  return static_cast<std::int32_t>(past) >= 0;
}

void pausePort(int port, std::uint32_t ms) { pauseOnPort(slot(port).handle, ms); }

bool slotOpen(int port) {
  return port >= 1 && port <= kPortCount && slots[port].handle != kInvalidHandle;
}

bool claimSlot(int port) {
  if (port < 1 || port > kPortCount) return false;
  PortHandle closed = kInvalidHandle;
  return slots[port].handle.compare_exchange_strong(closed, kRetiredHandle);
}

void dropHandle(int port) {
  PortSlot& s = slot(port);
  const PortHandle h = s.handle;
  if (h != kInvalidHandle && h != kRetiredHandle) closeDevice(h);
  s.handle = kInvalidHandle;
}

}  // namespace pelvane
