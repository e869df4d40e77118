// The faster serial line a host may ask for, and the switch of the controller's
// speed that opening and closing run for it.
#pragma once

#include <cstdint>

namespace pelvane {

constexpr std::uint32_t kStandardSpeed = 115200;

// Sets the speed a port asks for at its next opening: port 1..256 for that port,
// 0 for every port that has no speed of its own. baud 230400, 460800 or 921600;
// 115200 for no faster line; 0 clears (a port then follows the process-wide
// speed, and the process-wide speed is none). False for anything else.
bool setRequestedSpeed(int port, std::uint32_t baud);
// The faster speed opening port switches to, 0 for none.
std::uint32_t requestedSpeed(int port);

// SetSerialBaudRate to `baud` at the line's current speed, and the host's ACK
// that makes the controller switch, with a pause that lets the ACK leave the
// bridge before the host changes its own speed. Returns the exchange's link code,
// or -1 for an answer other than the command's; nothing is written after a failure.
std::int32_t switchControllerSpeed(int port, std::uint32_t baud);

}  // namespace pelvane
