// The host command dispatcher: checks the port, starts the command's deadline,
// traces the packet and routes it by its command byte through the gate of its
// ReaderMode.
#include "command/dispatcher.h"

#include <cstddef>

#include "command/handlers.h"
#include "command/response.h"
#include "link/exchange.h"
#include "port/port_table.h"

namespace pelvane {

namespace {

// CommandPacket offsets.
constexpr std::int32_t kLen = 0;
constexpr std::int32_t kCmd = 1;
constexpr std::int32_t kFirstTechnology = 3;  // command 0x21

// The ReaderMode test a command passes before anything reaches the reader.
enum class Gate : std::uint8_t {
  None,      // runs in every mode
  AnyMode,   // mode 0: result 2, no response
  TypeA,     // modes 3 and 4 only; otherwise result 1, no response
  Detection, // as AnyMode, then a first technology code of 0 is refused with FC
};

struct Route {
  std::uint8_t cmd;
  Handler handler;
  Gate gate;
};

constexpr Route kRoutes[] = {
    {0x01, setParameters, Gate::AnyMode},
    {0x10, selectMode, Gate::None},
    {0x20, pollCard, Gate::AnyMode},
    {0x21, detectCard, Gate::Detection},
    {0x25, pollCard, Gate::AnyMode},
    {0x30, readCard, Gate::AnyMode},
    {0x31, writeCard, Gate::AnyMode},
    {0x32, writeCard, Gate::TypeA},
    {0x33, writeKeyOrPage3, Gate::TypeA},
    {0x50, activatePeer, Gate::AnyMode},
    {0x51, endPeer, Gate::AnyMode},
    {0x60, receiveAsTarget, Gate::AnyMode},
    {0x70, readSegments, Gate::AnyMode},
    {0x71, readSegments, Gate::AnyMode},
    {0x86, passThrough, Gate::AnyMode},
    {0xF0, reportLineSpeed, Gate::AnyMode},
    {0xF1, readRegisters, Gate::AnyMode},
    {0xF2, writeRegisters, Gate::AnyMode},
    {0xF3, configureRf, Gate::AnyMode},
    {0xF4, regulationTest, Gate::None},
    {0xF5, readGpio, Gate::AnyMode},
    {0xF6, writeGpio, Gate::AnyMode},
};

const Route* routeFor(std::uint8_t cmd) {
  for (const Route& r : kRoutes) {
    if (r.cmd == cmd) return &r;
  }
  return nullptr;
}

// "commandProc:" and LEN bytes as "%02X", then a line feed.
void traceCommand(const std::uint8_t* command) {
  static constexpr char kPrefix[] = "commandProc:";
  static constexpr char kHex[] = "0123456789ABCDEF";
  char line[sizeof kPrefix + 2 * 255 + 1];
  std::size_t at = 0;
  for (std::size_t i = 0; i + 1 < sizeof kPrefix; ++i) line[at++] = kPrefix[i];
  const std::int32_t len = command[kLen];
  for (std::int32_t i = 0; i < len; ++i) {
    line[at++] = kHex[command[i] >> 4];
    line[at++] = kHex[command[i] & 0x0F];
  }
  line[at++] = '\n';
  line[at] = '\0';
  emitTrace(line);
}

// True when the gate stops the command; *result then holds its result.
bool gateRefuses(Gate gate, int port, const std::uint8_t* command, std::uint8_t* response,
                 std::uint16_t* result) {
  const ReaderMode mode = slot(port).readerMode;
  switch (gate) {
    case Gate::None:
      return false;
    case Gate::AnyMode:
      if (mode != kModeNone) return false;
      *result = kResultRefused;
      return true;
    case Gate::TypeA:
      if (mode == kModeMifare || mode == kModePageCard) return false;
      *result = kResultFailed;
      return true;
    case Gate::Detection:
      if (mode == kModeNone) {
        *result = kResultRefused;
        return true;
      }
      // A packet too short to hold the code goes on to the handler's LEN check.
      if (command[kLen] > kFirstTechnology && command[kFirstTechnology] == 0) {
        writeFailure(response, command[kCmd], kCodeOutOfRange);
        *result = kResultRefused;
        return true;
      }
      return false;
  }
  return false;
}

}  // namespace

std::uint16_t commandProc(int port, const std::uint8_t* command, std::uint8_t* response) {
  if (command == nullptr || response == nullptr) return kResultFailed;
  // LEN 0 and 1 carry no command byte: such a packet answers with CMD 00.
  const bool hasCmd = command[kLen] > kCmd;
  const std::uint8_t cmd = hasCmd ? command[kCmd] : 0x00;
  if (!slotOpen(port)) {
    writeFailure(response, cmd, kLinkFailed);
    return kResultFailed;
  }
  armDeadline(port);
  traceCommand(command);
  if (!hasCmd) {
    writeFailure(response, cmd, kCodeBadLength);
    return kResultRefused;
  }

  const Route* route = routeFor(cmd);
  if (route == nullptr) {
    writeFailure(response, cmd, kCodeOutOfRange);
    return kResultRefused;
  }
  std::uint16_t result = kResultDone;
  if (gateRefuses(route->gate, port, command, response, &result)) return result;
  return route->handler(port, command, response);
}

}  // namespace pelvane
