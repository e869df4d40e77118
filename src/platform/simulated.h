// Control side of the simulated platform, used by unit tests only: an in-process
// serial line to a far side (normally the simulated controller), a virtual clock
// that advances only when the code sleeps, a record of what the library did, and
// injectable failures of every platform call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace pelvane::simport {

// What sits at the other end of a simulated line.
class FarSide {
 public:
  virtual ~FarSide() = default;
  // The host wrote `n` bytes at virtual time nowUs with its line at hostBaud.
  virtual void hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                         std::uint32_t hostBaud) = 0;
  // Bytes that have reached the host's input buffer by nowUs.
  virtual std::size_t available(std::uint64_t nowUs) = 0;
  // Takes the next byte that has arrived by nowUs; -1 when none has.
  virtual int pop(std::uint64_t nowUs) = 0;
  // The host purged its input: bytes that have arrived by nowUs are dropped
  // (bytes still on the wire arrive later).
  virtual void dropArrived(std::uint64_t nowUs) = 0;
};

// Platform calls whose failure can be injected.
enum class Call {
  OpenDevice, GetLineSettings, SetLineSettings, GetTimeouts, SetTimeouts, Purge,
  ClearErrors, Read, Write, OpenDeviceList, Count
};

// One thing the library did, in order, with the virtual time it happened at.
// Calls that fail are recorded too (ok = false): a refused speed in the speed
// trial, a write that failed. Sleep events include the byte reader's pauses.
struct Event {
  enum Kind { Open, Close, Write, Purge, Sleep, SetTimeouts, SetLine } kind;
  std::int32_t timeMs;
  std::string path;                 // Open
  std::uint32_t value = 0;          // Open: flags; Sleep: ms; SetLine: baud
  std::vector<std::uint8_t> bytes;  // Write
  CommTimeouts timeouts;            // SetTimeouts
  LineSettings line;                // SetLine: the whole record passed to SetCommState
  bool ok = true;                   // false when the call failed (injected, refused, gone)
};

// Forgets every device, failure and record; the clock restarts at startMs.
void reset(std::int32_t startMs = 100000);

// formatDevicePath on this platform gives the override of setPortDevice, else
// the Windows form "\\.\COM<n>" (the C string "\\\\.\\COM3" for port 3), so a
// test adds its device under that path. A device is opened without sharing: a
// second openDevice on it fails until the first handle is closed.
//
// A device at `path` that openDevice can open, wired to `far` (not owned; may be
// null for a port whose far side never answers).
void addDevice(const std::string& path, FarSide* far);
// The device disappears: open handles on it fail every call from now on.
void removeDevice(const std::string& path);
// Speeds the device accepts in SetCommState (empty: every speed).
void setAcceptedSpeeds(const std::string& path, std::vector<std::uint32_t> speeds);
// Time-outs the device reports before the library sets any.
void setInitialTimeouts(const std::string& path, const CommTimeouts& timeouts);

// Call `call` succeeds `after` more times, then fails `times` times (-1: for ever).
void failCall(Call call, int after = 0, int times = 1);
// The next ClearCommError reports a line error with the input queue empty.
void injectLineError(int times = 1);

// Friendly names that device enumeration reports, in order. A name starting
// with "!" is a device whose name query fails with an error other than 122.
void setDeviceNames(std::vector<std::string> names);

// Virtual clock. nowUs counts from 0 at reset and is the time far sides see;
// nowMs (= clockMs) starts at reset's startMs and wraps as a signed 32-bit value.
// sleepMs and pauseForInput advance it (recorded as Sleep events); a ReadFile
// with no byte waiting advances it by up to its read time-out.
std::uint64_t nowUs();
std::int32_t nowMs();
void advanceUs(std::uint64_t us);
// The tick of the system timer that pauses wait for: with a quantum q (in us),
// a pause of ms ends at the first multiple of q on nowUs at or after now + ms.
// 15625 models Windows' default 64 Hz tick (the "15.6 ms" of Sleep(1)), 1000 a
// 1 ms timer resolution; 0 (the default after reset) pauses exactly.
void setSleepQuantumUs(std::uint64_t us);

// Records.
const std::vector<Event>& events();
void clearEvents();
void setRecording(bool on);  // off for very long runs
// Every byte written to `path` since the last clearEvents, in order.
std::vector<std::uint8_t> bytesWritten(const std::string& path);
// Frames written, one entry per WriteFile call.
std::vector<std::vector<std::uint8_t>> writes();
// Current state of an open device (for assertions).
bool lineSettingsOf(const std::string& path, LineSettings* out);
bool timeoutsOf(const std::string& path, CommTimeouts* out);
int openHandles();   // handles open now, over all devices
int liveBuffers();   // name buffers allocated and not freed

}  // namespace pelvane::simport
