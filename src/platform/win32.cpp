// The platform over the Windows API: serial ports through the communications
// functions, the device list through the SetupDi calls, the clock from the
// performance counter, pauses on a high-resolution waitable timer of each open
// port. Each function is the one Windows call platform.h names. Nothing here is
// shared by calls on different ports except the device-path table and the tables
// of open ports and open pipes, whose records are claimed and freed atomically.
//
// A named pipe (a path under \\.\pipe\, as served by pelvane-sim.exe) stands
// in for a COM port: the pipe functions below give it the same contract. A pipe
// has no DCB and no COMMTIMEOUTS, so the comm-state and time-out calls keep
// their values in the pipe's record instead; reads and writes run overlapped
// and end at the same time-outs a COM port applies; and each line-speed change
// goes to the simulator as a record in the byte stream, so its model sees the
// bytes that follow at that speed. COM ports take none of these paths.
//
// The byte reader's 1 ms pause between polls of the input queue ends early when
// input arrives (pauseForInput): on a COM port it is cut into slices on the
// port's timer with a status call after each, on a pipe it waits on a read of
// one byte. The COM handle stays non-overlapped, with the one-byte ReadFile under
// the port's COMMTIMEOUTS: a timed WaitCommEvent needs an overlapped handle, and
// a blocking one in another thread would hold up every other call on a
// synchronous handle until an event came.
#include <windows.h>

#include <mmsystem.h>
#include <setupapi.h>

#include <atomic>
#include <cctype>
#include <cstring>

#include "platform/platform.h"

namespace pelvane {

namespace {

static_assert(sizeof(DCB) <= sizeof(LineSettings::native), "DCB does not fit LineSettings");
static_assert(sizeof(SP_DEVINFO_DATA) <= sizeof(DeviceInfo::native),
              "SP_DEVINFO_DATA does not fit DeviceInfo");
static_assert(sizeof(HANDLE) <= sizeof(PortHandle), "HANDLE does not fit PortHandle");
static_assert(kDevicePathSize == MAX_PATH, "device paths are bounded by MAX_PATH");

constexpr DWORD kPurgeBoth = PURGE_TXCLEAR | PURGE_RXCLEAR;  // 0x0C

// CreateWaitableTimerExW is Windows Vista and later, and its high-resolution
// flag Windows 10 version 1803 and later (older systems refuse the flag with
// ERROR_INVALID_PARAMETER; the headers of older SDKs do not name it). The DLL
// looks the function up when a port opens, so it loads on systems without it.
constexpr DWORD kHighResolutionTimer = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
constexpr UINT kFallbackPeriodMs = 1;
using CreateTimerEx = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD);

// Device paths set with setPortDevice, by port number; empty: "\\.\COMn".
char overrides[257][kDevicePathSize];

// One record per open port handle, claimed by openDevice and freed by
// closeDevice: the port's pause timer, or, where the system has none, whether
// this port raised the timer resolution, so that closing undoes exactly that.
// Only the calls on that port read the fields after the claim.
struct OpenPort {
  std::atomic<HANDLE> file{nullptr};  // null: free; INVALID_HANDLE_VALUE: being set up
  HANDLE timer = nullptr;
  bool raisedResolution = false;
  // Line errors that a status call of the byte reader's pause reported (and so
  // cleared), kept for the reader's next clearErrors.
  DWORD pendingErrors = 0;
};
OpenPort openPorts[257];  // every port of the port table, and the one reopening

HANDLE toHandle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }
HDEVINFO toList(DeviceList list) { return reinterpret_cast<HDEVINFO>(list); }

OpenPort* recordOf(PortHandle handle) {
  const HANDLE h = toHandle(handle);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  for (OpenPort& p : openPorts) {
    if (p.file.load(std::memory_order_acquire) == h) return &p;
  }
  return nullptr;
}

