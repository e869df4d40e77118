// The process-wide port table: one slot per COM port number 1..256, plus the
// saved and working serial time-outs of each port. All library state lives here.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace pelvane {

constexpr int kPortCount = 256;

// The card technology or peer role selected on a port. Values 5 and 6 are never
// set; any value outside the named ones is unsupported by every operation.
enum ReaderMode : std::uint8_t {
  kModeNone = 0,
  kModeFelica = 1,          // FeliCa, 212 kbit/s
  kModeFelicaLite = 2,      // FeliCa Lite
  kModeMifare = 3,          // Type A, 4-byte UID (MIFARE Classic)
  kModePageCard = 4,        // Type A, 7-byte UID (page access)
  kModePeerInitiator = 7,   // NFC peer-to-peer initiator
  kModeTarget = 8,          // target mode
  kModeTypeB = 9,           // ISO/IEC 14443 Type B
};

// Status word of the Type B card interface.
using CardStatus = std::int32_t;
constexpr CardStatus kCardNone = 0x0000;
constexpr CardStatus kCardDeactivating = 0x0800;
constexpr CardStatus kCardInserted = 0x8100;
constexpr CardStatus kCardActivated = 0x8200;

// Stands in a slot that is claimed but holds no device: while opening brings the
// device up, and after a handle that can no longer be used was closed, until
// closePort. Every platform call rejects it (-2 is no file descriptor, and on
// Windows not a file handle), so commands on such a slot fail with link errors.
constexpr PortHandle kRetiredHandle = -2;

struct PortSlot {
  std::int32_t portNumber;   // -1 until first opened, then always the slot's number
  // kInvalidHandle when closed. The one field other threads read: a scanning
  // open tests every slot, and a slot is claimed and released atomically here.
  std::atomic<PortHandle> handle;
  LineSettings lineSettings; // last read with GetCommState and applied
  double timeoutTenths;      // time allowed per operation; 0.0 = no limit
  std::int32_t deadline;     // clockMs() at which the operation expires; 0 = none
  ReaderMode readerMode;
  CardStatus cardStatus;
};

// Slot of port number p (1..256). Callers guarantee the range.
PortSlot& slot(int port);
CommTimeouts& savedTimeouts(int port);
CommTimeouts& workingTimeouts(int port);

// Every slot closed with its load values: portNumber -1, handle -1, deadline 0,
// timeoutTenths 10.0, ReaderMode 0; CardStatus and lineSettings zero.
void setUpPortTable();

// The attach count of the library (the table is set up on the first attach).
extern std::int32_t loadCount;

// deadline := clock + timeoutTenths x 100 ms, or 0 when timeoutTenths is 0.0.
void armDeadline(int port);
// True once a non-zero deadline has been reached, also across the clock's wrap.
bool deadlineExpired(int port);

// A pause of ms milliseconds within a call on the port (on the port's own timer
// where the platform gives each port one).
void pausePort(int port, std::uint32_t ms);

// True when port is 1..256 and its slot is open (or claimed by an opening).
bool slotOpen(int port);
// Claims a closed slot for an opening: its handle becomes kRetiredHandle. False
// when the slot is open or another thread claimed it first.
bool claimSlot(int port);
// Closes the slot's handle and marks the slot closed, releasing it to any other
// opening; nothing else changes, so the caller resets the slot's fields first.
void dropHandle(int port);

}  // namespace pelvane
