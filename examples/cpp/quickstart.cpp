// quickstart.cpp: pelvane.hpp opens the reader, finds a FeliCa card, reads one
// block and closes (the Reader's destructor). Errors are std::error_code values.
//
//   quickstart            scan the CP210x and PL2303 ports for a reader
//   quickstart 3          open COM3
//   quickstart 1 PATH     map port 1 onto a device path first (for example the
//                         pseudo-terminal of the virtual reader on Linux)
//
// Build it with CMake (CMakeLists.txt beside it) or pkg-config; see
// docs/windows-guide.md ("C++ and CMake").
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pelvane.hpp"

// The library explains a failed open in its trace: lines that start with "open:".
static void PELVANE_CALL showOpenTrace(const char* line) {
  if (std::strncmp(line, "open:", 5) == 0) std::fputs(line, stderr);
}

static void print(const char* what, const pelvane::Bytes& bytes) {
  std::printf("%s", what);
  for (std::uint8_t b : bytes) std::printf(" %02X", b);
  std::printf("\n");
}

int main(int argc, char** argv) {
  const int port = argc > 1 ? std::atoi(argv[1]) : PELVANE_PORT_SCAN;
  if (argc > 2) {
    if (std::error_code ec = pelvane::setPortDevice(port, argv[2])) {
      std::printf("cannot map port %d to %s\n", port, argv[2]);
      return 2;
    }
  }

  PV_SetTraceSink(showOpenTrace);
  auto reader = pelvane::Reader::open(port);
  PV_SetTraceSink(nullptr);
  if (!reader) {
    std::printf("no reader opened: %s\n", reader.error().message().c_str());
    return 3;
  }
  std::printf("reader opened on port %d\n", reader->port());

  // FeliCa mode, time limit 1.0 s (10 tenths); the answer names the controller.
  auto firmware = reader->selectMode(pelvane::Mode::felica, 10);
  if (!firmware) {
    std::printf("mode selection failed: %s\n", firmware.error().message().c_str());
    return 1;
  }
  std::printf("controller IC 0x%02X, firmware version 0x%02X\n", firmware->ic, firmware->version);

  // Any system code: a card that does not come within the time limit is an
  // ordinary outcome (std::errc::timed_out), not an exception.
  auto idm = reader->pollFelica();
  if (!idm) {
    std::printf("%s: %s\n", idm.error() == std::errc::timed_out ? "no card" : "polling failed",
                idm.error().message().c_str());
    return 1;
  }
  print("card IDm", pelvane::Bytes(idm->begin(), idm->end()));

  // Read Without Encryption: service 090F, block 0 of that (first) service.
  auto block = reader->readFelica(*idm, {0x090F}, {{0, 0}});
  if (!block) {
    std::printf("reading failed: %s\n", block.error().message().c_str());
    return 1;
  }
  print("block 0:", *block);

  reader->close();
  std::printf("closed\n");
  return 0;
}