// A one-shot timer whose wait ends on time rather than at the next tick of
// the system timer (15.6 ms by default, and on Windows 10 2004 and later not
// raised for this process by another process's timeBeginPeriod). Null where
// the system does not have such timers.
HANDLE createPreciseTimer() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const FARPROC found = GetProcAddress(kernel, "CreateWaitableTimerExW");
  // Through the generic function type, which any function pointer converts to.
  const auto create = reinterpret_cast<CreateTimerEx>(reinterpret_cast<void (*)()>(found));
  if (create == nullptr) return nullptr;
  return create(nullptr, nullptr, kHighResolutionTimer, TIMER_MODIFY_STATE | SYNCHRONIZE);
}

// Without a high-resolution timer, Sleep(1) lasts until the next system tick
// unless the resolution is raised; the port holds it at 1 ms while it is open.
void raiseResolution(OpenPort* port) {
  if (port->raisedResolution) return;
  port->raisedResolution = timeBeginPeriod(kFallbackPeriodMs) == TIMERR_NOERROR;
}

void setUpPauses(OpenPort* port) {
  port->timer = createPreciseTimer();
  port->raisedResolution = false;
  port->pendingErrors = 0;
  if (port->timer == nullptr) raiseResolution(port);
}

constexpr LONGLONG kUnitsPerMs = 10000;  // of 100 ns, the unit of waitable timers

// Sets a one-shot timer `units` of 100 ns from now.
bool setTimer(HANDLE timer, LONGLONG units) {
  LARGE_INTEGER due;
  due.QuadPart = -units;  // negative: relative to now
  return SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != 0;
}

// One pause on a one-shot timer; false when the timer cannot be set or waited on.
bool waitOnTimer(HANDLE timer, LONGLONG units) {
  return setTimer(timer, units) && WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
}

// A port whose timer failed pauses with Sleep under a raised resolution from
// then on, which closing gives back.
void dropTimer(OpenPort* port) {
  CloseHandle(port->timer);
  port->timer = nullptr;
  raiseResolution(port);
}

// The port's own timer, until it fails.
void pauseOpenPort(OpenPort* port, std::uint32_t ms) {
  if (port->timer != nullptr) {
    if (waitOnTimer(port->timer, ms * kUnitsPerMs)) return;
    dropTimer(port);
  }
  Sleep(ms);
}

// A pause without an open port's record: a timer of the call's own, else Sleep.
void pauseWithoutPort(std::uint32_t ms) {
  const HANDLE timer = createPreciseTimer();
  const bool done = timer != nullptr && waitOnTimer(timer, ms * kUnitsPerMs);
  if (timer != nullptr) CloseHandle(timer);
  if (!done) Sleep(ms);
}

std::uint64_t counterTicks() {
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  return static_cast<std::uint64_t>(count.QuadPart);
}

std::uint64_t counterFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<std::uint64_t>(frequency.QuadPart);
}

// The performance counter in milliseconds, 64 bits wide: split so that no
// product overflows however long the system has been up.
std::uint64_t counterMs() {
  const std::uint64_t f = counterFrequency();
  const std::uint64_t c = counterTicks();
  if (f == 0) return 0;
  return c / f * 1000 + c % f * 1000 / f;
}

// The slice of the byte reader's pause on a COM port. A high-resolution timer
// on Windows 10 1803 and later wakes on an interrupt about every 0.5 ms (waits
// of 1 us to 1 ms round up to it), so a request of 0.25 ms ends at the next
// such wake-up: about two status calls per millisecond, each a byte sooner by
// half a millisecond on average. Under Wine every timer wait of 0.1 ms or more
// lasts a whole millisecond of its server's clock (1.15 ms measured for
// 0.25 ms), so the first slice outlasts the pause and it behaves as one 1 ms
// wait, as before.
constexpr LONGLONG kSliceUnits = 2500;

