// Every command handler: takes the slot's port number, the CommandPacket and the
// caller's response buffer, writes the response (or not, per command) and
// returns the 16-bit result. Handlers never read past the packet's LEN.
#pragma once

#include <cstdint>

namespace pelvane {

using Handler = std::uint16_t (*)(int port, const std::uint8_t* command, std::uint8_t* response);

// command/
std::uint16_t selectMode(int port, const std::uint8_t* command, std::uint8_t* response);        // 0x10
std::uint16_t setParameters(int port, const std::uint8_t* command, std::uint8_t* response);     // 0x01
std::uint16_t reportLineSpeed(int port, const std::uint8_t* command, std::uint8_t* response);   // 0xF0
std::uint16_t readRegisters(int port, const std::uint8_t* command, std::uint8_t* response);     // 0xF1
std::uint16_t writeRegisters(int port, const std::uint8_t* command, std::uint8_t* response);    // 0xF2
std::uint16_t configureRf(int port, const std::uint8_t* command, std::uint8_t* response);       // 0xF3
std::uint16_t regulationTest(int port, const std::uint8_t* command, std::uint8_t* response);    // 0xF4
std::uint16_t readGpio(int port, const std::uint8_t* command, std::uint8_t* response);          // 0xF5
std::uint16_t writeGpio(int port, const std::uint8_t* command, std::uint8_t* response);         // 0xF6
std::uint16_t passThrough(int port, const std::uint8_t* command, std::uint8_t* response);       // 0x86

// card/
std::uint16_t pollCard(int port, const std::uint8_t* command, std::uint8_t* response);          // 0x20, 0x25
std::uint16_t detectCard(int port, const std::uint8_t* command, std::uint8_t* response);        // 0x21
std::uint16_t readCard(int port, const std::uint8_t* command, std::uint8_t* response);          // 0x30
std::uint16_t writeCard(int port, const std::uint8_t* command, std::uint8_t* response);         // 0x31, 0x32
std::uint16_t writeKeyOrPage3(int port, const std::uint8_t* command, std::uint8_t* response);   // 0x33
std::uint16_t activatePeer(int port, const std::uint8_t* command, std::uint8_t* response);      // 0x50
std::uint16_t endPeer(int port, const std::uint8_t* command, std::uint8_t* response);           // 0x51
std::uint16_t receiveAsTarget(int port, const std::uint8_t* command, std::uint8_t* response);   // 0x60
std::uint16_t readSegments(int port, const std::uint8_t* command, std::uint8_t* response);      // 0x70, 0x71

}  // namespace pelvane
