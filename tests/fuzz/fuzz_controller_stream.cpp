// Arbitrary controller byte streams against every host command in every
// ReaderMode. The input is read as one stream: an operation byte and its
// arguments, and, whenever the library writes to the port, the chunk that
// answers it (see StreamFarSide). Operations: open and close (with the reader
// bring-up), set the mode or time-out directly, command packets through
// RF_COMMAND and commandProc, and the RW_ calls.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "command/dispatcher.h"
#include "fuzz_support.h"
#include "support/commands.h"
#include "pelvane.h"

namespace {

using namespace pelvfuzz;

constexpr int kMaxOperations = 48;

// Caps a time-out a packet may have set (mode selection takes up to 25.5 s) so
// that a silent line costs little virtual time.
void keepTimeoutShort() {
  pelvane::PortSlot& s = pelvane::slot(kPort);
  if (s.timeoutTenths > 8.0) s.timeoutTenths = 8.0;
}

// LEN, then LEN - 2 parameter bytes (CMD given or read), in a heap block of
// exactly max(LEN, 2) bytes so that any read past LEN is caught.
std::unique_ptr<std::uint8_t[]> readPacket(Input& in, bool listedCommand) {
  const std::uint8_t len = in.byte();
  const std::size_t size = len < 2 ? 2 : len;
  std::unique_ptr<std::uint8_t[]> packet(new std::uint8_t[size]);
  packet[0] = len;
  packet[1] = listedCommand ? pelvtest::kListedCommands[in.byte() % pelvtest::kListedCount] : in.byte();
  for (std::size_t i = 2; i < size; ++i) packet[i] = in.byte();
  return packet;
}

void checkResponse(std::uint16_t result, const std::uint8_t* response) {
  // Results are 0, 1, 2, or the link codes of 0xF3.
  if (result > 2 && result != 0xFFFF && result != 0xFFFE) std::abort();
  (void)response;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  StreamFarSide far(in);
  resetPlatform(&far);
  openSlot(115200, tenthsFrom(in.byte()));
  static std::uint8_t* response = new std::uint8_t[PELVANE_RESPONSE_MAX];

  for (int op = 0; op < kMaxOperations && !in.empty(); ++op) {
    const std::uint8_t kind = in.byte();
    switch (kind % 12) {
      case 0: {  // RF_OPEN of port 3, or the scan
        std::int32_t opened = 0;
        const std::int32_t port = (kind & 0x10) ? -1 : kPort;
        const std::uint16_t r = RF_OPEN(port, &opened);
        if (r != 0 && r != 1 && r != 2 && r != 0xFFFF) std::abort();
        if (r == 0 && opened != kPort) std::abort();
        break;
      }
      case 1:
        RF_CLOSE(kPort);
        break;
      case 2:  // the mode and time-out set directly, as a test would
        pelvane::slot(kPort).readerMode = modeFrom(in.byte());
        pelvane::slot(kPort).timeoutTenths = tenthsFrom(in.byte());
        break;
      case 3:
      case 4:
      case 5: {  // a packet to the dispatcher
        std::unique_ptr<std::uint8_t[]> packet = readPacket(in, kind % 12 != 3);
        checkResponse(pelvane::commandProc(kPort, packet.get(), response), response);
        break;
      }
      case 6: {  // RF_COMMAND, also for ports that are not open
        static constexpr std::int32_t kPorts[] = {kPort, 256, 0, -1, kPort + 0x10000};
        const std::int32_t port = kPorts[in.byte() % 5];
        std::unique_ptr<std::uint8_t[]> packet = readPacket(in, (kind & 0x10) != 0);
        checkResponse(RF_COMMAND(port, packet.get(), response), response);
        break;
      }
      case 7:
        RW_Open(kPort);
        break;
      case 8:
        RW_Close(kPort);
        break;
      case 9: {
        const std::int32_t a = in.byte() % 3;
        const std::int32_t o = in.byte() % 4;
        const std::int32_t f = (kind & 0x10) ? 0x80 : 0x00;
        if (kind & 0x20) {
          RW_Insert(kPort, 0);
        } else {
          RW_Activate(kPort, a, 0, o, f);
        }
        break;
      }
      case 10: {
        std::int32_t status = 0;
        if (kind & 0x10) {
          RW_Deactivate(kPort, 0, 0);
        } else {
          RW_Eject(kPort, 1 + (kind & 0x20 ? 1 : 0));
        }
        RW_Sense(kPort, 0, &status, 0);
        break;
      }
      default: {  // RW_Transmit of an APDU of any length, also beyond 253
        const std::int32_t length = in.byte() + ((kind & 0x10) ? 2 : 0);
        std::unique_ptr<std::uint8_t[]> apdu(new std::uint8_t[length > 0 ? length : 1]);
        for (std::int32_t i = 0; i < length; ++i) apdu[i] = in.byte();
        static std::uint8_t* answer = new std::uint8_t[PELVANE_APDU_RESPONSE_MAX];
        std::int32_t answerLength = -1;
        const std::int32_t r = RW_Transmit(kPort, 0, 0, length, apdu.get(), &answerLength, answer);
        if (r == PELVANE_RW_OK && (answerLength < 0 || answerLength > PELVANE_APDU_RESPONSE_MAX)) {
          std::abort();
        }
        break;
      }
    }
    keepTimeoutShort();
  }
  // Nothing stays open for the next input.
  if (pelvane::slotOpen(kPort)) pelvane::dropHandle(kPort);
  if (pelvane::simport::openHandles() != 0 || pelvane::simport::liveBuffers() != 0) std::abort();
  return 0;
}
