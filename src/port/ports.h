// Discovery, opening, bring-up and closing of reader ports.
#pragma once

#include <cstdint>

namespace pelvane {

constexpr int kPresenceSize = 257;

// Marks presence[n] = 1 for every CP210x or PL2303 bridge port COMn (1..256)
// named by a present device. Always returns 0.
int discoverPorts(std::int32_t presence[kPresenceSize]);

// The port opening behind RF_OPEN and RW_Open. port is 16-bit; -1 scans.
// Returns 0 opened, 1 failed, 2 port out of range, -1 scan found no free port.
std::int16_t selectPort(std::int16_t port, std::int32_t* openedPort);

// Opens a closed slot and brings the reader up. 0 opened, 1 failed.
int openPort(int port, std::int32_t* openedPort);

// GetFirmwareVersion, MaxRetries, RF field off. Returns 0 or the failing link
// code; on success ic and version receive the first two firmware answer bytes.
int resetReader(int port, std::uint8_t* ic, std::uint8_t* version);

// Sets the host side's speed (8N1, fNull cleared). 0, or -1 with the handle closed.
int setLineRate(int port, std::uint32_t rate);

// Field off where the mode leaves it on, time-outs restored, handle closed,
// slot reset. 0 closed, 1 not open.
int closePort(int port);
void switchFieldOff(int port);

}  // namespace pelvane