// The byte reader's pause on a COM port with a timer: slices with a look at the
// input queue after each. It ends when a byte or a line error is reported, when
// the status call fails (the reader's own call then reports it), or once `ms`
// have passed on the performance counter, at most one slice later. A line error
// is kept for the reader's next clearErrors, since ClearCommError cleared it.
void pauseComPort(OpenPort* port, HANDLE h, std::uint32_t ms) {
  const std::uint64_t frequency = counterFrequency();
  if (frequency == 0) {
    pauseOpenPort(port, ms);
    return;
  }
  const std::uint64_t start = counterTicks();
  const std::uint64_t span = ms * frequency / 1000;
  const std::uint64_t sliceTicks = kSliceUnits * frequency / 10000000;
  for (;;) {
    const std::uint64_t elapsed = counterTicks() - start;
    if (elapsed >= span) return;
    const std::uint64_t left = span - elapsed;
    const LONGLONG units =
        left >= sliceTicks ? kSliceUnits : static_cast<LONGLONG>(left * 10000000 / frequency) + 1;
    if (!waitOnTimer(port->timer, units)) {
      dropTimer(port);
      Sleep(ms);
      return;
    }
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(h, &errors, &stat)) return;
    port->pendingErrors |= errors;
    if (errors != 0 || stat.cbInQue > 0) return;
  }
}

// Waits up to `ms` for an event: on the port's timer beside it where the port
// has one, else with the wait's own time-out (to the system tick, which the port
// holds at 1 ms then). True when the event was signalled.
bool waitForEvent(HANDLE event, OpenPort* port, std::uint32_t ms) {
  if (port != nullptr && port->timer != nullptr) {
    if (setTimer(port->timer, ms * kUnitsPerMs)) {
      const HANDLE both[2] = {event, port->timer};
      const DWORD woke = WaitForMultipleObjects(2, both, FALSE, INFINITE);
      if (woke == WAIT_OBJECT_0 + 1) return false;
      if (woke == WAIT_OBJECT_0) {
        // Setting a timer again does not clear a signal it gave meanwhile (not
        // under Wine at least): cancel it and take that signal now, so that the
        // next pause on this timer lasts its whole time.
        CancelWaitableTimer(port->timer);
        WaitForSingleObject(port->timer, 0);
        return true;
      }
    }
    dropTimer(port);
  }
  return WaitForSingleObject(event, ms) == WAIT_OBJECT_0;
}

// The SP_DEVINFO_DATA that enumDevice keeps in the caller's record.
SP_DEVINFO_DATA* deviceData(DeviceInfo* info) {
  return reinterpret_cast<SP_DEVINFO_DATA*>(info->native);
}


// ---- named pipes ----

// The records a host writes into the simulator's pipe (the simulator reads the
// same format): kRecordData, a count of 1..255, that many line bytes; or
// kRecordSpeed and the host's new line speed, 4 bytes little-endian. The
// simulator writes the controller's bytes back as they are.
constexpr std::uint8_t kRecordData = 0x00;
constexpr std::uint8_t kRecordSpeed = 0x01;
constexpr std::size_t kRecordDataMax = 255;
// How long an opening waits for a pipe whose every instance is busy.
constexpr DWORD kPipeBusyWaitMs = 2000;

// An open pipe: its handle, the event of its overlapped I/O, and what a COM
// port would hold in its driver.
struct PipeLine {
  std::atomic<HANDLE> handle{nullptr};
  HANDLE event = nullptr;
  COMMTIMEOUTS timeouts{};
  LineSettings settings;
  // The byte that the byte reader's pause read ahead, which the next read returns.
  std::uint8_t held = 0;
  bool holding = false;
};
// One record per port number that can be open at once, and some to spare for
// a reopening that overlaps a close.
PipeLine pipeLines[264];

bool isPipePath(const char* path) {
  static constexpr char kPipePrefix[] = "\\\\.\\pipe\\";
  for (std::size_t i = 0; kPipePrefix[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(path[i])) != kPipePrefix[i]) return false;
  }
  return true;
}

// The record of an open pipe; null for every other handle (a COM port).
PipeLine* pipeOf(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  for (PipeLine& p : pipeLines) {
    if (p.handle.load(std::memory_order_acquire) == h) return &p;
  }
  return nullptr;
}

