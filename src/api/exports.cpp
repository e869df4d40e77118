// The RF_ interface: thin wrappers that find the port slot and hand the work to
// port selection, port closing or the command dispatcher.
#include <cstddef>
#include <cstdint>

#include "api/lookup.h"
#include "command/dispatcher.h"
#include "pelvane.h"
#include "port/port_table.h"
#include "port/ports.h"

namespace pelvane {

int findOpenSlot(std::int32_t port) {
  // A slot's portNumber is -1 or its own number, so only slot `port` can match;
  // looking at that slot alone keeps calls for other ports off it.
  if (port < 1 || port > kPortCount) return 0;
  const PortSlot& s = slot(port);
  return s.handle != kInvalidHandle && s.portNumber == port ? port : 0;
}

namespace {

constexpr char kReturnPrefix[] = "APP Return ";
// The trace covers at most the 255 bytes a one-byte length can name.
constexpr std::size_t kTracedBytes = 255;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// "APP Return " + the first response[0] bytes as %02X + line feed.
void traceResponse(const std::uint8_t* response) {
  char line[sizeof kReturnPrefix + 2 * kTracedBytes + 1];
  std::size_t at = 0;
  for (std::size_t i = 0; kReturnPrefix[i] != '\0'; ++i) line[at++] = kReturnPrefix[i];
  const std::size_t n = response[0];
  for (std::size_t i = 0; i < n; ++i) {
    line[at++] = kHexDigits[response[i] >> 4];
    line[at++] = kHexDigits[response[i] & 0x0F];
  }
  line[at++] = '\n';
  line[at] = '\0';
  emitTrace(line);
}

}  // namespace
}  // namespace pelvane

extern "C" {

PELVANE_API std::uint16_t PELVANE_CALL RF_OPEN(std::int32_t port, std::int32_t* openedPort) {
  // Only the low 16 bits name the port; 0xFFFF is -1, the scan.
  const auto shortPort = static_cast<std::int16_t>(static_cast<std::uint16_t>(port & 0xFFFF));
  return static_cast<std::uint16_t>(pelvane::selectPort(shortPort, openedPort));
}

PELVANE_API std::int32_t PELVANE_CALL RF_CLOSE(std::int32_t port) {
  const int p = pelvane::findOpenSlot(port);
  if (p == 0) return PELVANE_CLOSE_NOT_OPEN;
  pelvane::closePort(p);
  return PELVANE_CLOSE_DONE;
}

PELVANE_API std::uint16_t PELVANE_CALL RF_COMMAND(std::int32_t port, const std::uint8_t* command,
                                                  std::uint8_t* response) {
  // Null buffers are refused outright: there is nowhere to answer.
  if (command == nullptr || response == nullptr) return pelvane::kResultRefused;
  std::uint16_t result;
  const int p = pelvane::findOpenSlot(port);
  if (p == 0) {
    response[0] = 0x03;
    response[1] = command[1];
    response[2] = PELVANE_STATUS_FAILED;
    result = pelvane::kResultRefused;
  } else {
    result = pelvane::commandProc(pelvane::slot(p).portNumber, command, response);
  }
  pelvane::traceResponse(response);
  return result;
}

}  // extern "C"
