// The port's working serial time-outs, and retiring a handle that can no longer
// be used while the slot stays open.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace pelvane {

// Stands in a slot whose handle has been closed but which has not been through
// closePort: every platform call rejects it (-2 is no file descriptor, and on
// Windows not a file handle, and CloseHandle ignores it), so commands on the
// slot fail with link errors and closePort resets the slot as usual.
constexpr PortHandle kRetiredHandle = -2;

// Fills workingTimeouts(port) with ms, 0, ms, 0, ms and applies it with
// SetCommTimeouts. 0 applied, -1 refused (the record is filled either way).
std::int32_t applyWorkingTimeouts(int port, std::uint32_t ms);

// Closes the slot's handle and leaves kRetiredHandle in its place.
void retireHandle(int port);

}  // namespace pelvane