// Opens the pipe for overlapped I/O and claims a record for it. A pipe whose
// instances are all busy (the simulator between two clients) is waited for.
HANDLE openPipe(const char* path, DWORD flagsAndAttributes) {
  const DWORD flags = flagsAndAttributes | FILE_FLAG_OVERLAPPED;
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY &&
      WaitNamedPipeA(path, kPipeBusyWaitMs)) {
    h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return h;
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event != nullptr) {
    for (PipeLine& p : pipeLines) {
      HANDLE expected = nullptr;
      if (!p.handle.compare_exchange_strong(expected, INVALID_HANDLE_VALUE)) continue;
      p.event = event;
      std::memset(&p.timeouts, 0, sizeof p.timeouts);
      // What GetCommState reports before the first change: 115200 baud, 8N1.
      p.settings = LineSettings{};
      p.settings.baudRate = 115200;
      p.settings.byteSize = 8;
      p.holding = false;
      p.handle.store(h, std::memory_order_release);
      return h;
    }
    CloseHandle(event);
  }
  CloseHandle(h);
  SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  return INVALID_HANDLE_VALUE;
}

void releasePipe(PipeLine* p) {
  CloseHandle(p->event);
  p->event = nullptr;
  p->holding = false;
  p->handle.store(nullptr, std::memory_order_release);
}

// One overlapped read or write that ends when it completes or after
// `timeoutMs` (INFINITE: no limit). A time-out cancels the transfer and counts
// as success with what was moved, as a COM port's time-out does.
bool pipeTransfer(PipeLine* p, HANDLE h, bool write, void* data, DWORD length, DWORD timeoutMs,
                  DWORD* moved) {
  *moved = 0;
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof ov);
  ov.hEvent = p->event;
  ResetEvent(p->event);
  const BOOL started = write ? WriteFile(h, data, length, nullptr, &ov)
                             : ReadFile(h, data, length, nullptr, &ov);
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  if (!started && WaitForSingleObject(p->event, timeoutMs) != WAIT_OBJECT_0) CancelIo(h);
  DWORD n = 0;
  const BOOL done = GetOverlappedResult(h, &ov, &n, TRUE);
  *moved = n;
  return done != 0 || GetLastError() == ERROR_OPERATION_ABORTED;
}

// A COM port's read time-out for a read of one byte.
DWORD pipeReadTimeout(const COMMTIMEOUTS& t) {
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0)
    return 0;  // return at once with what is there
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD)
    return t.ReadTotalTimeoutConstant;
  const unsigned long long total =
      static_cast<unsigned long long>(t.ReadTotalTimeoutMultiplier) + t.ReadTotalTimeoutConstant;
  if (total == 0) return INFINITE;
  return total >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(total);
}

DWORD pipeWriteTimeout(const COMMTIMEOUTS& t, DWORD length) {
  const unsigned long long total =
      static_cast<unsigned long long>(t.WriteTotalTimeoutMultiplier) * length +
      t.WriteTotalTimeoutConstant;
  if (total == 0) return INFINITE;
  return total >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(total);
}

// Writes records as one transfer: all of them, or failure.
bool pipeWriteRecords(PipeLine* p, HANDLE h, std::uint8_t* records, DWORD length, DWORD lineBytes) {
  DWORD moved = 0;
  if (!pipeTransfer(p, h, true, records, length, pipeWriteTimeout(p->timeouts, lineBytes), &moved))
    return false;
  return moved == length;
}

bool pipeSetSpeed(PipeLine* p, HANDLE h, const LineSettings* settings) {
  std::uint8_t record[5] = {kRecordSpeed};
  for (int i = 0; i < 4; ++i) record[1 + i] = static_cast<std::uint8_t>(settings->baudRate >> (8 * i));
  if (!pipeWriteRecords(p, h, record, sizeof record, 0)) return false;
  const LineSettings kept = p->settings;
  p->settings = *settings;
  std::memcpy(p->settings.native, kept.native, sizeof kept.native);
  return true;
}

bool pipeWrite(PipeLine* p, HANDLE h, const std::uint8_t* data, std::uint32_t length) {
  std::uint8_t records[512];
  std::uint32_t done = 0;
  while (done < length) {
    // Up to two data records per transfer.
    DWORD used = 0;
    DWORD lineBytes = 0;
    for (int r = 0; r < 2 && done < length; ++r) {
      const std::uint32_t n =
          length - done < kRecordDataMax ? length - done : static_cast<std::uint32_t>(kRecordDataMax);
      records[used++] = kRecordData;
      records[used++] = static_cast<std::uint8_t>(n);
      std::memcpy(records + used, data + done, n);
      used += n;
      lineBytes += n;
      done += n;
    }
    if (!pipeWriteRecords(p, h, records, used, lineBytes)) return false;
  }
  return true;
}

