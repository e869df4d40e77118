// Arbitrary command packets into the dispatcher in every ReaderMode, against the
// simulated controller with cards of every kind, a DEP peer and an initiator in
// its field. Input: the mode, a settings byte (time-out, answer delay, random
// line faults, cards out of the field), then packets as LEN and LEN - 1 further
// bytes. Each packet sits in a heap block of exactly max(LEN, 2) bytes, so any
// read past LEN is caught; the response buffer is a heap block of the largest
// response size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cards.h"
#include "command/dispatcher.h"
#include "controller.h"
#include "faults.h"
#include "field.h"
#include "fuzz_support.h"
#include "pelvane.h"

namespace {

using namespace pelvfuzz;

constexpr int kMaxPackets = 8;
constexpr std::uint8_t kSentinel = 0xEE;

// The STATUS bytes the dispatcher and handlers write, besides a controller's
// own status byte, which comes from the simulated controller's error codes.
bool knownStatus(std::uint8_t s) {
  return s == 0x00 || s == 0xFF || s == 0xFE || s == 0xFD || s == 0xFC || s == 0xF9 ||
         (s >= 0x01 && s <= 0x7F);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  pelvsim::Controller controller;
  pelvsim::addCards("felica,lite,mifare1k,mifare4k,page,typeA4,typeA10,typeB,peer,initiator",
                    controller.field());
  const std::uint8_t mode = in.byte();
  const std::uint8_t settings = in.byte();
  // Pacing gives every exchange line time, as on a real line, so the retry loops
  // run into their deadlines in a few hundred exchanges. Without it a Type B
  // wake-up with no card answers in no time and is repeated 100000 times.
  controller.setPacing(true);
  if (settings & 0x10) controller.setAnswerDelayUs(2000);
  if (settings & 0x20) controller.faults().randomize(in.byte(), 0.3);
  if (settings & 0x40) controller.field().present = false;
  ControllerFarSide far(controller);
  resetPlatform(&far);
  openSlot(controller.baud(), tenthsFrom(settings));
  pelvane::slot(kPort).readerMode = modeFrom(mode);

  static std::uint8_t* response = new std::uint8_t[PELVANE_RESPONSE_MAX];
  for (int k = 0; k < kMaxPackets && !in.empty(); ++k) {
    const std::uint8_t len = in.byte();
    const std::size_t blockSize = len < 2 ? 2 : len;
    std::unique_ptr<std::uint8_t[]> packet(new std::uint8_t[blockSize]);
    packet[0] = len;
    for (std::size_t i = 1; i < blockSize; ++i) packet[i] = in.byte();
    std::memset(response, kSentinel, 300);

    const std::uint16_t r = pelvane::commandProc(kPort, packet.get(), response);
    if (r > 2 && r != 0xFFFF && r != 0xFFFE) std::abort();
    const std::uint8_t cmd = len >= 2 ? packet[1] : 0x00;
    const bool written = response[0] != kSentinel || response[1] != kSentinel;
    if (written && cmd != 0x70 && cmd != 0x71) {
      // The long form of 0x86 is FF, length high and low, CMD, STATUS.
      const bool longForm = cmd == 0x86 && response[0] == 0xFF;
      if (response[longForm ? 3 : 1] != cmd) std::abort();
      const std::uint8_t status = longForm ? response[4] : response[2];
      if (!knownStatus(status)) std::abort();
      if (!longForm && response[0] < 3) std::abort();
      if (longForm && response[1] * 256 + response[2] < 257) std::abort();
      if (status == 0xFD && r != 2) std::abort();
    }
    // Keep the port and a short time-out for the next packet: a segmented read
    // outside initiator mode closes the port, mode selection sets its own time-out.
    if (!pelvane::slotOpen(kPort)) {
      if (!openSlot(controller.baud(), tenthsFrom(settings))) std::abort();
      pelvane::slot(kPort).readerMode = modeFrom(mode);
    }
    if (pelvane::slot(kPort).timeoutTenths > 8.0) pelvane::slot(kPort).timeoutTenths = 8.0;
    controller.clearCommands();
  }
  pelvane::dropHandle(kPort);
  pelvane::simport::reset();
  return 0;
}
