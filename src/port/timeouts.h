// The port's working serial time-outs, and retiring a handle that can no longer
// be used while the slot stays open.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "port/port_table.h"

namespace pelvane {

// Fills workingTimeouts(port) with ms, 0, ms, 0, ms and applies it with
// SetCommTimeouts. 0 applied, -1 refused (the record is filled either way).
std::int32_t applyWorkingTimeouts(int port, std::uint32_t ms);

// Closes the slot's handle and leaves kRetiredHandle in its place: the slot
// stays open (and claimed) until closePort.
void retireHandle(int port);

}  // namespace pelvane