// Bytes waiting in the pipe; false once the simulator has gone.
bool pipeWaiting(HANDLE h, DWORD* waiting) {
  *waiting = 0;
  return PeekNamedPipe(h, nullptr, 0, nullptr, waiting, nullptr) != 0;
}

// Discards what the simulator has sent and the host has not read.
bool pipePurge(PipeLine* p, HANDLE h) {
  p->holding = false;
  std::uint8_t sink[256];
  DWORD waiting = 0;
  while (pipeWaiting(h, &waiting) && waiting > 0) {
    DWORD moved = 0;
    const DWORD n = waiting < sizeof sink ? waiting : static_cast<DWORD>(sizeof sink);
    if (!pipeTransfer(p, h, false, sink, n, 0, &moved) || moved == 0) return false;
  }
  return true;
}

bool pipeReadOne(PipeLine* p, HANDLE h, std::uint8_t* out, std::uint32_t* delivered) {
  if (p->holding) {
    *out = p->held;
    *delivered = 1;
    p->holding = false;
    return true;
  }
  DWORD moved = 0;
  if (!pipeTransfer(p, h, false, out, 1, pipeReadTimeout(p->timeouts), &moved)) return false;
  *delivered = moved;
  return true;
}

// The byte reader's pause on a pipe: an overlapped read of one byte, waited for
// up to `ms`, so the pause ends as the simulator's next byte arrives. The byte is
// held for the next read and counted as waiting. A read still pending at the end
// is cancelled; one that completed all the same is held too.
void pausePipe(PipeLine* p, OpenPort* port, HANDLE h, std::uint32_t ms) {
  DWORD waiting = 0;
  // Input already there, or a pipe gone: the reader's next status call sees it.
  if (p->holding || !pipeWaiting(h, &waiting) || waiting > 0) return;
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof ov);
  ov.hEvent = p->event;
  ResetEvent(p->event);
  const BOOL started = ReadFile(h, &p->held, 1, nullptr, &ov);
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    // Paced, so that a pipe that peeks but cannot be read does not spin the reader.
    if (port != nullptr) {
      pauseOpenPort(port, ms);
    } else {
      pauseWithoutPort(ms);
    }
    return;
  }
  if (!started && !waitForEvent(p->event, port, ms)) CancelIo(h);
  DWORD moved = 0;
  p->holding = GetOverlappedResult(h, &ov, &moved, TRUE) != 0 && moved == 1;
}

}  // namespace

PortHandle openDevice(const char* path, std::uint32_t flagsAndAttributes) {
  if (path == nullptr) return kInvalidHandle;
  HANDLE h = isPipePath(path)
                 ? openPipe(path, flagsAndAttributes)
                 : CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               flagsAndAttributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
  for (OpenPort& p : openPorts) {
    HANDLE unclaimed = nullptr;
    if (!p.file.compare_exchange_strong(unclaimed, INVALID_HANDLE_VALUE)) continue;
    setUpPauses(&p);
    p.file.store(h, std::memory_order_release);
    break;
  }
  // Every record taken (more handles than ports): the port pauses as a call
  // without one does.
  return reinterpret_cast<PortHandle>(h);
}

void closeDevice(PortHandle handle) {
  PipeLine* pipe = pipeOf(toHandle(handle));
  if (pipe != nullptr) releasePipe(pipe);
  OpenPort* p = recordOf(handle);
  if (p != nullptr) {
    if (p->timer != nullptr) CloseHandle(p->timer);
    if (p->raisedResolution) timeEndPeriod(kFallbackPeriodMs);
    p->timer = nullptr;
    p->raisedResolution = false;
    p->pendingErrors = 0;
    p->file.store(nullptr, std::memory_order_release);
  }
  CloseHandle(toHandle(handle));
}

bool getLineSettings(PortHandle handle, LineSettings* settings) {
  if (settings == nullptr) return false;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) {
    *settings = pipe->settings;
    return true;
  }
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(toHandle(handle), &dcb)) return false;
  settings->baudRate = dcb.BaudRate;
  settings->byteSize = dcb.ByteSize;
  settings->parity = dcb.Parity;
  settings->stopBits = dcb.StopBits;
  settings->fNull = dcb.fNull != 0;
  std::memcpy(settings->native, &dcb, sizeof dcb);
  return true;
}

bool setLineSettings(PortHandle handle, const LineSettings* settings) {
  if (settings == nullptr) return false;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) return pipeSetSpeed(pipe, toHandle(handle), settings);
  // Every field the library does not manage goes back as GetCommState gave it.
  DCB dcb;
  std::memcpy(&dcb, settings->native, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = settings->baudRate;
  dcb.ByteSize = settings->byteSize;
  dcb.Parity = settings->parity;
  dcb.StopBits = settings->stopBits;
  dcb.fNull = settings->fNull ? 1 : 0;
  return SetCommState(toHandle(handle), &dcb) != 0;
}

bool getTimeouts(PortHandle handle, CommTimeouts* timeouts) {
  if (timeouts == nullptr) return false;
  COMMTIMEOUTS t{};
  if (PipeLine* pipe = pipeOf(toHandle(handle))) {
    t = pipe->timeouts;
  } else if (!GetCommTimeouts(toHandle(handle), &t)) {
    return false;
  }
  timeouts->readIntervalTimeout = t.ReadIntervalTimeout;
  timeouts->readTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  timeouts->readTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  timeouts->writeTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  timeouts->writeTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  return true;
}

bool setTimeouts(PortHandle handle, const CommTimeouts* timeouts) {
  if (timeouts == nullptr) return false;
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = timeouts->readIntervalTimeout;
  t.ReadTotalTimeoutMultiplier = timeouts->readTotalTimeoutMultiplier;
  t.ReadTotalTimeoutConstant = timeouts->readTotalTimeoutConstant;
  t.WriteTotalTimeoutMultiplier = timeouts->writeTotalTimeoutMultiplier;
  t.WriteTotalTimeoutConstant = timeouts->writeTotalTimeoutConstant;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) {
    pipe->timeouts = t;
    return true;
  }
  return SetCommTimeouts(toHandle(handle), &t) != 0;
}

bool purgeBuffers(PortHandle handle) {
  if (PipeLine* pipe = pipeOf(toHandle(handle))) return pipePurge(pipe, toHandle(handle));
  return PurgeComm(toHandle(handle), kPurgeBoth) != 0;
}

bool clearErrors(PortHandle handle, std::uint32_t* errors, std::uint32_t* waiting) {
  if (errors == nullptr || waiting == nullptr) return false;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) {
    DWORD waitingBytes = 0;
    if (!pipeWaiting(toHandle(handle), &waitingBytes)) return false;
    *errors = 0;  // a pipe has no line errors
    *waiting = waitingBytes + (pipe->holding ? 1 : 0);
    return true;
  }
  DWORD e = 0;
  COMSTAT stat{};
  if (!ClearCommError(toHandle(handle), &e, &stat)) return false;
  if (OpenPort* port = recordOf(handle)) {
    e |= port->pendingErrors;
    port->pendingErrors = 0;
  }
  *errors = e;
  *waiting = stat.cbInQue;
  return true;
}

bool readOneByte(PortHandle handle, std::uint8_t* out, std::uint32_t* delivered) {
  if (out == nullptr || delivered == nullptr) return false;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) return pipeReadOne(pipe, toHandle(handle), out, delivered);
  DWORD got = 0;
  if (!ReadFile(toHandle(handle), out, 1, &got, nullptr)) return false;
  *delivered = got;
  return true;
}

bool writeBytes(PortHandle handle, const std::uint8_t* data, std::uint32_t length) {
  if (data == nullptr && length > 0) return false;
  if (PipeLine* pipe = pipeOf(toHandle(handle))) return pipeWrite(pipe, toHandle(handle), data, length);
  DWORD written = 0;
  return WriteFile(toHandle(handle), data, length, &written, nullptr) != 0;
}

void sleepMs(std::uint32_t ms) { pauseWithoutPort(ms); }

void pauseOnPort(PortHandle handle, std::uint32_t ms) {
  OpenPort* p = recordOf(handle);
  if (p != nullptr) {
    pauseOpenPort(p, ms);
  } else {
    pauseWithoutPort(ms);
  }
}

void pauseForInput(PortHandle handle, std::uint32_t ms) {
  OpenPort* port = recordOf(handle);
  if (PipeLine* pipe = pipeOf(toHandle(handle))) {
    pausePipe(pipe, port, toHandle(handle), ms);
  } else if (port != nullptr && port->timer != nullptr) {
    pauseComPort(port, toHandle(handle), ms);
  } else {
    pauseOnPort(handle, ms);  // without a high-resolution timer: one whole pause, as ever
  }
}

// Milliseconds of the performance counter, which runs at a fixed rate from boot
// whatever happens to the system time (clock() of the C run-time follows it,
// and steps 15.6 ms at a time). Deadlines compare differences of readings,
// which hold across the 32-bit wrap.
std::int32_t clockMs() { return static_cast<std::int32_t>(static_cast<std::uint32_t>(counterMs())); }

DeviceList openDeviceList() {
  HDEVINFO list = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (list == INVALID_HANDLE_VALUE) return kInvalidDeviceList;
  return reinterpret_cast<DeviceList>(list);
}

bool enumDevice(DeviceList list, std::uint32_t index, DeviceInfo* info) {
  if (info == nullptr || list == kInvalidDeviceList) return false;
  SP_DEVINFO_DATA* data = deviceData(info);
  std::memset(data, 0, sizeof *data);
  data->cbSize = sizeof(SP_DEVINFO_DATA);
  if (!SetupDiEnumDeviceInfo(toList(list), index, data)) return false;
  info->index = index;
  return true;
}

bool getFriendlyName(DeviceList list, DeviceInfo* info, char* buffer, std::uint32_t size,
                     std::uint32_t* required) {
  if (info == nullptr || list == kInvalidDeviceList) return false;
  SP_DEVINFO_DATA* data = deviceData(info);
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return false;  // not filled by enumDevice
  DWORD need = 0;
  const BOOL ok = SetupDiGetDeviceRegistryPropertyA(toList(list), data, SPDRP_FRIENDLYNAME,
                                                    nullptr, reinterpret_cast<PBYTE>(buffer),
                                                    size, &need);
  if (required != nullptr) *required = need;
  return ok != 0;
}

void closeDeviceList(DeviceList list) { SetupDiDestroyDeviceInfoList(toList(list)); }

std::uint32_t lastError() { return GetLastError(); }

void* allocZeroed(std::uint32_t size) { return LocalAlloc(LMEM_ZEROINIT, size); }

void freeBuffer(void* buffer) {
  if (buffer != nullptr) LocalFree(buffer);
}

void formatDevicePath(int port, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return;
  const char* text = nullptr;
  char standard[24];
  if (port >= 1 && port <= 256 && overrides[port][0] != '\0') {
    text = overrides[port];
  } else {
    // "\\.\COM%d": the device namespace prefix lets ports above COM9 open.
    static constexpr char kPrefix[] = "\\\\.\\COM";
    std::size_t at = 0;
    for (std::size_t i = 0; kPrefix[i] != '\0'; ++i) standard[at++] = kPrefix[i];
    char digits[12];
    std::size_t n = 0;
    long long value = port;
    const bool negative = value < 0;
    if (negative) value = -value;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 && n < sizeof digits);
    if (negative) standard[at++] = '-';
    while (n > 0) standard[at++] = digits[--n];
    standard[at] = '\0';
    text = standard;
  }
  std::size_t i = 0;
  for (; text[i] != '\0' && i + 1 < size; ++i) out[i] = text[i];
  out[i] = '\0';
}

bool setPortDevice(int port, const char* path) {
  if (port < 1 || port > 256) return false;
  if (path == nullptr || path[0] == '\0') {
    overrides[port][0] = '\0';
    return true;
  }
  const std::size_t n = std::strlen(path);
  if (n >= kDevicePathSize) return false;
  std::memcpy(overrides[port], path, n + 1);
  return true;
}

}  // namespace pelvane
